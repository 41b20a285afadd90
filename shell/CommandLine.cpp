#include "shell/CommandLine.h"

#include <cctype>
#include <charconv>

#include "shell/Platform.h"

namespace shell {
namespace {

// An option without a value, and its one-letter form if it has one.
struct SwitchOption {
  const char* name;
  const char* shortName;
  void (*set)(Options& options);
};

const SwitchOption kSwitchOptions[] = {
    {"--no-window", nullptr, [](Options& options) { options.window = false; }},
    {"--reconnect", nullptr, [](Options& options) { options.port.reconnect = true; }},
    {"--verbose", "-v", [](Options& options) { options.verbose = true; }},
};

const SwitchOption* FindSwitchOption(const std::string& argument) {
  for (const SwitchOption& option : kSwitchOptions) {
    if (argument == option.name || (option.shortName != nullptr && argument == option.shortName)) {
      return &option;
    }
  }
  return nullptr;
}

// An option that takes a value: its name, what it calls the value in --help, what it accepts
// (for the message about a bad value), and how it sets Options. `apply` returns false for a
// value it does not accept.
struct ValueOption {
  const char* name;
  const char* metavar;
  const char* accepts;
  bool (*apply)(const std::string& value, Options& options);
};

// A whole decimal number from `low` to `high`, nothing else.
bool ReadNumber(const std::string& value, unsigned long low, unsigned long high,
                unsigned long& number) {
  const char* end = value.data() + value.size();
  const auto [rest, error] = std::from_chars(value.data(), end, number);
  return !value.empty() && error == std::errc{} && rest == end && number >= low && number <= high;
}

bool ReadMilliseconds(const std::string& value, unsigned long low,
                      std::chrono::milliseconds& length) {
  unsigned long number = 0;
  if (!ReadNumber(value, low, 86'400'000, number)) {
    return false;
  }
  length = std::chrono::milliseconds(number);
  return true;
}

bool ReadOnOff(const std::string& value, bool& on) {
  if (value != "on" && value != "off") {
    return false;
  }
  on = value == "on";
  return true;
}

const ValueOption kValueOptions[] = {
    {"--port", "a DEVICE", serial::PortDeviceAccepts(),
     [](const std::string& value, Options& options) {
       options.port.device = serial::PortDevice(value);
       return !options.port.device.empty();
     }},
    {"--dir", "a DIR", "give a directory",
     [](const std::string& value, Options& options) {
       options.dir = value;
       return !value.empty();
     }},
    {"--log", "a FILE", "give a file",
     [](const std::string& value, Options& options) {
       options.log = value;
       return !value.empty();
     }},
    {"--baud", "a speed", "give bits per second, from 50 to 12000000",
     [](const std::string& value, Options& options) {
       unsigned long rate = 0;
       if (!ReadNumber(value, 50, 12'000'000, rate)) {
         return false;
       }
       options.port.line.baudRate = static_cast<unsigned>(rate);
       return true;
     }},
    {"--framing", "a framing such as 8N1",
     "give data bits 5 to 8, parity N, E, O, M or S, stop bits 1 or 2, such as 8N1 or 7E2",
     [](const std::string& value, Options& options) {
       if (value.size() != 3 || value[0] < '5' || value[0] > '8' ||
           (value[2] != '1' && value[2] != '2')) {
         return false;
       }
       serial::LineSettings& line = options.port.line;
       switch (std::toupper(static_cast<unsigned char>(value[1]))) {
         case 'N':
           line.parity = serial::Parity::None;
           break;
         case 'E':
           line.parity = serial::Parity::Even;
           break;
         case 'O':
           line.parity = serial::Parity::Odd;
           break;
         case 'M':
           line.parity = serial::Parity::Mark;
           break;
         case 'S':
           line.parity = serial::Parity::Space;
           break;
         default:
           return false;
       }
       line.dataBits = static_cast<unsigned>(value[0] - '0');
       line.stopBits = static_cast<unsigned>(value[2] - '0');
       return true;
     }},
    {"--flow", "none, rts-cts or xon-xoff", "give none, rts-cts or xon-xoff",
     [](const std::string& value, Options& options) {
       if (value != "none" && value != "rts-cts" && value != "xon-xoff") {
         return false;
       }
       options.port.line.ctsRtsFlow = value == "rts-cts";
       // Only the device's XON/XOFF holds our output. Never ours: we read nothing, and an XOFF
       // we sent would be a byte in the middle of a check file.
       options.port.line.xonXoffOutput = value == "xon-xoff";
       options.port.line.xonXoffInput = false;
       return true;
     }},
    {"--dtr", "on or off", "give on or off",
     [](const std::string& value, Options& options) {
       return ReadOnOff(value, options.port.line.dtr);
     }},
    {"--rts", "on or off", "give on or off",
     [](const std::string& value, Options& options) {
       return ReadOnOff(value, options.port.line.rts);
     }},
    {"--char-delay", "a time in MS", "give milliseconds, from 0 to 86400000",
     [](const std::string& value, Options& options) {
       return ReadMilliseconds(value, 0, options.port.pacing.afterByte);
     }},
    {"--line-delay", "a time in MS", "give milliseconds, from 0 to 86400000",
     [](const std::string& value, Options& options) {
       return ReadMilliseconds(value, 0, options.port.pacing.afterLineFeed);
     }},
    {"--period", "a time in MS", "give milliseconds, from 1 to 86400000",
     [](const std::string& value, Options& options) {
       return ReadMilliseconds(value, 1, options.period);
     }},
    {"--pause", "a time in MS", "give milliseconds, from 0 to 86400000",
     [](const std::string& value, Options& options) {
       return ReadMilliseconds(value, 0, options.pause);
     }},
};

const ValueOption* FindValueOption(const std::string& name) {
  for (const ValueOption& option : kValueOptions) {
    if (name == option.name) {
      return &option;
    }
  }
  return nullptr;
}

}  // namespace

CommandLine ParseCommandLine(std::span<const char* const> arguments) {
  CommandLine line;
  Options& options = line.options;
  bool rtsGiven = false;
  const auto bad = [&line](std::string error) {
    line.action = CommandLine::Action::Bad;
    line.error = std::move(error);
    return line;
  };
  for (std::size_t i = 0; i < arguments.size(); ++i) {
    const std::string argument = arguments[i];
    if (argument == "--help" || argument == "-h") {
      line.action = CommandLine::Action::Help;
      return line;
    }
    if (argument == "--version") {
      line.action = CommandLine::Action::Version;
      return line;
    }
    if (argument == "--list-ports") {
      line.action = CommandLine::Action::ListPorts;
      return line;
    }
    if (const SwitchOption* option = FindSwitchOption(argument)) {
      option->set(options);
      continue;
    }
    if (!argument.starts_with("--")) {
      return bad(argument.starts_with('-') ? "unknown option " + argument
                                           : "unexpected argument \"" + argument + "\"");
    }

    // Options with a value: "--name VALUE" or "--name=VALUE".
    const std::size_t equals = argument.find('=');
    const std::string name = argument.substr(0, equals);
    const auto* option = FindValueOption(name);
    const bool action = name == "--help" || name == "--version" || name == "--list-ports";
    if (option == nullptr && equals != std::string::npos &&
        (action || FindSwitchOption(name) != nullptr)) {
      return bad(name + " takes no value");
    }
    if (option == nullptr) {
      return bad("unknown option " + name);
    }
    std::string value;
    if (equals != std::string::npos) {
      value = argument.substr(equals + 1);
    } else if (i + 1 < arguments.size()) {
      value = arguments[++i];
    } else {
      return bad(name + " needs " + option->metavar);
    }
    if (!option->apply(value, options)) {
      return bad(name + " \"" + value + "\": " + option->accepts);
    }
    rtsGiven = rtsGiven || name == "--rts";
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
  return R"(Usage: checkfeed [--port DEVICE] [--dir DIR] [--no-window] [--reconnect]
                 [--verbose] [--log FILE] [--baud N] [--framing 8N1]
                 [--flow none|rts-cts|xon-xoff] [--dtr on|off] [--rts on|off]
                 [--char-delay MS] [--line-delay MS] [--period MS] [--pause MS]
       checkfeed --list-ports | --help | --version
)";
}

std::string Usage() {
  return Synopsis() + R"(
Every 5 seconds, sends the next of check1.txt ... check6.txt from the current
directory, whole and unchanged, to a serial port at 9600 baud, 8 data bits, no
parity, one stop bit, no flow control, DTR and RTS off. After check6.txt one
tick sends nothing and waits 10 seconds; then the rotation starts again.

Options:
)" + PortHelp() +
         R"(  --dir DIR      read the check files from DIR. Default: the current directory.
  --no-window    run without a window even when a display is available.
  --reconnect    when the port is absent or busy at start, or goes away (an
                 unplugged USB adapter), let it go and open it again at the
                 first tick after it is back. Without it the port is opened
                 once, at start, and never again.
  --verbose, -v  write a line for every tick on stdout: the time, the file, its
                 size and how long it took to send, or the pause.
  --log FILE     append that record and every failure, each line with its time,
                 to FILE as they happen (others may read it meanwhile).
  --list-ports   list the serial ports this computer has, as --port takes them,
                 and exit.
  --help         show this help and exit.
  --version      show the version and exit.

Line options:
  --baud N       speed in bits per second, 50 to 12000000; speeds without a
                 standard constant (250000, 31250) where the driver takes
                 them. Default: 9600.
  --framing DPS  data bits 5-8, parity N, E, O, M (mark) or S (space), stop
                 bits 1 or 2. Default: 8N1.
  --flow KIND    none, rts-cts (output held while the device drops CTS) or
                 xon-xoff (output held between the device's XOFF and XON).
                 Default: none.
  --dtr on|off   the DTR line while the port is open. Default: off.
  --rts on|off   the RTS line while the port is open. Default: off (on with
                 --flow rts-cts).
  --char-delay MS  a gap after each byte, from when it has left the port.
                 Default: 0.
  --line-delay MS  a gap after each line feed, from when it has left the port
                 (added to --char-delay). Default: 0.
  --period MS    time between ticks. Default: 5000.
  --pause MS     how long the tick after check6.txt waits. Default: 10000.

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
