// checkfeed: feeds check1.txt ... check6.txt to a serial port on a steady beat.

#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <exception>
#include <iostream>
#include <span>

#include "serial/Port.h"
#include "shell/CommandLine.h"
#include "shell/Events.h"
#include "shell/Headless.h"
#include "shell/StopSignals.h"
#include "shell/Window.h"

int main(int argc, char** argv) {
  const shell::CommandLine line =
      shell::ParseCommandLine(std::span<const char* const>(argv + 1, argv + argc));
  switch (line.action) {
    case shell::CommandLine::Action::Help:
      std::cout << shell::Usage();
      return 0;
    case shell::CommandLine::Action::Version:
      std::cout << shell::VersionText();
      return 0;
    case shell::CommandLine::Action::Bad:
      std::cerr << "checkfeed: " << line.error << "\n\n"
                << shell::Synopsis() << "Try 'checkfeed --help' for more.\n";
      return 2;
    case shell::CommandLine::Action::Run:
      break;
  }
  if (const std::string error = shell::CheckOptions(line.options); !error.empty()) {
    std::cerr << "checkfeed: " << error << "\n";
    return 2;
  }
  // The check files are named relative to the working directory, as they are without --dir.
  if (!line.options.dir.empty() && ::chdir(line.options.dir.c_str()) != 0) {
    std::cerr << "checkfeed: --dir \"" << line.options.dir << "\": " << std::strerror(errno)
              << "\n";
    return 2;
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
  serial::ClosePort();
  return 1;
}
