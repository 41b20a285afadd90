#pragma once

// Input from the port, announced on one handle that stays the same while ports come and go (a
// replug, a reconnect): the program's waits, and the window's event loop, watch this one. On
// Linux it is an epoll set that an open port's descriptor joins (os/posix/Input.h); on Windows an
// event that the port's overlapped reads set when they finish. A port that has nothing more to
// announce (closed, gone) leaves it, so it is never ready for nothing. It is also ready at a time
// it is asked to be (WakeAt): when what the device said has gone quiet.

#include <optional>

#include "os/Wait.h"

namespace os {

class InputWake {
 public:
  // Throws std::system_error when the system has none to give.
  InputWake();
  InputWake(const InputWake&) = delete;
  InputWake& operator=(const InputWake&) = delete;
  ~InputWake();
  WakeHandle Handle() const { return owned_.Get(); }

  // Ready at `when` too (on the steady clock); none: not for a time.
  void WakeAt(std::optional<Clock::time_point> when);

  // Before what it announced is taken: ready again only for what comes, or a time that comes,
  // from now on.
  void Clear();

 private:
  OwnedWake owned_;
  OwnedWake timer_;                          // Linux: a timerfd in the set
  [[maybe_unused]] void* queued_ = nullptr;  // Windows: a timer of the timer queue
};

}  // namespace os
