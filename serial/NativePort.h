#pragma once

// The platform's side of an open port: what serial/posix/NativePort.cpp (termios, lock files)
// and serial/win32/NativePort.cpp (the DCB) each provide. The rest of the port (pacing, the drain,
// a held line, when to reopen, what to tell the user) is the same on both, in Port.cpp,
// HeldLine.cpp and SerialLink.cpp; tests put a stand-in of their own behind this contract.

#include <chrono>
#include <cstddef>
#include <memory>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "os/Error.h"
#include "os/Wait.h"
#include "serial/HeldLine.h"
#include "serial/PortOptions.h"

namespace serial {

// What became of a wait for the device's own buffer.
enum class DeviceDrain { Done, NotYet, Failed };

// An open, configured device, held exclusively until it is destroyed.
class NativePort {
 public:
  virtual ~NativePort() = default;

  // Hands all of `bytes` to the driver, waiting for room as a synchronous write does, adding what
  // it wrote to `result`. Stops early, and returns false, when the device fails (its error, and
  // whether it means the device went away, in `result`) or the cancel handle given at open
  // becomes ready. Every wait tells `held` what moved, and when nothing did.
  virtual bool WriteAll(std::span<const std::byte> bytes, WriteResult& result, HeldLine& held) = 0;

  // What the driver still holds, and what may hold the line.
  virtual LineStatus Status() = 0;

  // Waits at most `atMost` for what the device itself holds beyond the driver's queue (a UART's
  // FIFO, a USB adapter's own buffer) to be on the wire. Failed: its error, and whether it means
  // the device went away, in `result`.
  virtual DeviceDrain DrainDevice(std::chrono::milliseconds atMost, WriteResult& result) = 0;

  // The most bytes the driver moves in one step (a USB packet, a write's chunk): the line is
  // held only when nothing moved for longer than two such steps take.
  virtual std::size_t Step() const = 0;

  // Throws away what a write cut short left in the driver: nobody wants it sent any more.
  virtual void DiscardOutput() = 0;

  // Drops what the device sent and nobody read.
  virtual void DiscardInput() = 0;

  // Reads what the device sent, without waiting, and gives it to the options' `heard`: for a port
  // that reads (one on the network, or with --capture), what it announced on the input handle
  // given at open. False when the port went away meanwhile, why in `result`.
  virtual bool ReadInput(ReadResult& result) = 0;

  // What a wait in a send also hears while it waits, so that a device that talks through a long
  // send loses nothing; null when the port reads nothing.
  virtual const Listen* Listening() const = 0;
};

struct OpenedPort {
  std::unique_ptr<NativePort> port;  // null when it could not be opened
  os::Outcome failure;               // why not, e.g. "No such file or directory"
  std::string mismatch;              // which settings it did not take, or ""
  PortProblem problem = PortProblem::None;
  std::string note;  // what --verbose says of the opening, or ""

  // A port that could not be had, for `problem`, and why.
  static OpenedPort Refused(PortProblem problem, os::Outcome failure) {
    return {.port = nullptr,
            .failure = std::move(failure),
            .mismatch = {},
            .problem = problem,
            .note = {}};
  }
};

// Where the system keeps the lock files that tell other programs a port is taken: /var/lock on
// Linux; Windows keeps a port to one opener itself and has none. Tests and the benchmark point it
// at a folder of their own.
extern std::string LockDirectory;

// Takes the device `options` name for this program alone, opens it and gives it the options'
// line. `cancel` ends a write under way when it becomes ready; what the device sends is announced
// on `input` (os/Input.h) when the port reads it.
OpenedPort OpenNativePort(const PortOptions& options, os::WakeHandle cancel, os::WakeHandle input);

// The port `options` name, on this computer (OpenNativePort) or on the network
// (serial/NetworkPort.h).
OpenedPort OpenPort(const PortOptions& options, os::WakeHandle cancel, os::WakeHandle input);

}  // namespace serial
