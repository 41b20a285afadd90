#pragma once

// The serial port: opened once, held exclusively, written to, closed.
//
//   OpenPort(options)  lock, open, configure; PortHandle is the port, or null when it could not
//                      be had (absent, in use by another program, not a terminal)
//   PortHandle->Write  every byte out and drained, or the reason it stopped
//   WriteFailed(error) a write failed: with reconnect, a device that went away is let go...
//   ReopenPort()       ...and opened again, with all its settings, once it is back
//   ClosePort()        drop exclusivity, close, release the locks; PortHandle null again
//
// Without reconnect the port is opened once and never again, whatever happens to it.

#include <cstddef>
#include <memory>
#include <span>
#include <string>

#include "serial/LineSettings.h"
#include "serial/Wait.h"

namespace serial {

// The device COM1 stands for: /dev/ttyS0 on Linux, COM1 on Windows.
std::string DefaultPort();

// The device a --port value names, as the program names it in its messages, or "" when the value
// names none. On Linux "COMn" (any case) is /dev/ttyS<n-1> and an absolute path is itself; on
// Windows "COMn" (n from 1 to 256, any case) and "\\.\COMn" are COMn, and another "\\.\NAME" is
// itself.
std::string PortDevice(const std::string& value);

// What --port accepts, for the message about a value it does not.
const char* PortDeviceAccepts();

// What the program wants of its port. The defaults are the program's fixed port.
struct PortOptions {
  std::string device = DefaultPort();
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
  bool cancelled = false;   // stopped because the cancel handle became ready
};

class NativePort;

// An open, configured serial device, held exclusively until it is destroyed.
class Port {
 public:
  Port(std::string device, std::unique_ptr<NativePort> native, WakeHandle cancel,
       const PortOptions& options);
  Port(const Port&) = delete;
  Port& operator=(const Port&) = delete;
  ~Port();

  const std::string& Device() const { return device_; }

  // Writes all of `bytes` and waits until the device has sent them, as a synchronous write
  // does: partial writes and interrupted calls are continued until every byte is out. With
  // pacing, each gap starts once the byte before it has left the port. Returns early with the
  // bytes written so far when the device fails (e.g. EIO after a hang-up) or the cancel handle
  // given at open becomes ready.
  WriteResult Write(std::span<const std::byte> bytes);

 private:
  // Waits out a gap; false when cancelled.
  bool Gap(std::chrono::milliseconds length);

  std::string device_;
  std::unique_ptr<NativePort> native_;
  WakeHandle cancel_;
  Pacing pacing_;
  bool discardInput_;
};

// The open port, or null: not yet opened, the open failed, or (with reconnect) the device is away.
extern std::unique_ptr<Port> PortHandle;

// Opens and configures the port into PortHandle (which must be null): raw, with the options'
// line settings (by default 9600 baud, 8 data bits, no parity, one stop bit, no flow control, DTR
// and RTS off), exclusively held. `cancel` (or none) is watched during writes so a stop request
// ends a long write promptly. The options are kept for ReopenPort.
// Returns "" when all went well, otherwise one line for the user: why there is no port, or which
// settings the device did not take (the port is then still used).
std::string OpenPort(const PortOptions& options, WakeHandle cancel = WakeHandle());
inline std::string OpenPort(const std::string& device, WakeHandle cancel = WakeHandle()) {
  return OpenPort(PortOptions{.device = device}, cancel);
}

// Whether a failed write's error means the device itself went away: on Linux EIO, ENXIO or
// ENODEV (unplugged, hung up); on Windows any failure of a write on a port.
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
