// systemd's notify protocol, as systemd documents it (sd_notify(3)): each message one datagram to
// the AF_UNIX socket NOTIFY_SOCKET names, '@' at its start meaning the abstract namespace. Written
// here rather than taken from libsystemd: a dozen lines, and the package needs no more than the C
// and C++ runtimes.

#include "shell/Notify.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

namespace shell {

ServiceNotify::ServiceNotify() {
  const char* address = std::getenv("NOTIFY_SOCKET");
  if (address == nullptr || (address[0] != '/' && address[0] != '@') ||
      std::strlen(address) >= sizeof(sockaddr_un::sun_path)) {
    return;
  }
  socket_.Reset(os::WakeOf(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0)));
  address_ = address;
  // The watchdog is this process's only when WATCHDOG_PID, if set, names it.
  const char* pid = std::getenv("WATCHDOG_PID");
  const char* usec = std::getenv("WATCHDOG_USEC");
  if (usec != nullptr && (pid == nullptr || std::atol(pid) == ::getpid())) {
    if (const long long every = std::atoll(usec); every > 0) {
      watchdog_ = std::chrono::microseconds(every);
    }
  }
}

ServiceNotify::~ServiceNotify() = default;

void ServiceNotify::Send(const std::string& message) {
  if (!socket_) {
    return;
  }
  sockaddr_un to{};
  to.sun_family = AF_UNIX;
  std::memcpy(to.sun_path, address_.data(), address_.size());
  if (to.sun_path[0] == '@') {
    to.sun_path[0] = '\0';
  }
  const auto length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + address_.size());
  // A manager that went away is no reason to stop feeding.
  [[maybe_unused]] const ssize_t sent =
      ::sendto(os::NativeOf<int>(socket_.Get()), message.data(), message.size(), MSG_NOSIGNAL,
               reinterpret_cast<const sockaddr*>(&to), length);
}

void ServiceNotify::Ready() {
  Send("READY=1");
}

void ServiceNotify::Status(const std::string& text) {
  Send("STATUS=" + text);
}

void ServiceNotify::Alive() {
  if (watchdog_) {
    Send("WATCHDOG=1");
  }
}

}  // namespace shell
