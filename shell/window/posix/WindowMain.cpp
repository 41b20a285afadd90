// The window module's entry point: the framework's start-up, the window, and the last-resort
// display of a failure that ends the program.

#include <QApplication>
#include <QMessageBox>
#include <string>

#include "shell/WindowModule.h"
#include "shell/window/WindowCore.h"
#include "shell/window/posix/Display.h"
#include "shell/window/posix/Unit1.h"

extern "C" __attribute__((visibility("default"))) int checkfeed_window_run_v3(
    int* argc, char** argv, const CheckfeedWindowHooks* hooks) {
  // QApplication aborts the process when it cannot open its display, so ask first.
  if (!window::DisplayAvailable()) {
    return CHECKFEED_WINDOW_NO_DISPLAY;
  }
  QApplication application(*argc, argv);
  application.setQuitOnLastWindowClosed(false);  // the window's close ends the program
  const int code = window::RunGuarded(
      *hooks,
      [hooks] {
        TForm1 form(*hooks);
        Form1 = &form;
        form.show();  // raises FormShow, which opens the port before the first tick
        const int exitCode = QApplication::exec();
        Form1 = nullptr;
        return exitCode;
      },
      [](const std::string& message) {
        QMessageBox::critical(nullptr, QStringLiteral("checkfeed"),
                              QString::fromStdString(message));
      });
  Form1 = nullptr;
  return code;
}
