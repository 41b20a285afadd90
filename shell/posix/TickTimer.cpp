#include "shell/TickTimer.h"

#include <sys/timerfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <system_error>

namespace shell {
namespace {

timespec ToTimespec(std::chrono::nanoseconds value) {
  const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(value);
  return timespec{.tv_sec = static_cast<time_t>(seconds.count()),
                  .tv_nsec = static_cast<long>((value - seconds).count())};
}

int Fd(const serial::OwnedWake& timer) {
  return static_cast<int>(timer.Get().NativeValue());
}

}  // namespace

TickTimer::TickTimer(std::chrono::nanoseconds period) : start_(Clock::now()), period_(period) {
  const int fd = ::timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
  if (fd < 0) {
    throw std::system_error(errno, std::generic_category(), "Cannot create a timer");
  }
  timer_.Reset(serial::WakeHandle(fd));
  // Armed on an absolute grid, so nothing the program does moves the ticks.
  const itimerspec schedule{.it_interval = ToTimespec(period_),
                            .it_value = ToTimespec((start_ + period_).time_since_epoch())};
  if (::timerfd_settime(fd, TFD_TIMER_ABSTIME, &schedule, nullptr) != 0) {
    throw std::system_error(errno, std::generic_category(), "Cannot set a timer");
  }
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
