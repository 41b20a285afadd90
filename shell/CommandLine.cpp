#include "shell/CommandLine.h"

#include <algorithm>
#include <cctype>
#include <charconv>

namespace shell {

std::string PortDevice(const std::string& value) {
  if (value.size() > 3 && std::equal(value.begin(), value.begin() + 3, "COM",
                                     [](char a, char b) { return std::toupper(a) == b; })) {
    unsigned number = 0;
    const char* end = value.data() + value.size();
    const auto [rest, error] = std::from_chars(value.data() + 3, end, number);
    if (error == std::errc{} && rest == end && number >= 1 && value[3] != '0') {
      return "/dev/ttyS" + std::to_string(number - 1);
    }
    return {};
  }
  return value.starts_with('/') ? value : std::string{};
}

CommandLine ParseCommandLine(std::span<const char* const> arguments) {
  CommandLine line;
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
    if (argument == "--no-window") {
      line.options.window = false;
    } else if (argument == "--port" || argument.starts_with("--port=")) {
      std::string value;
      if (argument == "--port") {
        if (i + 1 == arguments.size()) {
          return bad("--port needs a DEVICE");
        }
        value = arguments[++i];
      } else {
        value = argument.substr(7);
      }
      line.options.device = PortDevice(value);
      if (line.options.device.empty()) {
        return bad("--port \"" + value +
                   "\": give a path such as /dev/ttyUSB0, or COMn (n from 1)");
      }
    } else if (argument.starts_with('-')) {
      return bad("unknown option " + argument);
    } else {
      return bad("unexpected argument \"" + argument + "\"");
    }
  }
  return line;
}

std::string Usage() {
  return R"(Usage: checkfeed [--port DEVICE] [--no-window]
       checkfeed --help | --version

Every 5 seconds, sends the next of check1.txt ... check6.txt from the current
directory, whole and unchanged, to a serial port at 9600 baud, 8 data bits, no
parity, one stop bit, no flow control, DTR and RTS off. After check6.txt one
tick sends nothing and waits 10 seconds; then the rotation starts again.

Options:
  --port DEVICE  the serial port: a path such as /dev/ttyUSB0, or COMn for
                 /dev/ttyS<n-1>. Default: COM1, that is /dev/ttyS0.
  --no-window    run without a window even when a display is available.
  --help         show this help and exit.
  --version      show the version and exit.

With a display, checkfeed shows an empty window titled "Form1" and shows
failures (a missing check file, a port that fails) in a message box; it keeps
sending while the box is open. Without a display, or with --no-window, each
failure is one line on stderr. A port that is absent or in use by another
program is reported on stderr and nothing is sent.

Close the window, or send SIGTERM, SIGINT or SIGHUP, to stop: the port is
closed and its lock released.

Exit status: 0 stopped normally, 1 fatal failure, 2 bad command line.
)";
}

std::string VersionText() {
  return "checkfeed " CHECKFEED_VERSION "\n";
}

}  // namespace shell
