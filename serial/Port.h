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
#include "serial/PortOptions.h"

namespace serial {

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
  // given at open becomes ready; what the driver still holds of it is then thrown away. `what`
  // names the bytes (a check file) when the line is held.
  WriteResult Write(std::span<const std::byte> bytes, const std::string& what = "the send");

  // Whether the last write was held at some point, and what was said of it.
  const HeldLine& Held() const { return held_; }

  // Reads what the device sent since the last look, without waiting, for the options' `heard`.
  // False when the port went away meanwhile, why in `result`.
  bool ReadInput(ReadResult& result);

 private:
  // Hands `piece` to the driver and waits until it is on the wire; false when it stopped early.
  bool Send(std::span<const std::byte> piece, WriteResult& result);
  // Waits until the driver's queue, and then the device's own buffer, are on the wire.
  bool Drain(WriteResult& result);
  // Waits out a gap; false when cancelled.
  bool Gap(std::chrono::milliseconds length);

  std::string device_;
  std::unique_ptr<NativePort> native_;
  os::WakeHandle cancel_;
  Pacing pacing_;
  unsigned bytesPerSecond_;
  bool discardInput_;
  HeldLine held_;
};

}  // namespace serial
