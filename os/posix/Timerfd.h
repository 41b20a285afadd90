#pragma once

// timerfds on CLOCK_MONOTONIC (the steady clock), set on absolute times: the beat's timer and the
// waits' deadlines.

#include <sys/timerfd.h>

#include <cerrno>
#include <chrono>

#include "os/Wait.h"

namespace os {

// Sets timerfd `fd` to be ready at `first`, and then every `period` unless it is zero; what it
// counted so far is cleared. Returns 0 or an errno value.
inline int ArmTimerfd(int fd, Clock::time_point first, std::chrono::nanoseconds period) {
  const auto timespecOf = [](std::chrono::nanoseconds value) {
    const auto seconds = std::chrono::floor<std::chrono::seconds>(value);
    return timespec{.tv_sec = static_cast<time_t>(seconds.count()),
                    .tv_nsec = static_cast<long>((value - seconds).count())};
  };
  const itimerspec schedule{.it_interval = timespecOf(period),
                            .it_value = timespecOf(first.time_since_epoch())};
  return ::timerfd_settime(fd, TFD_TIMER_ABSTIME, &schedule, nullptr) == 0 ? 0 : errno;
}

}  // namespace os
