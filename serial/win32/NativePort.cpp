// The port on Windows: a COM port opened for this program alone (share mode 0: Windows itself
// keeps every other opener out, so there are no lock files), given its queue sizes, DCB,
// time-outs and event mask, written until every byte is taken and the driver's queue is empty.

#include "serial/NativePort.h"

#include <windows.h>

#include <algorithm>
#include <array>
#include <optional>
#include <utility>

#include "os/Error.h"
#include "os/Wait.h"
#include "os/win32/Text.h"
#include "serial/win32/Dcb.h"

namespace serial {

std::string LockDirectory;  // no lock files: share mode 0

namespace {

constexpr DWORD kQueueSize = 2048;  // input and output, as recommended to the driver
constexpr const char* kDevicePrefix = R"(\\.\)";

// The name CreateFileW opens: ports from COM10 on open only as \\.\COMn, so every name does.
std::wstring DevicePath(const std::string& device) {
  return os::Widen(device.starts_with(kDevicePrefix) ? device : kDevicePrefix + device);
}

// Sets DTR and RTS as the settings want them, unless the driver drives RTS itself. Returns false
// when the port has no modem lines: a virtual port, or a pseudo-terminal under Wine, refuses
// with ERROR_NOT_SUPPORTED, which is no failure.
bool SetModemLines(HANDLE port, const DCB& dcb) {
  if (!EscapeCommFunction(port, dcb.fDtrControl == DTR_CONTROL_ENABLE ? SETDTR : CLRDTR)) {
    return GetLastError() != ERROR_NOT_SUPPORTED;
  }
  if (dcb.fRtsControl != RTS_CONTROL_HANDSHAKE) {
    EscapeCommFunction(port, dcb.fRtsControl == RTS_CONTROL_ENABLE ? SETRTS : CLRRTS);
  }
  return true;
}

// What holds the line, where the driver tells.
std::string WhyHeld(const COMSTAT& status) {
  if (status.fCtsHold) {
    return "the device holds CTS low";
  }
  if (status.fXoffHold) {
    return "the device sent XOFF and no XON since";
  }
  if (status.fDsrHold) {
    return "the device holds DSR low";
  }
  return {};
}

class WindowsPort final : public NativePort {
 public:
  WindowsPort(os::OwnedWake port, os::OwnedWake written, os::WakeHandle cancel,
              const LineSettings& line)
      : port_(std::move(port)),
        written_(std::move(written)),
        cancel_(cancel),
        bytesPerSecond_(std::max(1U, BytesPerSecond(line))) {}

  ~WindowsPort() override {
    // A write cut short leaves bytes in the driver that nobody wants sent any more.
    if (unsent_) {
      PurgeComm(Port(), PURGE_TXABORT | PURGE_TXCLEAR);
    }
  }

  bool WriteDrained(std::span<const std::byte> bytes, WriteResult& result,
                    HeldLine& held) override {
    unsent_ = !WriteAll(bytes, result, held) || !Drain(result, held);
    return !unsent_;
  }

  void DiscardInput() override { PurgeComm(Port(), PURGE_RXCLEAR); }

 private:
  // The driver's queue, or nothing when it cannot tell.
  std::optional<COMSTAT> Status() {
    COMSTAT status{};
    DWORD errors = 0;
    if (!ClearCommError(Port(), &errors, &status)) {
      return std::nullopt;
    }
    return status;
  }

  // What holds the line now, where the driver tells.
  std::string WhyHeldNow() {
    const std::optional<COMSTAT> status = Status();
    return status ? WhyHeld(*status) : std::string();
  }

  // The port is opened for overlapped writes only so that a stop request can end one: the tick
  // still waits for each write to finish, as a synchronous write would. Adapters report 31, 22,
  // 5, 995 or 1617 when they are unplugged, Wine 21: any failed write on a port means it is lost.
  bool WriteAll(std::span<const std::byte> bytes, WriteResult& result, HeldLine& held) {
    std::size_t done = 0;
    while (done < bytes.size()) {
      // A queue's worth at a time: each write that finishes says how far the send got, where a
      // driver does not count a pending write in its queue (Wine on a pseudo-terminal).
      const auto chunk = static_cast<DWORD>(std::min<std::size_t>(bytes.size() - done, kQueueSize));
      OVERLAPPED overlapped{};
      overlapped.hEvent = os::NativeOf<HANDLE>(written_.Get());
      DWORD count = 0;
      if (!WriteFile(Port(), bytes.data() + done, chunk, nullptr, &overlapped) &&
          GetLastError() != ERROR_IO_PENDING) {
        result.error = static_cast<int>(GetLastError());
        result.gone = true;
        return false;
      }
      // Until the driver has taken the chunk. While it waits, what the driver still holds for
      // this write going down means bytes move.
      const std::array<os::WakeHandle, 2> handles{written_.Get(), cancel_};
      std::optional<DWORD> left;  // what the driver held of it when last seen, if it said
      for (;;) {
        const auto ready = os::WaitForAny(handles, os::Clock::now() + LookAgain);
        if (ready == 1U) {
          CancelIoEx(Port(), &overlapped);
          GetOverlappedResult(Port(), &overlapped, &count, TRUE);
          result.written += count;
          result.cancelled = true;
          return false;
        }
        if (ready == 0U) {
          break;
        }
        // A driver that counts the pending write in its queue shows it go down; one that shows
        // nothing (Wine on a pseudo-terminal) tells nothing about it.
        const std::optional<COMSTAT> status = Status();
        if (status && status->cbOutQue > 0 && status->cbOutQue <= chunk) {
          if (left && status->cbOutQue < *left) {
            held.Moved(result.written + (chunk - status->cbOutQue));
          }
          left = status->cbOutQue;
        }
        held.Check([&] { return status ? WhyHeld(*status) : std::string(); });
      }
      const bool ok = GetOverlappedResult(Port(), &overlapped, &count, TRUE) != 0;
      done += count;
      result.written += count;
      if (!ok || count == 0) {
        result.error = ok ? ERROR_WRITE_FAULT : static_cast<int>(GetLastError());
        result.gone = true;
        return false;
      }
      held.Moved(result.written);
    }
    return true;
  }

