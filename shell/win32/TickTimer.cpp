#include "shell/TickTimer.h"

#include "serial/win32/Timer.h"

namespace shell {
namespace {

// How early a tick may be signalled and still count as due: Windows keeps waits to whole
// milliseconds, and its timer and the steady clock may differ by a little.
constexpr auto kEarliest = std::chrono::milliseconds(1);

}  // namespace

// A high-resolution, auto-reset, periodic waitable timer: Windows re-arms it on its own grid, so
// it does not drift, and a timer that fell due several times while nobody waited is signalled
// once, so missed ticks never come as a burst.
TickTimer::TickTimer(std::chrono::nanoseconds period) : start_(Clock::now()), period_(period) {
  timer_.Reset(serial::ToWake(serial::CreatePreciseTimer()));
  const auto milliseconds = std::chrono::duration_cast<std::chrono::milliseconds>(period_);
  serial::SetPreciseTimer(serial::ToHandle(timer_.Get()), start_ + period_,
                          static_cast<long>(milliseconds.count()));
}

bool TickTimer::TakeTick() {
  // The wait that saw the timer has already reset it, being auto-reset; the grid says how many
  // ticks have fallen due since the start, and one runs.
  WaitForSingleObject(serial::ToHandle(timer_.Get()), 0);
  const auto passed =
      (Clock::now() - start_ + std::min<std::chrono::nanoseconds>(kEarliest, period_ / 2)) /
      period_;
  if (passed <= expirations_) {
    return false;
  }
  expirations_ = passed;
  return true;
}

}  // namespace shell
