#pragma once

// A timer as exact as the system makes it, on an absolute grid: a timerfd on CLOCK_MONOTONIC on
// Linux, a high-resolution waitable timer on Windows (os/posix/Timer.cpp, os/win32/Timer.cpp).
// Nothing the program does moves its grid, and however many periods pass unseen, it is ready
// once: the count of them says how many.

#include <chrono>
#include <cstdint>

#include "os/Wait.h"

namespace os {

class Timer {
 public:
  // Throws std::system_error when the system has no timer to give.
  Timer();

  // Ready at `first` (on the steady clock), and then every `period` unless it is zero. Throws
  // std::system_error when it cannot be set.
  void Arm(Clock::time_point first, std::chrono::nanoseconds period);

  // Ready while a point of the grid has passed that Take has not counted.
  WakeHandle Wake() const { return handle_.Get(); }

  // How many points of the grid have passed since the last call (0 when none), and not ready
  // again until the next one.
  std::uint64_t Take();

  // The latest point of the grid Take has counted; before the first, one period before it.
  Clock::time_point Due() const { return first_ + period_ * (static_cast<long long>(taken_) - 1); }
  std::chrono::nanoseconds Period() const { return period_; }

 private:
  OwnedWake handle_;
  Clock::time_point first_{};
  std::chrono::nanoseconds period_{0};
  std::uint64_t taken_ = 0;
};

}  // namespace os
