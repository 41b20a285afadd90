#pragma once

// The serial port: opened once, held exclusively, written to, closed.
//
//   OpenPort(options)  lock, open, configure; PortHandle is the port, or null when it could not
//                      be had (absent, in use by another program, not a terminal)
//   PortHandle->Write  every byte out and drained, or the reason it stopped
//   WriteFailed(error) a write failed: with reconnect, a device that went away is let go...
//   ReopenPort()       ...and opened again, with all its settings, once it is back
//   ClosePort()        drop exclusivity, close, remove the lock file; PortHandle null again
//
// Without reconnect the port is opened once and never again, whatever happens to it.

#include <cstddef>
#include <memory>
#include <span>
#include <string>

#include "serial/Descriptor.h"
#include "serial/LineSettings.h"
#include "serial/LockFile.h"

namespace serial {

// What the program wants of its port. The defaults are the program's fixed port.
struct PortOptions {
  std::string device = "/dev/ttyS0";  // COM1
  LineSettings line = PortSettings;
  Timeouts timeouts = PortTimeouts;
  Pacing pacing{};
  // Absent or busy at start, or gone in a write (unplugged): let it go and open it again at the
  // next tick that sends once it is back.
  bool reconnect = false;
};

struct WriteResult {
  std::size_t written = 0;  // bytes handed to the device
  int error = 0;            // errno of the failure that ended the write, 0 if none
  bool cancelled = false;   // stopped because the cancel descriptor became readable
};

// An open, configured serial device, held exclusively until it is destroyed.
class Port {
 public:
  Port(const Port&) = delete;
  Port& operator=(const Port&) = delete;
  ~Port();

  const std::string& Device() const { return device_; }

  // Writes all of `bytes` and waits until the device has sent them, as a synchronous write
  // does: partial writes and interrupted calls are continued until every byte is out. With
  // pacing, each gap starts once the byte before it has left the port. Returns early with the
  // bytes written so far when the device fails (e.g. EIO after a hang-up) or the cancel
  // descriptor given at open becomes readable.
  WriteResult Write(std::span<const std::byte> bytes);

 private:
  friend std::string Open(const PortOptions& options, int cancelFd, std::string& mismatch);
  Port(std::string device, Descriptor fd, LockFile lock, int cancelFd, const PortOptions& options);

  // Writes all of `bytes` and drains, adding to `result`. False when it stopped short.
  bool WriteDrained(std::span<const std::byte> bytes, WriteResult& result);
  // Waits until the device can take more bytes. False when cancelled.
  bool WaitWritable();
  // Waits until the driver's queue is on the wire. Returns an errno value, or -1 when cancelled.
  int Drain();
  bool Cancelled(int timeoutMs);

  std::string device_;
  Descriptor fd_;
  LockFile lock_;
  int cancelFd_;
  unsigned bytesPerSecond_;
  Pacing pacing_;
  bool discardInput_;
  bool unsent_ = false;  // a write was cut short: what the driver still holds is not wanted
};

// The open port, or null: not yet opened, the open failed, or (with reconnect) the device is away.
extern std::unique_ptr<Port> PortHandle;

// Where lock files are kept. Tests point it at a directory of their own.
extern std::string LockDirectory;

// Opens and configures the port into PortHandle (which must be null): raw, with the options'
// line settings (by default 9600 baud, 8 data bits, no parity, one stop bit, no flow control, DTR
// and RTS off), exclusively held. `cancelFd` (or -1) is watched during writes so a stop request
// ends a long write promptly. The options are kept for ReopenPort.
// Returns "" when all went well, otherwise one line for the user: why there is no port, or which
// settings the device did not take (the port is then still used).
std::string OpenPort(const PortOptions& options, int cancelFd = -1);
inline std::string OpenPort(const std::string& device, int cancelFd = -1) {
  return OpenPort(PortOptions{.device = device}, cancelFd);
}

// Whether a write's errno means the device itself went away (unplugged, hung up).
bool DeviceGone(int error);

// What became of the port after a write failed with `error`.
struct WriteFailure {
  bool lost = false;  // reconnect: the port was closed and is reopened when it is back
  std::string text;   // lost: the whole message; otherwise what to add to it, maybe ""
};
WriteFailure WriteFailed(int error);

// With reconnect, when the port is away: tries once to open it again, quietly (right after a
// replug udev may still be setting its permissions, or a modem manager probing it). Returns
// "Port "..." is back" when it opened, otherwise "". Without reconnect it does nothing.
std::string ReopenPort();

// Closes the port if one is open; PortHandle becomes null. Closing twice closes once.
void ClosePort();

}  // namespace serial
