#include "shell/TickTimer.h"

namespace shell {

TickTimer::TickTimer(std::chrono::nanoseconds period) {
  // Armed on an absolute grid, so nothing the program does moves the ticks.
  timer_.Arm(Clock::now() + period, period);
}

bool TickTimer::TakeTick() {
  // The count says how many ticks fell due; one runs.
  return timer_.Take() > 0;
}

}  // namespace shell
