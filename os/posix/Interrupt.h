#pragma once

// Ends a blocking system call of this thread that no handle can end: tcdrain(), which waits for a
// serial device's own buffer, and a close() that waits for a serial driver to send what it holds.
// While an Interrupter is armed, a signal of its own is sent to this thread alone, first after
// `every` and then every `every` again, and its handler does nothing: the call returns with
// EINTR (a close() returns, done), and the caller looks at its stop handle and calls again. The
// signal is none of the stop signals, which stay blocked and are read from their signalfd.

#include <chrono>
#include <ctime>

namespace os {

class Interrupter {
 public:
  explicit Interrupter(std::chrono::nanoseconds every);
  Interrupter(const Interrupter&) = delete;
  Interrupter& operator=(const Interrupter&) = delete;
  ~Interrupter();

  // False when the system gave no timer: the call then blocks as long as it does.
  bool Armed() const { return armed_; }

 private:
  timer_t timer_{};
  bool armed_ = false;
};

}  // namespace os
