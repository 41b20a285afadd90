#pragma once

// The main window on Windows, in plain Win32: empty, titled "Form1". It owns the waits for the
// timer and the stop requests and carries the three events (show, tick, close) to the window
// core; the program lives behind its hooks.

#include <windows.h>

#include "shell/WindowModule.h"
#include "shell/window/WindowCore.h"
#include "shell/window/win32/FailureBox.h"

class TForm1 {
 public:
  // Creates the window, hidden. Returns null when no window can be made here (no desktop).
  static TForm1* Create(const CheckfeedWindowHooks& hooks);
  TForm1(const TForm1&) = delete;
  TForm1& operator=(const TForm1&) = delete;
  ~TForm1();

  // Starts the beat: the first tick comes one period from now. Throws std::runtime_error when it
  // cannot be started.
  void StartTimer();
  // Shows the window, which raises FormShow.
  void Show();
  // Asks the window to close, as its close button does.
  void Close();

  // The handlers.
  void TimerTimer();
  void FormShow();
  void FormClose();

  HWND Handle() const { return window_; }
  window::FailureBox& Failures() { return failures_; }

  // Ready when a tick is due on the program's beat.
  HANDLE Timer = nullptr;

 private:
  TForm1(const CheckfeedWindowHooks& hooks, HWND window);
  static LRESULT CALLBACK Procedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
  static void CALLBACK OnTimer(void* context, BOOLEAN timedOut);
  static void CALLBACK OnStop(void* context, BOOLEAN timedOut);
  static void CALLBACK OnInput(void* context, BOOLEAN timedOut);
  // Waits once for the port's input: it stays ready until the program has taken it.
  void WaitForInput();
  LRESULT Handle(UINT message, WPARAM wParam, LPARAM lParam);

  window::WindowCore core_;
  HWND window_;
  window::FailureBox failures_;
  // Ticks and stop requests come from waits on other threads as messages, so they keep coming
  // while Windows runs a loop of its own (the window moved or resized).
  HANDLE timerWait_ = nullptr;
  HANDLE stopWait_ = nullptr;
  HANDLE input_ = nullptr;
  HANDLE inputWait_ = nullptr;
  LONG tickPosted_ = 0;  // a tick message is on its way: one at a time, never a burst
};

// The one window of the program, while it exists.
extern TForm1* Form1;
