#pragma once

// A port's descriptor in an os::InputWake: the set is readable while the descriptor is.

#include <sys/epoll.h>

#include <cerrno>

#include "os/Wait.h"

namespace os {

// Announces what arrives on `fd` on `input` (none: nothing is announced). Returns 0 or an errno
// value.
inline int Announce(WakeHandle input, int fd) {
  if (!input) {
    return 0;
  }
  epoll_event event{};
  event.events = EPOLLIN;
  event.data.fd = fd;
  return ::epoll_ctl(NativeOf<int>(input), EPOLL_CTL_ADD, fd, &event) == 0 ? 0 : errno;
}

// No more: `fd` has nothing more to say (it reached its end, or failed) and would keep the set
// ready. Closing it does the same.
inline void Forget(WakeHandle input, int fd) {
  if (input) {
    ::epoll_ctl(NativeOf<int>(input), EPOLL_CTL_DEL, fd, nullptr);
  }
}

}  // namespace os
