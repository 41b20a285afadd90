#pragma once

// SIGTERM, SIGINT and SIGHUP end the program through its normal close path. They are blocked
// and read from a signalfd, so they are seen by the event loop, and a long write or the pause
// can watch the same descriptor to stop early.

#include "serial/Descriptor.h"

namespace shell {

class StopSignals {
 public:
  // Must run before any thread is started (Qt starts some), so that every thread inherits the
  // blocked mask. Also ignores signals whose default action would end an unattended feed.
  StopSignals();
  StopSignals(const StopSignals&) = delete;
  StopSignals& operator=(const StopSignals&) = delete;

  // Readable while a stop signal is pending.
  int Fd() const { return fd_.Get(); }

  // Consumes one pending stop signal and returns its number, or 0 if none was pending.
  int Take();

 private:
  serial::Descriptor fd_;
};

}  // namespace shell
