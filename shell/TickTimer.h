#pragma once

// The beat. Qt's timers and poll() time-outs run several milliseconds late on Linux (kernel
// slack on poll, whole-millisecond rounding, re-anchoring after a long tick), so ticks come from
// a timerfd on CLOCK_MONOTONIC, armed on an absolute grid: it is exact to tens of microseconds,
// never drifts, and its expiration count makes "one pending tick, never a burst" explicit.

#include <chrono>

#include "serial/Descriptor.h"

namespace shell {

using Clock = std::chrono::steady_clock;  // CLOCK_MONOTONIC

class TickTimer {
 public:
  // Starts the grid now: the first tick is due one period from now.
  explicit TickTimer(std::chrono::nanoseconds period);

  // Readable when a tick is due; watch it with poll() or a QSocketNotifier.
  int Fd() const { return fd_.Get(); }

  // Consumes every expiration that has come due and returns true if there was one: however
  // many ticks fell due while the program was busy, one tick runs now.
  bool TakeTick();

  // When the tick taken last was due: the latest point of the grid that has passed.
  Clock::time_point Due() const { return start_ + period_ * expirations_; }

 private:
  serial::Descriptor fd_;
  Clock::time_point start_;
  std::chrono::nanoseconds period_;
  long long expirations_ = 0;
};

// Blocks until `deadline` or until `stopFd` becomes readable, whichever comes first. Returns
// false when stopped early.
bool WaitUntil(Clock::time_point deadline, int stopFd);

}  // namespace shell
