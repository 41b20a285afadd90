#pragma once

// The beat: ticks on an absolute grid from the moment the timer is made, from the system's most
// exact timer (os/Timer.h: a timerfd on Linux, a high-resolution periodic waitable timer on
// Windows). Qt's timers and poll() time-outs run several milliseconds late on Linux (kernel
// slack, whole-millisecond rounding, re-anchoring after a long tick), a Sleep() loop on Windows
// drifts: neither is used for the beat. However many ticks fell due while the program was busy,
// one tick runs: never a burst.

#include <chrono>

#include "os/Timer.h"
#include "os/Wait.h"

namespace shell {

using Clock = os::Clock;

class TickTimer {
 public:
  // Starts the grid now: the first tick is due one period from now.
  explicit TickTimer(std::chrono::nanoseconds period);

  // Ready when a tick is due; wait for it with os::WaitForAny or the window's event loop.
  os::WakeHandle Wake() const { return timer_.Wake(); }

  // Takes every tick that has come due and returns true if there was one: however many ticks
  // fell due while the program was busy, one tick runs now.
  bool TakeTick();

  // When the tick taken last was due: the latest point of the grid that has passed.
  Clock::time_point Due() const { return timer_.Due(); }

  // How many ticks have fallen due since the one taken last: they will run as one.
  long long Missed() const { return (Clock::now() - Due()) / timer_.Period(); }

 private:
  os::Timer timer_;
};

}  // namespace shell
