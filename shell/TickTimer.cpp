#include "shell/TickTimer.h"

namespace shell {

TickTimer::TickTimer(std::chrono::nanoseconds period) : start_(Clock::now()), period_(period) {
  // Armed on an absolute grid, so nothing the program does moves the ticks.
  timer_.Arm(start_ + period_, period_);
}

bool TickTimer::TakeTick() {
  // The count says how many ticks fell due; one runs.
  const auto count = timer_.Take();
  expirations_ += static_cast<long long>(count);
  return count > 0;
}

}  // namespace shell
