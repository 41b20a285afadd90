// Waiting on Linux: poll() on descriptors, the deadline on a timerfd of the thread's own.

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdint>
#include <stdexcept>
#include <system_error>

#include "os/Wait.h"
#include "os/posix/Timerfd.h"

namespace os {
namespace {

int Fd(WakeHandle handle) {
  return handle ? NativeOf<int>(handle) : -1;
}

// The deadlines of this thread's waits: one timerfd, set again for each wait (which also clears
// what it counted), where a poll() time-out could run late by 0.1 % of its length. -1 when the
// system has none to give: poll's own time-out keeps the deadline then.
int DeadlineTimer() {
  thread_local const OwnedWake timer(
      WakeOf(::timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC)));
  return Fd(timer.Get());
}

}  // namespace

void OwnedWake::Reset(WakeHandle handle) {
  if (handle_) {
    ::close(Fd(handle_));
  }
  handle_ = handle;
}

WakeEvent::WakeEvent() {
  const int fd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (fd < 0) {
    throw std::system_error(errno, std::generic_category(), "Cannot create an event");
  }
  owned_.Reset(WakeOf(fd));
}

void WakeEvent::Raise() {
  const std::uint64_t one = 1;
  [[maybe_unused]] const ssize_t written = ::write(Fd(Handle()), &one, sizeof one);
}

void WakeEvent::Clear() {
  std::uint64_t count = 0;
  [[maybe_unused]] const ssize_t read = ::read(Fd(Handle()), &count, sizeof count);
}

std::optional<std::size_t> SystemWait(std::span<const Waited> waited,
                                      std::optional<Clock::time_point> deadline) {
  std::array<pollfd, 8> fds{};
  if (waited.size() + 1 > fds.size()) {
    throw std::invalid_argument("too many handles to wait for");
  }
  for (std::size_t i = 0; i < waited.size(); ++i) {
    const short events = waited[i].ready == Waited::For::Writing ? POLLOUT : POLLIN;
    fds[i] = pollfd{.fd = Fd(waited[i].handle), .events = events, .revents = 0};
  }
  std::size_t count = waited.size();
  int timer = -1;
  if (deadline && *deadline > Clock::now()) {
    timer = DeadlineTimer();
    if (timer >= 0 && ArmTimerfd(timer, *deadline, std::chrono::nanoseconds::zero()) == 0) {
      fds[count++] = pollfd{.fd = timer, .events = POLLIN, .revents = 0};
    } else {
      timer = -1;
    }
  }
  for (;;) {
    int timeoutMs = -1;
    if (deadline && timer < 0) {
      const auto left = std::chrono::ceil<std::chrono::milliseconds>(*deadline - Clock::now());
      timeoutMs = static_cast<int>(std::max<long long>(left.count(), 0));
    }
    if (::poll(fds.data(), count, timeoutMs) < 0) {
      if (errno == EINTR) {
        continue;  // a signal: the deadline stands, so the wait goes on for the time that is left
      }
      throw std::system_error(errno, std::generic_category(), "Cannot wait");
    }
    for (std::size_t i = 0; i < waited.size(); ++i) {
      // A descriptor that is not open would be reported at once, every time: an error, not a
      // wait that spins.
      if ((fds[i].revents & POLLNVAL) != 0) {
        throw std::system_error(EBADF, std::generic_category(), "Cannot wait");
      }
      if ((fds[i].revents & (fds[i].events | POLLERR | POLLHUP)) != 0) {
        return i;
      }
    }
    if (deadline && Clock::now() >= *deadline) {
      return std::nullopt;
    }
  }
}

}  // namespace os
