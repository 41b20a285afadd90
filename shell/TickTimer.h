#pragma once

// The beat: ticks on an absolute grid from the moment the timer is made, from the platform's
// most exact timer (shell/posix/TickTimer.cpp: a timerfd on CLOCK_MONOTONIC; shell/win32/
// TickTimer.cpp: a high-resolution periodic waitable timer). Qt's timers and poll() time-outs
// run several milliseconds late on Linux (kernel slack, whole-millisecond rounding, re-anchoring
// after a long tick), a Sleep() loop on Windows drifts: neither is used for the beat. However
// many ticks fell due while the program was busy, one tick runs: never a burst.

#include <chrono>

#include "serial/Wait.h"

namespace shell {

using Clock = serial::Clock;

class TickTimer {
 public:
  // Starts the grid now: the first tick is due one period from now.
  explicit TickTimer(std::chrono::nanoseconds period);

  // Ready when a tick is due; wait for it with serial::WaitForAny or the window's event loop.
  serial::WakeHandle Wake() const { return timer_.Get(); }

  // Takes every tick that has come due and returns true if there was one: however many ticks
  // fell due while the program was busy, one tick runs now.
  bool TakeTick();

  // When the tick taken last was due: the latest point of the grid that has passed.
  Clock::time_point Due() const { return start_ + period_ * expirations_; }

 private:
  serial::OwnedWake timer_;
  Clock::time_point start_;
  std::chrono::nanoseconds period_;
  long long expirations_ = 0;
};

// Blocks until `deadline` or until `stop` is ready, whichever comes first. Returns false when
// stopped early.
inline bool WaitUntil(Clock::time_point deadline, serial::WakeHandle stop) {
  return !serial::WaitForAny(std::span(&stop, 1), deadline).has_value();
}

}  // namespace shell
