#include "serial/Port.h"

#include <algorithm>
#include <utility>

#include "serial/NativePort.h"

namespace serial {

Port::Port(std::string device, std::unique_ptr<NativePort> native, os::WakeHandle cancel,
           const PortOptions& options, HeldLine::Tell tell)
    : device_(std::move(device)),
      native_(std::move(native)),
      cancel_(cancel),
      pacing_(options.pacing),
      bytesPerSecond_(std::max(1U, BytesPerSecond(options.line))),
      // Unless it is captured, what the device sends piles up unread; with XON/XOFF a full input
      // queue could keep its XON from being seen, and output would stay held for ever.
      discardInput_(options.line.xonXoffOutput && !options.heard),
      held_(
          device_, HeldAfter(options.heldAfter, native_->Step(), bytesPerSecond_),
          options.line.ctsRtsFlow, options.line.xonXoffOutput,
          tell ? std::move(tell) : [](const std::string&, bool) {}) {}

Port::~Port() = default;

bool Port::Gap(std::chrono::milliseconds length) {
  return !os::WaitForAny(std::span(&cancel_, 1), os::Clock::now() + length).has_value();
}

WriteResult Port::Write(std::span<const std::byte> bytes, const std::string& what) {
  if (discardInput_) {
    native_->DiscardInput();
  }
  held_.Begin(what, bytes.size());
  WriteResult result;
  if (!pacing_.Any()) {
    Send(bytes, result);
  } else {
    // A byte at a time with a gap after each, or a line at a time with a gap after each line
    // feed; every gap counted from when the piece before it has left the port.
    std::size_t start = 0;
    while (start < bytes.size()) {
      std::size_t end = start + 1;
      if (pacing_.afterByte.count() == 0) {
        while (end < bytes.size() && bytes[end - 1] != std::byte{'\n'}) {
          ++end;
        }
      }
      held_.Resume();  // a gap of our own is no held line
      if (!Send(bytes.subspan(start, end - start), result)) {
        break;
      }
      std::chrono::milliseconds gap = pacing_.afterByte;
      if (bytes[end - 1] == std::byte{'\n'}) {
        gap += pacing_.afterLineFeed;
      }
      start = end;
      // After the last byte too: the next send may follow at once (a tick that fell due while
      // this one ran), and the device needs its gap all the same.
      if (gap.count() > 0 && !Gap(gap)) {
        result.cancelled = true;
        break;
      }
    }
  }
  if (result.cancelled || result.Failed()) {
    native_->DiscardOutput();
  }
  return result;
}

bool Port::ReadInput(ReadResult& result) {
  return native_->ReadInput(result);
}

bool Port::Send(std::span<const std::byte> piece, WriteResult& result) {
  return native_->WriteAll(piece, result, held_) && Drain(result);
}

bool Port::Drain(WriteResult& result) {
  LineStatus last;
  const auto look = [this, &last] { return last = native_->Status(); };
  switch (
      WaitForQueue(look, os::WakeHandle(), bytesPerSecond_, cancel_, held_, native_->Listening())) {
    case Drained::Cancelled:
      result.cancelled = true;
      return false;
    case Drained::Failed:
      // A port that cannot tell its queue any more has gone.
      result.error = last.error;
      result.reason = last.reason;
      result.gone = true;
      return false;
    case Drained::Empty:
    case Drained::Untold:
      break;
  }
  // What the device itself holds past the driver's queue (a UART's FIFO, a USB adapter's own
  // buffer, which a device holding CTS low may never let go): waited for in steps, each of which
  // a stop can end, as the system's own wait for it cannot be ended by one.
  for (;;) {
    switch (native_->DrainDevice(LookAgain, result)) {
      case DeviceDrain::Done:
        result.left = os::Clock::now();
        held_.Moved();  // the last bytes left: a held line moves again
        return true;
      case DeviceDrain::Failed:
        return false;
      case DeviceDrain::NotYet:
        break;
    }
    if (os::IsReady(cancel_)) {
      result.cancelled = true;
      return false;
    }
    held_.Check(look);
  }
}

}  // namespace serial
