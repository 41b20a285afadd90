#pragma once

// Stop requests end the program through its normal close path, so the port is always closed and
// its locks released. On Linux they are SIGTERM, SIGINT and SIGHUP, blocked and read from a
// signalfd (shell/posix/StopSignals.cpp); on Windows, Ctrl+C, Ctrl+Break, closing the console,
// logoff and shutdown (shell/win32/StopSignals.cpp). Either way the event loop, a long write and
// the pause all watch the same handle and stop at once.

#include "os/Wait.h"

namespace shell {

class StopSignals {
 public:
  // Must run before any thread is started (Qt starts some), so that every thread inherits the
  // blocked mask. Also ignores signals whose default action would end an unattended feed.
  StopSignals();
  StopSignals(const StopSignals&) = delete;
  StopSignals& operator=(const StopSignals&) = delete;
  ~StopSignals();

  // Ready while a stop request is pending.
  os::WakeHandle Wake() const { return wake_.Get(); }

  // Consumes a pending stop request; true when there was one.
  bool Take();

  // The program asks itself to stop (its run is over), as a user would: the same way out.
  void Request();

 private:
  os::OwnedWake wake_;
};

}  // namespace shell
