// checkfeed: feeds check1.txt ... check6.txt to a serial port on a steady beat.

#include <unistd.h>

#include <QApplication>
#include <QMessageBox>
#include <cerrno>
#include <cstring>
#include <exception>
#include <iostream>
#include <span>

#include "serial/Port.h"
#include "shell/CommandLine.h"
#include "shell/Display.h"
#include "shell/Events.h"
#include "shell/Headless.h"
#include "shell/StopSignals.h"
#include "shell/Unit1.h"

namespace {

// Shows a failure that ended the program: in a message box while there is an application to
// show it, and on stderr always.
void ShowFatal(const std::string& message) {
  shell::PrintFailure(message);
  if (QApplication::instance() != nullptr) {
    QMessageBox::critical(nullptr, QStringLiteral("checkfeed"), QString::fromStdString(message));
  }
}

int RunWindow(int& argc, char** argv, const shell::Options& options,
              shell::StopSignals& stopSignals) {
  QApplication application(argc, argv);
  application.setQuitOnLastWindowClosed(false);  // the window's close ends the program
  int code = 1;
  try {
    TForm1 form(options, stopSignals);
    Form1 = &form;
    form.show();  // raises FormShow, which opens the port before the first tick
    code = QApplication::exec();
  } catch (const std::exception& failure) {
    ShowFatal(failure.what());
  } catch (...) {
    ShowFatal("");
  }
  Form1 = nullptr;
  serial::ClosePort();  // already closed by FormClose unless a failure ended the loop
  return code;
}

}  // namespace

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
    shell::StopSignals stopSignals;  // before Qt starts any thread
    if (line.options.window && shell::DisplayAvailable()) {
      return RunWindow(argc, argv, line.options, stopSignals);
    }
    return shell::RunHeadless(line.options, stopSignals);
  } catch (const std::exception& failure) {
    ShowFatal(failure.what());
  } catch (...) {
    ShowFatal("");
  }
  serial::ClosePort();
  return 1;
}
