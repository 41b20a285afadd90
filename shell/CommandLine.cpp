#include "shell/CommandLine.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <optional>

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
          .value = std::move(value),
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
          .help = std::move(help),
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

// An option that takes a text, which `set` puts in the options.
Option Text(std::string name, std::string value, std::string help, std::string accepts,
            std::function<void(Options&, const std::string&)> set) {
  return {.name = std::move(name),
          .value = std::move(value),
          .help = std::move(help),
          .accepts = std::move(accepts),
          .apply = [set](const std::string& text, Options& options) {
            set(options, text);
            return !text.empty();
          }};
}

// An option that takes one of `choices`, which `set` puts in the options.
Option Choice(std::string name, std::string value, std::string help,
              std::vector<std::string> choices, std::function<void(Options&, std::size_t)> set,
              std::function<std::size_t(const Options&)> get) {
  std::string range;
  for (std::size_t i = 0; i < choices.size(); ++i) {
    range += (i == 0 ? "" : i + 1 == choices.size() ? " or " : ", ") + choices[i];
  }
  return {.name = std::move(name),
          .value = std::move(value),
          .help = std::move(help),
          .range = range,
          .accepts = range,
          .describe = [choices, get](const Options& options) { return choices[get(options)]; },
          .apply =
              [choices, set](const std::string& text, Options& options) {
                const auto found = std::find(choices.begin(), choices.end(), text);
                if (found == choices.end()) {
                  return false;
                }
                set(options, static_cast<std::size_t>(found - choices.begin()));
                return true;
              }};
}

// A modem line the port holds on or off while it is open.
Option OnOff(std::string name, std::string help, bool serial::LineSettings::*line) {
  return Choice(
      std::move(name), "on|off", std::move(help), {"on", "off"},
      [line](Options& options, std::size_t off) { options.port.line.*line = off == 0; },
      [line](const Options& options) { return options.port.line.*line ? 0U : 1U; });
}

