// The window module's entry point: the framework's start-up, the window, and the last-resort
// display of a failure that ends the program.

#include <QApplication>
#include <QMessageBox>
#include <exception>
#include <string>

#include "shell/WindowModule.h"
#include "shell/window/Display.h"
#include "shell/window/Unit1.h"

namespace {

// A failure that ended the program: told by the program, and shown in a message box.
void ShowFatal(const CheckfeedWindowHooks& hooks, const std::string& message) {
  hooks.fatal(hooks.context, message.c_str());
  QMessageBox::critical(nullptr, QStringLiteral("checkfeed"), QString::fromStdString(message));
}

}  // namespace

extern "C" __attribute__((visibility("default"))) int checkfeed_window_run_v2(
    int* argc, char** argv, const CheckfeedWindowHooks* hooks) {
  // QApplication aborts the process when it cannot open its display, so ask first.
  if (!shell::DisplayAvailable()) {
    return CHECKFEED_WINDOW_NO_DISPLAY;
  }
  QApplication application(*argc, argv);
  application.setQuitOnLastWindowClosed(false);  // the window's close ends the program
  int code = 1;
  try {
    TForm1 form(*hooks);
    Form1 = &form;
    form.show();  // raises FormShow, which opens the port before the first tick
    code = QApplication::exec();
  } catch (const std::exception& failure) {
    ShowFatal(*hooks, failure.what());
  } catch (...) {
    ShowFatal(*hooks, "");
  }
  Form1 = nullptr;
  return code;
}
