// The timer on Linux: a timerfd on CLOCK_MONOTONIC, the steady clock, armed on absolute times.
// Exact to the task's timer slack (50 us); its expiration count says how many points passed.

#include "os/Timer.h"

#include "os/posix/Timerfd.h"

#include <sys/timerfd.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

namespace os {
Timer::Timer() {
  const int fd = ::timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
  if (fd < 0) {
    throw std::system_error(errno, std::generic_category(), "Cannot create a timer");
  }
  handle_.Reset(WakeOf(fd));
}

void Timer::Arm(Clock::time_point first, std::chrono::nanoseconds period) {
  first_ = first;
  period_ = period;
  taken_ = 0;
  if (const int error = ArmTimerfd(NativeOf<int>(Wake()), first, period); error != 0) {
    throw std::system_error(error, std::generic_category(), "Cannot set a timer");
  }
}

std::uint64_t Timer::Take() {
  std::uint64_t count = 0;
  if (::read(NativeOf<int>(Wake()), &count, sizeof count) != sizeof count) {
    return 0;
  }
  taken_ += count;
  return count;
}

}  // namespace os
