#include "serial/Port.h"

#include <utility>

#include "serial/NativePort.h"

namespace serial {

Port::Port(std::string device, std::unique_ptr<NativePort> native, os::WakeHandle cancel,
           const PortOptions& options, HeldLine::Tell tell)
    : device_(std::move(device)),
      native_(std::move(native)),
      cancel_(cancel),
      pacing_(options.pacing),
      // We read nothing, so what the device sends piles up unread; with XON/XOFF a full input
      // queue could keep its XON from being seen, and output would stay held for ever.
      discardInput_(options.line.xonXoffOutput),
      held_(
          device_, options.heldAfter, options.line.ctsRtsFlow || options.line.xonXoffOutput,
          tell ? std::move(tell) : [](const std::string&) {}) {}

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
    native_->WriteDrained(bytes, result, held_);
    return result;
  }
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
    if (!native_->WriteDrained(bytes.subspan(start, end - start), result, held_)) {
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
  return result;
}

}  // namespace serial