std::vector<Option> MakeTable() {
  std::vector<Option> table;
  table.push_back(Text("--port", "DEVICE",
                       PortHelp() +
                           " A port on the network: rfc2217://HOST:PORT (a device server or "
                           "ser2net; the line options set its line) or socket://HOST:PORT (raw "
                           "TCP: the bytes alone).",
                       serial::PortDeviceAccepts(), nullptr));
  // The port the program is made for; PortHelp says what it stands for here. A value that names
  // no port is refused.
  table.back().describe = [](const Options&) { return std::string("COM1"); };
  table.back().apply = [](const std::string& value, Options& options) {
    const std::optional<std::string> device = serial::PortDevice(value);
    options.port.device = device.value_or(options.port.device);
    return device.has_value();
  };
  table.push_back(Text("--dir", "DIR", "read the check files from DIR.", "a directory",
                       [](Options& options, const std::string& value) { options.dir = value; }));
  table.back().describe = [](const Options& options) {
    return options.dir.empty() ? std::string("the current directory") : options.dir;
  };
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
  table.push_back(Text("--log", "FILE",
                       "append that record and every failure, each line with its time, to FILE "
                       "as they happen (others may read it meanwhile).",
                       "a file",
                       [](Options& options, const std::string& value) { options.log = value; }));
  table.push_back(
      Text("--capture", "FILE",
           "append every byte the device sends to FILE as it comes, each burst with "
           "its time, and a line for each send, so that every answer follows what it "
           "answers (others may read it meanwhile).",
           "a file", [](Options& options, const std::string& value) { options.capture = value; }));
  table.push_back(Choice(
      "--capture-format", "KIND",
      "how --capture writes: text escapes every byte that is not printable ASCII, hex dumps the "
      "bytes with their offsets, raw keeps them alone.",
      {"text", "hex", "raw"},
      [](Options& options, std::size_t kind) {
        options.captureFormat = static_cast<CaptureFormat>(kind);
      },
      [](const Options& options) { return static_cast<std::size_t>(options.captureFormat); }));
  table.back().shown = "text|hex|raw";
  table.push_back(Switch(
      "--expect", "",
      "judge what the device answers each check file against checkN.expect (the exact bytes of "
      "the whole answer) or checkN.match (a pattern the whole answer must match) beside it: a "
      "verdict and a latency for every send, a summary at the end, and exit status 3 when an "
      "answer differed or was missing.",
      [](Options& options) { options.expect = true; }));
  table.push_back(Milliseconds("--answer-within",
                               "with --expect: how long after a send's last byte has left the "
                               "port its answer may come (never past the next tick).",
                               1, &Options::answerWithin));
  table.back().judging = true;
  table.push_back(Number(
      "--rotations", "N", "end by itself after N rotations, once the last verdict is in.", 1,
      1'000'000, "rotations",
      [](Options& options, unsigned long count) { options.rotations = count; },
      [](const Options& options) { return options.rotations; }));
  table.back().describe = nullptr;  // without it the program runs until stopped
  table.push_back(Text("--junit", "FILE",
                       "with --expect: write a JUnit XML report of every verdict to FILE at the "
                       "end, however the run ends.",
                       "a file",
                       [](Options& options, const std::string& value) { options.junit = value; }));
  table.back().judging = true;
  table.push_back(Act("--list-ports", "",
                      "list the serial ports this computer has, as --port takes them, and exit.",
                      Action::ListPorts));
  table.push_back(Act("--help", "-h", "show this help and exit.", Action::Help));
  table.push_back(Act("--version", "", "show the version and exit.", Action::Version));

  // The line options: the rest of the table, the first five settings of the line.
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
  table.push_back(Choice(
      "--flow", "KIND",
      "rts-cts holds output while the device drops CTS, xon-xoff between the device's XOFF and "
      "XON.",
      {"none", "rts-cts", "xon-xoff"},
      [](Options& options, std::size_t kind) {
        options.port.line.ctsRtsFlow = kind == 1;
        // Only the device's XON/XOFF holds our output. Never ours: an XOFF we sent would be a
        // byte in the middle of a check file.
        options.port.line.xonXoffOutput = kind == 2;
        options.port.line.xonXoffInput = false;
      },
      [](const Options& options) -> std::size_t {
        const serial::LineSettings& line = options.port.line;
        return line.ctsRtsFlow ? 1 : line.xonXoffOutput ? 2 : 0;
      }));
  table.back().shown = "none|rts-cts|xon-xoff";
  table.push_back(
      OnOff("--dtr", "the DTR line while the port is open.", &serial::LineSettings::dtr));
  table.push_back(OnOff("--rts",
                        "the RTS line while the port is open; with --flow rts-cts it is on "
                        "unless this says otherwise.",
                        &serial::LineSettings::rts));
  // With RTS/CTS flow control the RTS line is part of the handshake: up, unless told otherwise.
  table.back().unless = [](Options& options) {
    options.port.line.rts = options.port.line.rts || options.port.line.ctsRtsFlow;
  };
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
    table[i].lineSetting = i < lineOptions + 5;
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
  std::vector<const Option*> given;
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
    given.push_back(option);
  }
  for (const Option& option : OptionTable()) {
    if (option.unless && std::find(given.begin(), given.end(), &option) == given.end()) {
      option.unless(options);
    }
  }
  // What judges answers means nothing without --expect.
  if (!options.expect) {
    for (const Option* option : given) {
      if (option->judging) {
        return bad(option->name + " needs --expect");
      }
    }
  }
  // A raw port on the network carries bytes, and nothing of the line they go out on.
  if (const auto address = serial::NetworkPortOf(options.port.device);
      address && !address->rfc2217) {
    for (const Option* option : given) {
      if (option->lineSetting) {
        return bad(option->name + " needs rfc2217://; socket:// carries bytes only");
      }
    }
  }
  return line;
}

os::Outcome CheckOptions(const Options& options) {
  if (!options.dir.empty()) {
    if (const os::Outcome readable = ReadableDirectory(options.dir); !readable.Worked()) {
      return os::Outcome::Failed("--dir " + os::Quoted(options.dir) + ": " + readable.Why(),
                                 readable.Error());
    }
  }
  return {};
}

}  // namespace shell