  // Until the driver's queue is on the wire. FlushFileBuffers would wait the same way, but no
  // stop request can end it, and a device that holds the line may never let it return.
  bool Drain(WriteResult& result, HeldLine& held) {
    const auto queued = [this]() -> std::optional<unsigned> {
      const std::optional<COMSTAT> status = Status();
      return status ? std::optional(static_cast<unsigned>(status->cbOutQue)) : std::nullopt;
    };
    switch (WaitForDrain(queued, bytesPerSecond_, result.written, cancel_, held,
                         [this] { return WhyHeldNow(); })) {
      case Drained::Empty:
        return true;
      case Drained::Cancelled:
        result.cancelled = true;
        return false;
      case Drained::Untold:
        break;
    }
    // A port that cannot tell its queue any more has gone.
    result.error = static_cast<int>(GetLastError());
    result.gone = true;
    return false;
  }

  HANDLE Port() const { return os::NativeOf<HANDLE>(port_.Get()); }

  os::OwnedWake port_;
  os::OwnedWake written_;  // signalled when a write finishes
  os::WakeHandle cancel_;
  unsigned bytesPerSecond_;
  bool unsent_ = false;
};

}  // namespace

OpenedPort OpenNativePort(const PortOptions& options, os::WakeHandle cancel) {
  HANDLE port = CreateFileW(DevicePath(options.device).c_str(), GENERIC_READ | GENERIC_WRITE, 0,
                            nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
  if (port == INVALID_HANDLE_VALUE) {
    const auto error = static_cast<int>(GetLastError());
    switch (error) {
      case ERROR_FILE_NOT_FOUND:
      case ERROR_PATH_NOT_FOUND:
        return OpenedPort::Refused(PortProblem::Absent, os::Outcome::SystemFailed(error));
      case ERROR_ACCESS_DENIED:
        // Share mode 0: another program holding the port is refused as access denied.
        return OpenedPort::Refused(
            PortProblem::Busy,
            os::Outcome::Failed("in use by another program (" + os::ErrorText(error) + ")", error));
      default:
        return OpenedPort::Refused(PortProblem::Other, os::Outcome::SystemFailed(error));
    }
  }
  os::OwnedWake ownedPort(os::WakeOf(port));
  // A name that is not a serial port answers no serial request; nor, under Wine, does a port
  // whose device has gone, though it still opens.
  DCB current{};
  current.DCBlength = sizeof current;
  if (!GetCommState(port, &current)) {
    const auto error = static_cast<int>(GetLastError());
    return OpenedPort::Refused(
        PortProblem::NotSerial,
        os::Outcome::Failed("not a serial port (" + os::ErrorText(error) + ")", error));
  }
  os::OwnedWake written(os::WakeOf(CreateEventW(nullptr, TRUE, FALSE, nullptr)));
  if (!written) {
    return OpenedPort::Refused(PortProblem::Other,
                               os::Outcome::SystemFailed(static_cast<int>(GetLastError())));
  }

  SetupComm(port, kQueueSize, kQueueSize);
  DCB wanted = ToDcb(options.line);
  Mismatch mismatch;
  if (!SetCommState(port, &wanted)) {
    mismatch.Item("cannot apply its settings: " + os::ErrorText(static_cast<int>(GetLastError())));
  }
  COMMTIMEOUTS timeouts = ToCommTimeouts(options.timeouts);
  SetCommTimeouts(port, &timeouts);
  SetCommMask(port, 0);
  const bool modemLines = SetModemLines(port, wanted);

  DCB actual{};
  actual.DCBlength = sizeof actual;
  if (!GetCommState(port, &actual)) {
    mismatch.Item("cannot read its settings back: " +
                  os::ErrorText(static_cast<int>(GetLastError())));
  } else {
    DescribeMismatch(wanted, actual, modemLines, mismatch);
  }
  return {.port = std::make_unique<WindowsPort>(std::move(ownedPort), std::move(written), cancel,
                                                options.line),
          .failure = {},
          .mismatch = mismatch.Text(),
          .problem = PortProblem::None};
}

std::string DefaultPort() {
  return "COM1";
}

std::optional<std::string> PortDevice(const std::string& value) {
  const bool prefixed = value.starts_with(kDevicePrefix);
  const std::string name = prefixed ? value.substr(4) : value;
  if (const auto number = ComNumber(name); number && *number <= 256) {
    return "COM" + std::to_string(*number);
  }
  // Another device only by its \\.\ name, such as com0com's \\.\CNCA0.
  if (prefixed && !name.empty() && name.find_first_of(R"(\/)") == std::string::npos) {
    return value;
  }
  return std::nullopt;
}

const char* PortDeviceAccepts() {
  return R"(COMn (n from 1 to 256), or a device such as \\.\CNCA0)";
}

}  // namespace serial
