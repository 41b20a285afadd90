// The window's entry point on Windows: the window, its message loop, and the last-resort display
// of a failure that ends the program. It is linked into the program (user32 is always there) and
// keeps the same boundary as the window module on Linux.

#include <windows.h>

#include <exception>
#include <memory>
#include <string>

#include "serial/win32/Text.h"
#include "shell/WindowModule.h"
#include "shell/win32/window/Unit1.h"

namespace {

// A failure that ended the program: told by the program, and shown in a message box.
void ShowFatal(const CheckfeedWindowHooks& hooks, const std::string& message) {
  hooks.fatal(hooks.context, message.c_str());
  MessageBoxW(nullptr, serial::Widen(message).c_str(), L"checkfeed", MB_OK | MB_ICONERROR);
}

}  // namespace

extern "C" int checkfeed_window_run_v2(int* /*argc*/, char** /*argv*/,
                                       const CheckfeedWindowHooks* hooks) {
  std::unique_ptr<TForm1> form(TForm1::Create(*hooks));
  if (!form) {
    return CHECKFEED_WINDOW_NO_DISPLAY;  // no desktop to show a window on
  }
  int code = 1;
  try {
    Form1 = form.get();
    form->StartTimer();  // the first tick one period after the window was created
    form->Show();        // raises FormShow, which opens the port before the first tick
    MSG message;
    BOOL got = 0;
    while ((got = GetMessageW(&message, nullptr, 0, 0)) > 0) {
      if (!form->Failures().TakeKeys(message)) {
        TranslateMessage(&message);
        DispatchMessageW(&message);
      }
    }
    code = got == 0 ? static_cast<int>(message.wParam) : 1;
  } catch (const std::exception& failure) {
    ShowFatal(*hooks, failure.what());
  } catch (...) {
    ShowFatal(*hooks, "");
  }
  Form1 = nullptr;
  return code;
}
