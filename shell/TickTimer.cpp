#include "shell/TickTimer.h"

#include <poll.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <array>
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

serial::Descriptor ArmedTimer(Clock::time_point first, std::chrono::nanoseconds period) {
  serial::Descriptor fd(::timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC));
  if (!fd) {
    throw std::system_error(errno, std::generic_category(), "Cannot create a timer");
  }
  const itimerspec schedule{.it_interval = ToTimespec(period),
                            .it_value = ToTimespec(first.time_since_epoch())};
  if (::timerfd_settime(fd.Get(), TFD_TIMER_ABSTIME, &schedule, nullptr) != 0) {
    throw std::system_error(errno, std::generic_category(), "Cannot set a timer");
  }
  return fd;
}

}  // namespace

TickTimer::TickTimer(std::chrono::nanoseconds period) : start_(Clock::now()), period_(period) {
  fd_ = ArmedTimer(start_ + period_, period_);
}

bool TickTimer::TakeTick() {
  std::uint64_t count = 0;
  if (::read(fd_.Get(), &count, sizeof count) != sizeof count) {
    return false;
  }
  expirations_ += static_cast<long long>(count);
  return count > 0;
}

bool WaitUntil(Clock::time_point deadline, int stopFd) {
  const serial::Descriptor timer = ArmedTimer(deadline, std::chrono::nanoseconds::zero());
  std::array<pollfd, 2> fds{{{.fd = timer.Get(), .events = POLLIN, .revents = 0},
                             {.fd = stopFd, .events = POLLIN, .revents = 0}}};
  for (;;) {
    if (::poll(fds.data(), fds.size(), -1) < 0) {
      if (errno == EINTR) {
        continue;
      }
      throw std::system_error(errno, std::generic_category(), "Cannot wait");
    }
    if ((fds[1].revents & POLLIN) != 0) {
      return false;
    }
    if ((fds[0].revents & POLLIN) != 0) {
      return true;
    }
  }
}

}  // namespace shell
