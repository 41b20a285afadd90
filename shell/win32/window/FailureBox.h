#pragma once

// The one message box that shows failures. A failure that comes while the box is open is added
// to it, so there is never more than one box and none is lost; a message that repeats is counted
// on its line rather than listed again. The box is modal to its window, which it disables while
// it is open, but it is a window of the program's own loop: ticks go on while it is on screen.

#include <windows.h>

#include <string>

#include "shell/FailureTally.h"

namespace shell {

class FailureBox {
 public:
  explicit FailureBox(HWND owner) : owner_(owner) {}
  FailureBox(const FailureBox&) = delete;
  FailureBox& operator=(const FailureBox&) = delete;
  ~FailureBox() { Dismiss(); }

  void Add(const std::string& message);
  // Closes the box, as answering it does.
  void Dismiss();
  // Lets the box have its keys (Return and Escape answer it). True when it took the message.
  bool TakeKeys(MSG& message);

 private:
  static LRESULT CALLBACK Procedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
  void Create();
  void Update();

  HWND owner_;
  HWND box_ = nullptr;
  HWND icon_ = nullptr;
  HWND text_ = nullptr;
  HWND button_ = nullptr;
  HFONT font_ = nullptr;
  FailureTally tally_;
};

}  // namespace shell
