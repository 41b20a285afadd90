#pragma once

// An open serial port: every byte of a send out and drained, with the gaps a slow device needs.
// What opens it, keeps it and closes it is serial/SerialLink.h.

#include <cstddef>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "os/Wait.h"
#include "serial/HeldLine.h"
#include "serial/LineSettings.h"

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

// Why a port could not be had, so the user can be told what to do about it.
enum class PortProblem {
  None,
  Absent,     // no such device
  Busy,       // another program holds it
  Denied,     // this user may not use it
  NotSerial,  // the name is something else
  Other,
};

// A serial port this computer has, found without opening it: its name as --port takes it, and
// what the system says is behind it ("/dev/ttyUSB0", "USB Serial Port (COM3)"), or "".
struct ListedPort {
  std::string name;
  std::string detail;
};

// The serial ports this computer has, in the order a user would look for them. Never opens a
// port: opening one raises DTR and RTS, and many devices reset or print when that happens.
std::vector<ListedPort> ListPorts();

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
};

struct WriteResult {
  std::size_t written = 0;  // bytes handed to the device
  int error = 0;            // the system's number for the failure that ended the write, 0 if none
  bool gone = false;        // that failure means the device itself went away (unplugged, hung up)
  bool cancelled = false;   // stopped because the cancel handle became ready
};

class NativePort;

// An open, configured serial device, held exclusively until it is destroyed.
class Port {
 public:
  // `tell` is where a held line is said, as it happens.
  Port(std::string device, std::unique_ptr<NativePort> native, os::WakeHandle cancel,
       const PortOptions& options, HeldLine::Tell tell = nullptr);
  Port(const Port&) = delete;
  Port& operator=(const Port&) = delete;
  ~Port();

  const std::string& Device() const { return device_; }

  // Writes all of `bytes` and waits until the device has sent them, as a synchronous write
  // does: partial writes and interrupted calls are continued until every byte is out. With
  // pacing, each gap starts once the byte before it has left the port. Returns early with the
  // bytes written so far when the device fails (e.g. EIO after a hang-up) or the cancel handle
  // given at open becomes ready. `what` names the bytes (a check file) when the line is held.
  WriteResult Write(std::span<const std::byte> bytes, const std::string& what = "the send");

  // Whether the last write was held at some point, and what was said of it.
  const HeldLine& Held() const { return held_; }

 private:
  // Waits out a gap; false when cancelled.
  bool Gap(std::chrono::milliseconds length);

  std::string device_;
  std::unique_ptr<NativePort> native_;
  os::WakeHandle cancel_;
  Pacing pacing_;
  bool discardInput_;
  HeldLine held_;
};

}  // namespace serial
