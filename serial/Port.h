#pragma once

// The serial port: opened once, held exclusively, written to, closed.
//
//   OpenPort(device)   lock, open, configure; PortHandle is the port, or null when it could not
//                      be had (absent, in use by another program, not a terminal)
//   PortHandle->Write  every byte out and drained, or the reason it stopped
//   ClosePort()        drop exclusivity, close, remove the lock file; PortHandle null again

#include <cstddef>
#include <memory>
#include <span>
#include <string>

#include "serial/Descriptor.h"
#include "serial/LockFile.h"

namespace serial {

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
  // does: partial writes and interrupted calls are continued until every byte is out. Returns
  // early with the bytes written so far when the device fails (e.g. EIO after a hang-up) or the
  // cancel descriptor given at open becomes readable.
  WriteResult Write(std::span<const std::byte> bytes);

 private:
  friend std::string OpenPort(const std::string& device, int cancelFd);
  Port(std::string device, Descriptor fd, LockFile lock, int cancelFd);

  // Waits until the device can take more bytes. False when cancelled.
  bool WaitWritable();
  // Waits until the driver's queue is on the wire. Returns an errno value, or -1 when cancelled.
  int Drain();
  bool Cancelled(int timeoutMs);

  std::string device_;
  Descriptor fd_;
  LockFile lock_;
  int cancelFd_;
  bool unsent_ = false;  // a write was cut short: what the driver still holds is not wanted
};

// The open port, or null: not yet opened, or the open failed. Opened once, never reopened.
extern std::unique_ptr<Port> PortHandle;

// Where lock files are kept. Tests point it at a directory of their own.
extern std::string LockDirectory;

// Opens and configures `device` into PortHandle (which must be null): 9600 baud, 8 data bits,
// no parity, one stop bit, raw, no flow control, DTR and RTS off, exclusively held. `cancelFd`
// (or -1) is watched during writes so a stop request ends a long write promptly.
// Returns "" when all went well, otherwise one line for the user: why there is no port, or which
// settings the device did not take (the port is then still used).
std::string OpenPort(const std::string& device, int cancelFd = -1);

// Closes the port if one is open; PortHandle becomes null. Closing twice closes once.
void ClosePort();

}  // namespace serial
