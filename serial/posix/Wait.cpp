#include <sys/eventfd.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdint>
#include <stdexcept>
#include <system_error>

#include "serial/posix/Descriptor.h"
#include "serial/posix/Poll.h"
#include "serial/posix/Timer.h"

namespace serial {
namespace {

int Fd(WakeHandle handle) {
  return handle ? static_cast<int>(handle.NativeValue()) : -1;
}

timespec ToTimespec(std::chrono::nanoseconds value) {
  const auto seconds = std::chrono::floor<std::chrono::seconds>(value);
  return timespec{.tv_sec = static_cast<time_t>(seconds.count()),
                  .tv_nsec = static_cast<long>((value - seconds).count())};
}

}  // namespace

Descriptor ArmTimer(Clock::time_point first, std::chrono::nanoseconds period) {
  Descriptor timer(::timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC));
  const itimerspec schedule{.it_interval = ToTimespec(period),
                            .it_value = ToTimespec(first.time_since_epoch())};
  if (timer && ::timerfd_settime(timer.Get(), TFD_TIMER_ABSTIME, &schedule, nullptr) != 0) {
    const int error = errno;
    timer.Reset();
    errno = error;
  }
  return timer;
}

bool PollFor(std::span<pollfd> fds, std::optional<Clock::time_point> deadline) {
  std::array<pollfd, 8> all{};
  if (fds.size() + 1 > all.size()) {
    throw std::invalid_argument("too many descriptors to wait for");
  }
  std::copy(fds.begin(), fds.end(), all.begin());
  std::size_t count = fds.size();
  // The deadline is a descriptor of its own, so poll() itself waits without a time-out. Without
  // one to be had, poll's time-out keeps it.
  const Descriptor timer = deadline && *deadline > Clock::now()
                               ? ArmTimer(*deadline, std::chrono::nanoseconds::zero())
                               : Descriptor();
  if (timer) {
    all[count++] = pollfd{.fd = timer.Get(), .events = POLLIN, .revents = 0};
  }
  for (;;) {
    int timeoutMs = -1;
    if (deadline && !timer) {
      const auto left = std::chrono::ceil<std::chrono::milliseconds>(*deadline - Clock::now());
      timeoutMs = static_cast<int>(std::max<long long>(left.count(), 0));
    }
    if (::poll(all.data(), count, timeoutMs) < 0) {
      if (errno == EINTR) {
        continue;  // a signal: the deadline stands, so the wait goes on for the time that is left
      }
      throw std::system_error(errno, std::generic_category(), "Cannot wait");
    }
    std::copy_n(all.begin(), fds.size(), fds.begin());
    if (std::any_of(fds.begin(), fds.end(), [](const pollfd& fd) { return fd.revents != 0; })) {
      return true;
    }
    if (deadline && Clock::now() >= *deadline) {
      return false;
    }
  }
}

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
  owned_.Reset(WakeHandle(fd));
}

void WakeEvent::Raise() {
  const std::uint64_t one = 1;
  [[maybe_unused]] const ssize_t written = ::write(Fd(Handle()), &one, sizeof one);
}

void WakeEvent::Clear() {
  std::uint64_t count = 0;
  [[maybe_unused]] const ssize_t read = ::read(Fd(Handle()), &count, sizeof count);
}

std::optional<std::size_t> WaitForAny(std::span<const WakeHandle> handles,
                                      std::optional<Clock::time_point> deadline) {
  std::array<pollfd, 4> fds{};
  if (handles.size() > fds.size()) {
    throw std::invalid_argument("too many handles to wait for");
  }
  for (std::size_t i = 0; i < handles.size(); ++i) {
    fds[i] = pollfd{.fd = Fd(handles[i]), .events = POLLIN, .revents = 0};
  }
  if (!PollFor(std::span(fds).first(handles.size()), deadline)) {
    return std::nullopt;
  }
  for (std::size_t i = 0; i < handles.size(); ++i) {
    if ((fds[i].revents & (POLLIN | POLLERR | POLLHUP)) != 0) {
      return i;
    }
  }
  return std::nullopt;
}

}  // namespace serial
