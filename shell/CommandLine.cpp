#include "shell/CommandLine.h"

#include <cctype>
#include <charconv>

#include "shell/Platform.h"

namespace shell {
namespace {

using Action = CommandLine::Action;
using Section = Option::Section;

constexpr unsigned long kDay = 86'400'000;  // the longest time an option takes, in ms

// A whole decimal number from `low` to `high`, nothing else.
bool ReadNumber(const std::string& value, unsigned long low, unsigned long high,
                unsigned long& number) {
  const char* end = value.data() + value.size();
  const auto [rest, error] = std::from_chars(value.data(), end, number);
  return !value.empty() && error == std::errc{} && rest == end && number >= low && number <= high;
}

// An option that takes a whole number from `low` to `high` (in `unit`), which `set` puts in the
// options and `get` reads back from them.
Option Number(std::string name, std::string value, std::string help, unsigned long low,
              unsigned long high, const std::string& unit,
              std::function<void(Options&, unsigned long)> set,
              std::function<unsigned long(const Options&)> get) {
  const std::string range = std::to_string(low) + " to " + std::to_string(high);
  return {.name = std::move(name),
          .shortName = {},
          .value = std::move(value),
          .shown = {},
          .help = std::move(help),
          .range = range,
          .accepts = unit + ", from " + range,
          .describe = [get](const Options& options) { return std::to_string(get(options)); },
          .apply =
              [low, high, set](const std::string& text, Options& options) {
                unsigned long number = 0;
                if (!ReadNumber(text, low, high, number)) {
                  return false;
                }
                set(options, number);
                return true;
              }};
}

// An option that takes a time in milliseconds, from `low` to a day, into `field`.
Option Milliseconds(std::string name, std::string help, unsigned long low,
                    std::chrono::milliseconds Options::*field) {
  return Number(
      std::move(name), "MS", std::move(help), low, kDay, "milliseconds",
      [field](Options& options, unsigned long number) {
        options.*field = std::chrono::milliseconds(number);
      },
      [field](const Options& options) {
        return static_cast<unsigned long>((options.*field).count());
      });
}

// An option without a value.
Option Switch(std::string name, std::string shortName, std::string help,
              std::function<void(Options&)> set) {
  return {.name = std::move(name),
          .shortName = std::move(shortName),
          .value = {},
          .shown = {},
          .help = std::move(help),
          .range = {},
          .accepts = {},
          .describe = nullptr,
          .apply = [set](const std::string&, Options& options) {
            set(options);
            return true;
          }};
}

// An option that does something else instead of running.
Option Act(std::string name, std::string shortName, std::string help, Action action) {
  Option option = Switch(std::move(name), std::move(shortName), std::move(help), [](Options&) {});
  option.action = action;
  return option;
}

bool ReadOnOff(const std::string& value, bool& on) {
  if (value != "on" && value != "off") {
    return false;
  }
  on = value == "on";
  return true;
}

std::string OnOff(bool on) {
  return on ? "on" : "off";
}

char ParityLetter(serial::Parity parity) {
  switch (parity) {
    case serial::Parity::None:
      return 'N';
    case serial::Parity::Odd:
      return 'O';
    case serial::Parity::Even:
      return 'E';
    case serial::Parity::Mark:
      return 'M';
    case serial::Parity::Space:
      return 'S';
  }
  return '?';
}

bool ReadFraming(const std::string& value, serial::LineSettings& line) {
  if (value.size() != 3 || value[0] < '5' || value[0] > '8' ||
      (value[2] != '1' && value[2] != '2')) {
    return false;
  }
  const char letter = static_cast<char>(std::toupper(static_cast<unsigned char>(value[1])));
  for (const serial::Parity parity :
       {serial::Parity::None, serial::Parity::Odd, serial::Parity::Even, serial::Parity::Mark,
        serial::Parity::Space}) {
    if (ParityLetter(parity) == letter) {
      line.parity = parity;
      line.dataBits = static_cast<unsigned>(value[0] - '0');
      line.stopBits = static_cast<unsigned>(value[2] - '0');
      return true;
    }
  }
  return false;
}

std::vector<Option> MakeTable() {
  std::vector<Option> table;
  table.push_back({.name = "--port",
                   .shortName = {},
                   .value = "DEVICE",
                   .shown = {},
                   .help = PortHelp(),
                   .range = {},
                   .accepts = serial::PortDeviceAccepts(),
                   // The port the program is made for; PortHelp says what it stands for here.
                   .describe = [](const Options&) { return std::string("COM1"); },
                   .apply =
                       [](const std::string& value, Options& options) {
                         options.port.device = serial::PortDevice(value);
                         return !options.port.device.empty();
                       }});
  table.push_back({.name = "--dir",
                   .shortName = {},
                   .value = "DIR",
                   .shown = {},
                   .help = "read the check files from DIR.",
                   .range = {},
                   .accepts = "a directory",
                   .describe =
                       [](const Options& options) {
                         return options.dir.empty() ? std::string("the current directory")
                                                    : options.dir;
                       },
                   .apply =
                       [](const std::string& value, Options& options) {
                         options.dir = value;
                         return !value.empty();
                       }});
  table.push_back(Switch("--no-window", "",
                         "run without a window even when a display is available.",
                         [](Options& options) { options.window = false; }));
  table.push_back(Switch(
      "--reconnect", "",
      "when the port is absent or busy at start, or goes away (an unplugged USB adapter), let it "
      "go and open it again at the first tick after it is back. Without it the port is opened "
      "once, at start, and never again.",
      [](Options& options) { options.port.reconnect = true; }));
  table.push_back(Switch("--verbose", "-v",
                         "write a line for every tick on stdout: the time, the file, its size "
                         "and how long it took to send, or the pause.",
                         [](Options& options) { options.verbose = true; }));
  table.push_back({.name = "--log",
                   .shortName = {},
                   .value = "FILE",
                   .shown = {},
                   .help = "append that record and every failure, each line with its time, to "
                           "FILE as they happen (others may read it meanwhile).",
                   .range = {},
                   .accepts = "a file",
                   .describe = nullptr,
                   .apply = [](const std::string& value, Options& options) {
                     options.log = value;
                     return !value.empty();
                   }});
  table.push_back(Act("--list-ports", "",
                      "list the serial ports this computer has, as --port takes them, and exit.",
                      Action::ListPorts));
  table.push_back(Act("--help", "-h", "show this help and exit.", Action::Help));
  table.push_back(Act("--version", "", "show the version and exit.", Action::Version));

  // The line options: the rest of the table.
  const std::size_t lineOptions = table.size();

  table.push_back(Number(
      "--baud", "N",
      "speed in bits per second; speeds without a standard constant (250000, 31250) where the "
      "driver takes them.",
      50, 12'000'000, "bits per second",
      [](Options& options, unsigned long rate) {
        options.port.line.baudRate = static_cast<unsigned>(rate);
      },
      [](const Options& options) {
        return static_cast<unsigned long>(options.port.line.baudRate);
      }));
  table.push_back(
      {.name = "--framing",
       .shortName = {},
       .value = "DPS",
       .shown = "8N1",
       .help = "data bits, parity (mark, space) and stop bits, such as 8N1 or 7E2.",
       .range = "data bits 5 to 8, parity N, E, O, M or S, stop bits 1 or 2",
       .accepts = "data bits 5 to 8, parity N, E, O, M or S, stop bits 1 or 2, such "
                  "as 8N1 or 7E2",
       .describe =
           [](const Options& options) {
             const serial::LineSettings& line = options.port.line;
             return std::to_string(line.dataBits) + ParityLetter(line.parity) +
                    std::to_string(line.stopBits);
           },
       .apply = [](const std::string& value,
                   Options& options) { return ReadFraming(value, options.port.line); }});
  table.push_back({.name = "--flow",
                   .shortName = {},
                   .value = "KIND",
                   .shown = "none|rts-cts|xon-xoff",
                   .help = "rts-cts holds output while the device drops CTS, xon-xoff between "
                           "the device's XOFF and XON.",
                   .range = "none, rts-cts or xon-xoff",
                   .accepts = "none, rts-cts or xon-xoff",
                   .describe =
                       [](const Options& options) {
                         const serial::LineSettings& line = options.port.line;
                         return std::string(line.ctsRtsFlow      ? "rts-cts"
                                            : line.xonXoffOutput ? "xon-xoff"
                                                                 : "none");
                       },
                   .apply =
                       [](const std::string& value, Options& options) {
                         if (value != "none" && value != "rts-cts" && value != "xon-xoff") {
                           return false;
                         }
                         options.port.line.ctsRtsFlow = value == "rts-cts";
                         // Only the device's XON/XOFF holds our output. Never ours: we read
                         // nothing, and an XOFF we sent would be a byte in the middle of a check
                         // file.
                         options.port.line.xonXoffOutput = value == "xon-xoff";
                         options.port.line.xonXoffInput = false;
                         return true;
                       }});
  table.push_back(
      {.name = "--dtr",
       .shortName = {},
       .value = "on|off",
       .shown = {},
       .help = "the DTR line while the port is open.",
       .range = "on or off",
       .accepts = "on or off",
       .describe = [](const Options& options) { return OnOff(options.port.line.dtr); },
       .apply = [](const std::string& value,
                   Options& options) { return ReadOnOff(value, options.port.line.dtr); }});
  table.push_back(
      {.name = "--rts",
       .shortName = {},
       .value = "on|off",
       .shown = {},
       .help = "the RTS line while the port is open; with --flow rts-cts it is on "
               "unless this says otherwise.",
       .range = "on or off",
       .accepts = "on or off",
       .describe = [](const Options& options) { return OnOff(options.port.line.rts); },
       .apply = [](const std::string& value,
                   Options& options) { return ReadOnOff(value, options.port.line.rts); }});
  // The pacing is the port's, the beat and the pause the program's.
  const auto pacing = [](std::string name, std::string help,
                         std::chrono::milliseconds serial::Pacing::*field) {
    return Number(
        std::move(name), "MS", std::move(help), 0, kDay, "milliseconds",
        [field](Options& options, unsigned long number) {
          options.port.pacing.*field = std::chrono::milliseconds(number);
        },
        [field](const Options& options) {
          return static_cast<unsigned long>((options.port.pacing.*field).count());
        });
  };
  table.push_back(pacing("--char-delay", "a gap after each byte, from when it has left the port.",
                         &serial::Pacing::afterByte));
  table.push_back(pacing("--line-delay",
                         "a gap after each line feed, from when it has left the port (added to "
                         "--char-delay).",
                         &serial::Pacing::afterLineFeed));
  table.push_back(Milliseconds("--period", "time between ticks.", 1, &Options::period));
  table.push_back(
      Milliseconds("--pause", "how long the tick after check6.txt waits.", 0, &Options::pause));
  for (std::size_t i = lineOptions; i < table.size(); ++i) {
    table[i].section = Section::Line;
  }
  return table;
}

const Option* Find(const std::string& name) {
  for (const Option& option : OptionTable()) {
    if (name == option.name || (!option.shortName.empty() && name == option.shortName)) {
      return &option;
    }
  }
  return nullptr;
}

// `text` as lines of at most 80 columns: the first after `label`, the rest indented to the
// column the text starts in.
std::string Wrap(const std::string& label, const std::string& text, std::size_t indent) {
  std::string lines = label + std::string(indent > label.size() ? indent - label.size() : 2, ' ');
  std::size_t column = lines.size();
  std::size_t start = 0;
  bool first = true;
  while (start < text.size()) {
    std::size_t end = text.find(' ', start);
    if (end == std::string::npos) {
      end = text.size();
    }
    const std::string word = text.substr(start, end - start);
    if (!first && column + 1 + word.size() > 80) {
      lines += "\n" + std::string(indent, ' ');
      column = indent;
    } else if (!first) {
      lines += ' ';
      ++column;
    }
    lines += word;
    column += word.size();
    first = false;
    start = end + 1;
  }
  return lines + "\n";
}

// "--baud N", "--verbose, -v", as --help names an option.
std::string Label(const Option& option) {
  return option.name + (option.shortName.empty() ? "" : ", " + option.shortName) +
         (option.value.empty() ? "" : " " + option.value);
}

}  // namespace

std::string Option::DefaultText() const {
  return describe ? "Default: " + describe(Options{}) : std::string();
}

const std::vector<Option>& OptionTable() {
  static const std::vector<Option> table = MakeTable();
  return table;
}

CommandLine ParseCommandLine(std::span<const char* const> arguments) {
  CommandLine line;
  Options& options = line.options;
  bool rtsGiven = false;
  const auto bad = [&line](std::string error) {
    line.action = Action::Bad;
    line.error = std::move(error);
    return line;
  };
  for (std::size_t i = 0; i < arguments.size(); ++i) {
    const std::string argument = arguments[i];
    if (!argument.starts_with('-')) {
      return bad("unexpected argument \"" + argument + "\"");
    }
    // "--name VALUE" or "--name=VALUE"; a short form only alone.
    const std::size_t equals = argument.starts_with("--") ? argument.find('=') : std::string::npos;
    const std::string name = argument.substr(0, equals);
    const Option* option = Find(name);
    if (option == nullptr) {
      return bad("unknown option " + name);
    }
    std::string value;
    if (option->value.empty()) {
      if (equals != std::string::npos) {
        return bad(name + " takes no value");
      }
    } else if (equals != std::string::npos) {
      value = argument.substr(equals + 1);
    } else if (i + 1 < arguments.size()) {
      value = arguments[++i];
    } else {
      return bad(name + " needs " + option->accepts);
    }
    if (option->action != Action::Run) {
      line.action = option->action;
      return line;
    }
    if (!option->apply(value, options)) {
      return bad(name + " \"" + value + "\": give " + option->accepts);
    }
    rtsGiven = rtsGiven || option->name == "--rts";
  }
  // With RTS/CTS flow control the RTS line is part of the handshake: up, unless told otherwise.
  if (options.port.line.ctsRtsFlow && !rtsGiven) {
    options.port.line.rts = true;
  }
  return line;
}

std::string CheckOptions(const Options& options) {
  if (!options.dir.empty()) {
    if (const std::string problem = DirectoryProblem(options.dir); !problem.empty()) {
      return "--dir \"" + options.dir + "\": " + problem;
    }
  }
  return {};
}

std::string Synopsis() {
  std::string items;
  std::string actions;
  for (const Option& option : OptionTable()) {
    if (option.action != Action::Run) {
      actions += (actions.empty() ? "" : " | ") + option.name;
    } else {
      items +=
          (items.empty() ? "" : " ") + ("[" + option.name) +
          (option.value.empty() ? "" : " " + (option.shown.empty() ? option.value : option.shown)) +
          "]";
    }
  }
  // Items are not broken inside the brackets: each wraps whole.
  std::string text = "Usage: checkfeed";
  std::size_t column = text.size();
  for (std::size_t start = 0; start < items.size();) {
    std::size_t end = items.find("] ", start);
    end = end == std::string::npos ? items.size() : end + 1;
    const std::string item = items.substr(start, end - start);
    if (column + 1 + item.size() > 80) {
      text += "\n" + std::string(17, ' ');
      column = 17;
    } else {
      text += ' ';
      ++column;
    }
    text += item;
    column += item.size();
    start = end + 1;
  }
  return text + "\n       checkfeed " + actions + "\n";
}

std::string Usage() {
  std::string text = Synopsis() + R"(
Every 5 seconds, sends the next of check1.txt ... check6.txt from the current
directory, whole and unchanged, to a serial port at 9600 baud, 8 data bits, no
parity, one stop bit, no flow control, DTR and RTS off. After check6.txt one
tick sends nothing and waits 10 seconds; then the rotation starts again.
)";
  for (const Section section : {Section::Options, Section::Line}) {
    text += section == Section::Options ? "\nOptions:\n" : "\nLine options:\n";
    for (const Option& option : OptionTable()) {
      if (option.section != section) {
        continue;
      }
      std::string help = option.help;
      if (!option.range.empty() && option.section == Section::Line) {
        help += " Takes " + option.range + ".";
      }
      if (const std::string fallback = option.DefaultText(); !fallback.empty()) {
        help += " " + fallback + ".";
      }
      text += Wrap("  " + Label(option), help, 17);
    }
  }
  return text + R"(
With a display, checkfeed shows an empty window titled "Form1" and shows
failures (a missing check file, a port that is absent, busy or lost) in a
message box, with what to do about them; it keeps sending while the box is
open. Failures also go to stderr, one line each, and without a display, or with
--no-window, only there. Without a port nothing is sent. A failure that repeats
unchanged is reported the first time, then counted: at most one line every
10 minutes, and one when it stops.

)" + StopHelp() +
         R"(
Exit status: 0 stopped normally, 1 fatal failure, 2 bad command line.
)";
}

std::string VersionText() {
  return "checkfeed " CHECKFEED_VERSION "\n";
}

}  // namespace shell
