#include "serial/Port.h"

#include <utility>

#include "serial/NativePort.h"
#include "serial/SystemError.h"

namespace serial {

std::unique_ptr<Port> PortHandle;

namespace {

// What the last OpenPort was asked for, kept for reopening.
PortOptions Wanted;
WakeHandle WantedCancel;
// With reconnect: there is no port now, and the next tick that sends tries to open it again.
bool Away = false;
// Whether a port was ever opened, so its return reads "is back", not "is open".
bool EverOpened = false;
// Without reconnect, a port that went away says once what --reconnect would do.
bool HintGiven = false;

// Opens the port into PortHandle. Returns why it could not, or "" and in `mismatch` which
// settings did not take.
std::string Open(const PortOptions& options, WakeHandle cancel, std::string& mismatch) {
  OpenedPort opened = OpenNativePort(options, cancel);
  if (!opened.port) {
    return "Cannot open port " + Quoted(options.device) + ": " + opened.failure;
  }
  mismatch = std::move(opened.mismatch);
  PortHandle = std::make_unique<Port>(options.device, std::move(opened.port), cancel, options);
  EverOpened = true;
  return {};
}

}  // namespace

Port::Port(std::string device, std::unique_ptr<NativePort> native, WakeHandle cancel,
           const PortOptions& options)
    : device_(std::move(device)),
      native_(std::move(native)),
      cancel_(cancel),
      pacing_(options.pacing),
      // We read nothing, so what the device sends piles up unread; with XON/XOFF a full input
      // queue could keep its XON from being seen, and output would stay held for ever.
      discardInput_(options.line.xonXoffOutput) {}

Port::~Port() = default;

bool Port::Gap(std::chrono::milliseconds length) {
  return !WaitForAny(std::span(&cancel_, 1), Clock::now() + length).has_value();
}

WriteResult Port::Write(std::span<const std::byte> bytes) {
  if (discardInput_) {
    native_->DiscardInput();
  }
  WriteResult result;
  if (!pacing_.Any()) {
    native_->WriteDrained(bytes, result);
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
    if (!native_->WriteDrained(bytes.subspan(start, end - start), result)) {
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

std::string OpenPort(const PortOptions& options, WakeHandle cancel) {
  Wanted = options;
  WantedCancel = cancel;
  Away = false;
  EverOpened = false;
  HintGiven = false;
  std::string mismatch;
  std::string message = Open(options, cancel, mismatch);
  if (!PortHandle && options.reconnect) {
    Away = true;
    message += "; trying again at each tick";
  }
  if (!mismatch.empty()) {
    message = "Port " + Quoted(options.device) + " did not take every setting: " + mismatch;
  }
  return message;
}

WriteFailure WriteFailed(int error) {
  if (!DeviceGone(error) || !PortHandle) {
    return {};
  }
  const std::string device = PortHandle->Device();
  if (Wanted.reconnect) {
    // Let go of it at once, every lock with it, so nothing (the replugged device under a new
    // name, another program) is kept from it while it is away.
    ClosePort();
    Away = true;
    return {.lost = true,
            .text = "Port " + Quoted(device) + " lost: " + ErrorText(error) +
                    "; reopening when it comes back"};
  }
  if (HintGiven) {
    return {};
  }
  HintGiven = true;
  return {.lost = false,
          .text = "; the device went away: --reconnect would reopen it when it comes back"};
}

std::string ReopenPort() {
  if (!Away || PortHandle) {
    return {};
  }
  const bool before = EverOpened;
  std::string mismatch;
  Open(Wanted, WantedCancel, mismatch);
  if (!PortHandle) {
    return {};  // not back yet: absent, busy, or still being set up
  }
  Away = false;
  std::string back = "Port " + Quoted(Wanted.device) + (before ? " is back" : " is open");
  if (!mismatch.empty()) {
    back += ", but did not take every setting: " + mismatch;
  }
  return back;
}

void ClosePort() {
  PortHandle.reset();
}

}  // namespace serial
