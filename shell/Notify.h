#pragma once

// Tells a service manager how the program is: systemd's notify protocol, on Linux. READY=1 once
// the port is open (or known to be away) and the beat has begun; STATUS= after each tick and when
// the line is held or the port lost; WATCHDOG=1 at every tick and from every wait, so that a
// program that hangs is restarted and one that waits (through a long pause, a held line) is not.
// Without NOTIFY_SOCKET in the environment (no service of Type=notify), and on Windows, it says
// nothing and costs nothing. shell/posix/Notify.cpp, shell/win32/Notify.cpp.

#include <chrono>
#include <optional>
#include <string>

#include "os/Wait.h"

namespace shell {

class ServiceNotify {
 public:
  // Reads NOTIFY_SOCKET, WATCHDOG_USEC and WATCHDOG_PID from the environment.
  ServiceNotify();
  ServiceNotify(const ServiceNotify&) = delete;
  ServiceNotify& operator=(const ServiceNotify&) = delete;
  ~ServiceNotify();

  void Ready();
  void Status(const std::string& text);
  void Alive();

  // How often the service manager wants to hear WATCHDOG=1, or nothing when it does not watch.
  std::optional<std::chrono::microseconds> Watchdog() const { return watchdog_; }

 private:
  void Send(const std::string& message);

  os::OwnedWake socket_;
  std::string address_;
  std::optional<std::chrono::microseconds> watchdog_;
};

}  // namespace shell
