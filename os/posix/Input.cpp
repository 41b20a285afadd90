#include <sys/epoll.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <system_error>

#include "os/Input.h"
#include "os/posix/Input.h"
#include "os/posix/Timerfd.h"

namespace os {

InputWake::InputWake() {
  const int fd = ::epoll_create1(EPOLL_CLOEXEC);
  if (fd < 0) {
    throw std::system_error(errno, std::generic_category(), "Cannot watch the port's input");
  }
  owned_.Reset(WakeOf(fd));
  const int timer = ::timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
  if (timer < 0 || Announce(owned_.Get(), timer) != 0) {
    throw std::system_error(errno, std::generic_category(), "Cannot watch the port's input");
  }
  timer_.Reset(WakeOf(timer));
}

InputWake::~InputWake() = default;

void InputWake::WakeAt(std::optional<Clock::time_point> when) {
  // A time of 0 disarms the timer; one already past makes it ready at once.
  const auto at =
      when ? std::max(*when, Clock::time_point(std::chrono::nanoseconds(1))) : Clock::time_point();
  ArmTimerfd(NativeOf<int>(timer_.Get()), at, std::chrono::nanoseconds::zero());
}

void InputWake::Clear() {
  std::uint64_t expired = 0;
  [[maybe_unused]] const ssize_t read =
      ::read(NativeOf<int>(timer_.Get()), &expired, sizeof expired);
}

}  // namespace os
