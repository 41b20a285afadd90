#pragma once

// The one message box that shows failures, as the program words them: a box that is open is
// updated, not joined by a second one. The box is modal to its window, which it disables while
// it is open, but it is a window of the program's own loop: ticks go on while it is on screen.

#include <windows.h>

#include <functional>
#include <string>

#include "shell/WindowModule.h"

namespace window {

class FailureBox {
 public:
  // `dismissed` runs when the user answers the box.
  FailureBox(HWND owner, std::function<void()> dismissed)
      : owner_(owner), dismissed_(std::move(dismissed)) {}
  FailureBox(const FailureBox&) = delete;
  FailureBox& operator=(const FailureBox&) = delete;
  ~FailureBox() { Dismiss(); }

  // Opens the box if it is not open, and shows `content` in it.
  void Show(const CheckfeedBox& content);
  // Closes the box, as answering it does.
  void Dismiss();
  // Lets the box have its keys (Return and Escape answer it). True when it took the message.
  bool TakeKeys(MSG& message);

 private:
  static LRESULT CALLBACK Procedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
  void Create();
  void Update(const CheckfeedBox& content);

  HWND owner_;
  HWND box_ = nullptr;
  HWND icon_ = nullptr;
  HWND text_ = nullptr;
  HWND button_ = nullptr;
  HFONT font_ = nullptr;
  std::function<void()> dismissed_;
};

}  // namespace window
