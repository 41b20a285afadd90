#include <sys/epoll.h>

#include <cerrno>
#include <system_error>

#include "os/Input.h"

namespace os {

InputWake::InputWake() {
  const int fd = ::epoll_create1(EPOLL_CLOEXEC);
  if (fd < 0) {
    throw std::system_error(errno, std::generic_category(), "Cannot watch the port's input");
  }
  owned_.Reset(WakeOf(fd));
}

}  // namespace os
