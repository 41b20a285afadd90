// The window's entry point on Windows: the window, its message loop, and the last-resort display
// of a failure that ends the program. It is a library linked into the program (user32 is always
// there) and keeps the same boundary as the window module on Linux.

#include <windows.h>

#include <memory>
#include <string>

#include "os/win32/Text.h"
#include "shell/WindowModule.h"
#include "shell/window/WindowCore.h"
#include "shell/window/win32/Unit1.h"

extern "C" int checkfeed_window_run_v3(int* /*argc*/, char** /*argv*/,
                                       const CheckfeedWindowHooks* hooks) {
  std::unique_ptr<TForm1> form(TForm1::Create(*hooks));
  if (!form) {
    return CHECKFEED_WINDOW_NO_DISPLAY;  // no desktop to show a window on
  }
  Form1 = form.get();
  const int code = window::RunGuarded(
      *hooks,
      [&form] {
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
        return got == 0 ? static_cast<int>(message.wParam) : 1;
      },
      [](const std::string& message) {
        MessageBoxW(nullptr, os::Widen(message).c_str(), L"checkfeed", MB_OK | MB_ICONERROR);
      });
  Form1 = nullptr;
  return code;
}
