#pragma once

// Input from the port, announced on one handle that stays the same while ports come and go (a
// replug, a reconnect): the program's waits, and the window's event loop, watch this one. On
// Linux it is an epoll set that an open port's descriptor joins (os/posix/Input.h); on Windows an
// event that the port's overlapped reads set when they finish. A port that has nothing more to
// announce (closed, gone) leaves it, so it is never ready for nothing.

#include "os/Wait.h"

namespace os {

class InputWake {
 public:
  // Throws std::system_error when the system has none to give.
  InputWake();
  WakeHandle Handle() const { return owned_.Get(); }

 private:
  OwnedWake owned_;
};

}  // namespace os
