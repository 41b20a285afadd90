// checkfeed: feeds check1.txt ... check6.txt to a serial port on a steady beat.

#include <exception>
#include <string>
#include <vector>

#include "shell/CommandLine.h"
#include "shell/Events.h"
#include "shell/Headless.h"
#include "shell/Platform.h"
#include "shell/StopSignals.h"
#include "shell/Window.h"

int main(int argc, char** argv) {
  const std::vector<std::string> arguments = shell::Arguments(argc, argv);
  std::vector<const char*> pointers;
  for (const std::string& argument : arguments) {
    pointers.push_back(argument.c_str());
  }
  const shell::CommandLine line = shell::ParseCommandLine(pointers);
  switch (line.action) {
    case shell::CommandLine::Action::Help:
      shell::WriteOut(stdout, shell::Usage());
      return 0;
    case shell::CommandLine::Action::Version:
      shell::WriteOut(stdout, shell::VersionText());
      return 0;
    case shell::CommandLine::Action::Bad:
      shell::WriteOut(stderr, "checkfeed: " + line.error + "\n\n" + shell::Synopsis() +
                                  "Try 'checkfeed --help' for more.\n");
      return 2;
    case shell::CommandLine::Action::Run:
      break;
  }
  if (const std::string error = shell::CheckOptions(line.options); !error.empty()) {
    shell::WriteOut(stderr, "checkfeed: " + error + "\n");
    return 2;
  }
  // The check files are named relative to the working directory, as they are without --dir.
  if (!line.options.dir.empty()) {
    if (const std::string why = shell::ChangeDirectory(line.options.dir); !why.empty()) {
      shell::WriteOut(stderr, "checkfeed: --dir \"" + line.options.dir + "\": " + why + "\n");
      return 2;
    }
  }

  try {
    shell::StopSignals stopSignals;  // before the window module starts any thread
    if (shell::WindowWanted(line.options)) {
      if (const auto code = shell::RunWindow(argc, argv, line.options, stopSignals)) {
        return *code;
      }
    }
    return shell::RunHeadless(line.options, stopSignals);
  } catch (const std::exception& failure) {
    shell::PrintFailure(failure.what());
  } catch (...) {
    shell::PrintFailure("");
  }
  return 1;  // the port, if one was open, was closed on the way out
}
