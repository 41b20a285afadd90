#pragma once

// What the program wants of its port, why it could not have it, and what became of a write.

#include <chrono>
#include <cstddef>
#include <functional>
#include <span>
#include <string>
#include <vector>

#include "serial/LineSettings.h"
#include "serial/PortName.h"

namespace serial {

// Why a port could not be had, so the user can be told what to do about it.
enum class PortProblem {
  None,
  Absent,     // no such device
  Busy,       // another program holds it
  Denied,     // this user may not use it
  NotSerial,  // the name is something else
  Network,    // a port on the network that cannot be reached
  Other,
};

// What the program wants of its port. The defaults are the program's fixed port.
struct PortOptions {
  std::string device = DefaultPort();
  LineSettings line = PortSettings;
  Timeouts timeouts = PortTimeouts;
  Pacing pacing{};
  // Absent or busy at start, or gone in a write (unplugged): let it go and open it again at the
  // next tick that sends once it is back.
  bool reconnect = false;
  // A send in which nothing moves for this long is said to be held (see serial/HeldLine.h).
  std::chrono::milliseconds heldAfter{2000};
  // Where what the device sends goes, as it comes (--capture): a port read while it waits, between
  // ticks and during sends alike. None: a port of this computer reads nothing.
  std::function<void(std::span<const std::byte> bytes)> heard{};
};

struct WriteResult {
  std::size_t written = 0;  // bytes handed to the device
  int error = 0;            // the system's number for the failure that ended the write, 0 if none
  std::string reason;       // that failure in words where no number says it, or ""
  bool gone = false;        // that failure means the device itself went away (unplugged, hung up)
  bool cancelled = false;   // stopped because the cancel handle became ready
  // When the last byte that went left the port (its drain ended), on the steady clock.
  std::chrono::steady_clock::time_point left{};

  bool Failed() const { return error != 0 || !reason.empty(); }
};

// What became of a look at what the device sent.
struct ReadResult {
  int error = 0;       // the system's number for the failure that ended the port, 0 if none
  std::string reason;  // that failure in words where no number says it, or ""
  bool gone = false;   // the port went away (a connection the server closed, a hang-up)
  std::vector<std::string>
      notices;  // what the port says once ("the server sent what is not telnet")
};

// Why a write or a read failed, in words: "the server closed the connection", or the system's.
std::string Reason(int error, const std::string& reason);

}  // namespace serial
