#include "shell/TickTimer.h"

#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <system_error>

#include "serial/posix/Timer.h"

namespace shell {
namespace {

int Fd(const serial::OwnedWake& timer) {
  return static_cast<int>(timer.Get().NativeValue());
}

}  // namespace

TickTimer::TickTimer(std::chrono::nanoseconds period) : start_(Clock::now()), period_(period) {
  // Armed on an absolute grid, so nothing the program does moves the ticks.
  serial::Descriptor timer = serial::ArmTimer(start_ + period_, period_);
  if (!timer) {
    throw std::system_error(errno, std::generic_category(), "Cannot create a timer");
  }
  timer_.Reset(serial::WakeHandle(timer.Take()));
}

bool TickTimer::TakeTick() {
  // The expiration count says how many ticks fell due; one runs.
  std::uint64_t count = 0;
  if (::read(Fd(timer_), &count, sizeof count) != sizeof count) {
    return false;
  }
  expirations_ += static_cast<long long>(count);
  return count > 0;
}

}  // namespace shell
