#pragma once

// What both windows do alike, whichever toolkit draws them (Qt in posix/, Win32 in win32/): the
// frame and the title, and the order of the events behind the hooks of shell/WindowModule.h:
// the beat starts as the window is made, the show comes once, ticks follow, a stop request closes
// the window, and the close comes once. Each window draws; this decides.

#include <functional>
#include <string>

#include "shell/WindowModule.h"

namespace window {

// The window's outer rectangle, frame included, and its title.
inline constexpr int kLeft = 601;
inline constexpr int kTop = 271;
inline constexpr int kWidth = 353;
inline constexpr int kHeight = 147;
inline constexpr const char* kTitle = "Form1";

class WindowCore {
 public:
  explicit WindowCore(const CheckfeedWindowHooks& hooks) : hooks_(hooks) {}

  // Starts the beat: the first tick one period from now. Returns what is ready when a tick is
  // due. Throws std::runtime_error with the program's reason when it cannot.
  CheckfeedWake StartTimer();

  // What is ready while a stop request is pending.
  CheckfeedWake StopWake() const { return hooks_.stop; }

  // The window was shown (FormShow): the first time, the program opens its port. Returns what
  // the failure box shows now, or null when it stays as it is.
  const CheckfeedBox* Shown();

  // A tick is due (TimerTimer): one step of the program. Returns what the box shows now, or null.
  const CheckfeedBox* Tick();

  // What is ready when the port has something to say; asked once, after StartTimer.
  CheckfeedWake InputWake() const { return hooks_.input(hooks_.context); }

  // The port said something: the program takes it. Returns what the box shows now, or null.
  const CheckfeedBox* Heard();

  // A stop request is pending: takes it, and returns true when the window is to close.
  bool StopRequested();

  // The window closes (FormClose): the first time the program closes its port, and this returns
  // true; later calls do nothing and return false.
  bool Closing();

  // The user answered the failure box.
  void Dismissed();

 private:
  const CheckfeedWindowHooks& hooks_;
  bool shown_ = false;
  bool closed_ = false;
};

// The last resort of both windows' entry points: runs `loop` (the window and its message loop)
// and returns its exit code; a failure that escapes it is told by the program and shown with
// `show` (a message box), and the exit code is 1.
int RunGuarded(const CheckfeedWindowHooks& hooks, const std::function<int()>& loop,
               const std::function<void(const std::string&)>& show);

}  // namespace window
