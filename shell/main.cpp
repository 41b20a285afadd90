// checkfeed: feeds check1.txt ... check6.txt to a serial port on a steady beat.

#include <exception>
#include <string>
#include <vector>

#include "os/Error.h"
#include "shell/CommandLine.h"
#include "shell/Feed.h"
#include "shell/Headless.h"
#include "shell/Platform.h"
#include "shell/PortAdvice.h"
#include "shell/Reporter.h"
#include "shell/StopSignals.h"
#include "shell/Verdicts.h"
#include "shell/Window.h"

namespace {

// A bad command line: what is wrong, where the user looks. Nothing has been opened.
int Refuse(const std::string& error, bool synopsis) {
  shell::ShowText(
      stderr, "checkfeed: bad command line",
      "checkfeed: " + error + "\n" +
          (synopsis ? "\n" + shell::Synopsis() + "Try 'checkfeed --help' for more.\n" : ""),
      true);
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string> arguments = shell::Arguments(argc, argv);
  std::vector<const char*> pointers;
  for (const std::string& argument : arguments) {
    pointers.push_back(argument.c_str());
  }
  const shell::CommandLine line = shell::ParseCommandLine(pointers);
  switch (line.action) {
    case shell::CommandLine::Action::Help:
      shell::ShowText(stdout, "checkfeed --help", shell::Usage(), false);
      return 0;
    case shell::CommandLine::Action::Version:
      shell::ShowText(stdout, "checkfeed --version", shell::VersionText(), false);
      return 0;
    case shell::CommandLine::Action::ListPorts: {
      const std::vector<serial::ListedPort> ports = serial::ListPorts();
      shell::ShowText(stdout,
                      ports.empty() ? "checkfeed: no serial ports on this computer"
                                    : "checkfeed: serial ports on this computer",
                      shell::PortListText(ports), false);
      return 0;
    }
    case shell::CommandLine::Action::Bad:
      return Refuse(line.error, true);
    case shell::CommandLine::Action::Run:
      break;
  }
  shell::Options options = line.options;
  if (const os::Outcome checked = shell::CheckOptions(options); !checked.Worked()) {
    return Refuse(checked.Why(), false);
  }
  // The report is named relative to where the program was started, and written at the end.
  if (!options.junit.empty()) {
    const std::string given = options.junit;
    options.junit = shell::Absolute(given);
    if (const os::Outcome writable = shell::CanWrite(options.junit); !writable.Worked()) {
      return Refuse("--junit " + os::Quoted(given) + ": " + writable.Why(), false);
    }
  }
  // The log is named relative to where the program was started, as the user typed it.
  shell::AppendFile log;
  if (!options.log.empty()) {
    if (const os::Outcome opened = log.Open(options.log); !opened.Worked()) {
      return Refuse("--log " + os::Quoted(options.log) + ": " + opened.Why(), false);
    }
  }
  shell::AppendFile capture;
  if (!options.capture.empty()) {
    if (const os::Outcome opened = capture.Open(options.capture); !opened.Worked()) {
      return Refuse("--capture " + os::Quoted(options.capture) + ": " + opened.Why(), false);
    }
  }
  // The check files are named relative to the working directory, as they are without --dir.
  if (!options.dir.empty()) {
    if (const os::Outcome changed = shell::ChangeDirectory(options.dir); !changed.Worked()) {
      return Refuse("--dir " + os::Quoted(options.dir) + ": " + changed.Why(), false);
    }
  }

  shell::Reporter reporter(options.verbose, stdout, stderr, &log, &capture);
  try {
    shell::StopSignals stopSignals;  // before the window module starts any thread
    if (shell::WindowWanted(options)) {
      if (const auto code = shell::RunWindow(argc, argv, options, stopSignals, reporter)) {
        return *code;
      }
    }
    return shell::RunHeadless(options, stopSignals, reporter);
  } catch (const std::exception& failure) {
    reporter.Failure(failure.what());
  } catch (...) {
    reporter.Failure("");
  }
  return 1;  // the port, if one was open, was closed on the way out
}
