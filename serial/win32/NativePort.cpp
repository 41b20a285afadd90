// The port on Windows: a COM port opened for this program alone (share mode 0: Windows itself
// keeps every other opener out, so there are no lock files), given its queue sizes, DCB,
// time-outs and event mask, written until every byte is taken and the driver's queue is empty.

#include "serial/NativePort.h"

#include <windows.h>

#include <algorithm>
#include <array>
#include <functional>
#include <optional>
#include <utility>
#include <vector>

#include "os/Error.h"
#include "os/Wait.h"
#include "os/win32/Text.h"
#include "serial/win32/Dcb.h"

namespace serial {

std::string LockDirectory;  // no lock files: share mode 0

namespace {

constexpr DWORD kQueueSize = 2048;  // input and output, as recommended to the driver
constexpr DWORD kCaptureQueueSize = 65536;
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

// A write under way, with the OVERLAPPED record the driver works on: cancelled and waited for on
// every way out, a throw among them, so that the record never dies before the driver is done.
class PendingWrite {
 public:
  PendingWrite(HANDLE port, HANDLE finished) : port_(port) { overlapped_.hEvent = finished; }
  PendingWrite(const PendingWrite&) = delete;
  PendingWrite& operator=(const PendingWrite&) = delete;
  ~PendingWrite() {
    if (pending_) {
      Cancel();
    }
  }

  // Starts writing `size` bytes from `data`; false with GetLastError() when it could not start.
  bool Start(const std::byte* data, DWORD size) {
    if (!WriteFile(port_, data, size, nullptr, &overlapped_) &&
        GetLastError() != ERROR_IO_PENDING) {
      return false;
    }
    pending_ = true;
    return true;
  }

  // Waits until the driver has finished with it; the bytes it took in `count`.
  bool Finish(DWORD& count) {
    pending_ = false;
    return GetOverlappedResult(port_, &overlapped_, &count, TRUE) != 0;
  }

  // Ends it at once; returns the bytes it took before.
  DWORD Cancel() {
    CancelIoEx(port_, &overlapped_);
    DWORD count = 0;
    Finish(count);
    return count;
  }

 private:
  HANDLE port_;
  OVERLAPPED overlapped_{};
  bool pending_ = false;
};

class WindowsPort final : public NativePort {
 public:
  WindowsPort(os::OwnedWake port, os::OwnedWake written, os::WakeHandle cancel,
              const LineSettings& line, os::WakeHandle input,
              std::function<void(std::span<const std::byte>)> heard)
      : port_(std::move(port)),
        written_(std::move(written)),
        cancel_(cancel),
        bytesPerSecond_(std::max(1U, BytesPerSecond(line))),
        // At most about a second of the line's time a write, and never more than the driver's
        // queue: each write that finishes says how far the send got where the driver does not
        // count a write under way in its queue (Wine on a pseudo-terminal).
        chunk_(std::clamp<DWORD>(bytesPerSecond_, 1, kQueueSize)),
        input_(input),
        heard_(std::move(heard)),
        listen_{.ready = {.handle = input, .ready = os::Waited::For::Reading},
                .take = [this] { Hear(); }} {
    if (heard_) {
      waiting_.hEvent = os::NativeOf<HANDLE>(input_);
      reading_.hEvent = os::NativeOf<HANDLE>(read_.Handle());
      received_.resize(kQueueSize);
      Hear();  // the first read of a byte, under way from now on
    }
  }

  ~WindowsPort() override {
    if (firstPending_) {
      CancelIoEx(Port(), &waiting_);
      DWORD count = 0;
      GetOverlappedResult(Port(), &waiting_, &count, TRUE);
    }
    if (heard_) {
      ResetEvent(os::NativeOf<HANDLE>(input_));  // nothing more to announce
    }
  }

  // The port is opened for overlapped writes only so that a stop request can end one: the tick
  // still waits for each write to finish, as a synchronous write would. Adapters report 31, 22,
  // 5, 995 or 1617 when they are unplugged, Wine 21: any failed write on a port means it is lost.
  bool WriteAll(std::span<const std::byte> bytes, WriteResult& result, HeldLine& held) override {
    std::size_t done = 0;
    while (done < bytes.size()) {
      const auto chunk = static_cast<DWORD>(std::min<std::size_t>(bytes.size() - done, chunk_));
      PendingWrite write(Port(), os::NativeOf<HANDLE>(written_.Get()));
      if (!write.Start(bytes.data() + done, chunk)) {
        Lost(static_cast<int>(GetLastError()), result);
        return false;
      }
      held.Handed(result.written + chunk);
      // A driver that counts the write under way in its queue shows it go down; one that shows
      // nothing of it tells nothing, and none of it counts as sent until it is done.
      LineStatus last;
      const auto look = [this, chunk, &last] {
        last = Status();
        if (last.queued) {
          last.queued = *last.queued == 0 ? chunk : std::min<std::size_t>(*last.queued, chunk);
        }
        return last;
      };
      switch (WaitForQueue(look, written_.Get(), bytesPerSecond_, cancel_, held, Listening())) {
        case Drained::Cancelled:
          result.written += write.Cancel();
          result.cancelled = true;
          return false;
        case Drained::Failed:
          Lost(last.error, result);
          return false;
        case Drained::Empty:
        case Drained::Untold:
          break;
      }
      DWORD count = 0;
      const bool ok = write.Finish(count);
      done += count;
      result.written += count;
      if (!ok || count == 0) {
        Lost(ok ? ERROR_WRITE_FAULT : static_cast<int>(GetLastError()), result);
        return false;
      }
    }
    return true;
  }

  LineStatus Status() override {
    COMSTAT status{};
    DWORD errors = 0;
    if (!ClearCommError(Port(), &errors, &status)) {
      // A port that cannot tell its queue any more has gone.
      LineStatus gone;
      gone.error = static_cast<int>(GetLastError());
      return gone;
    }
    overrun_ = overrun_ || (errors & (CE_OVERRUN | CE_RXOVER)) != 0;
    LineStatus told;
    told.queued = status.cbOutQue;
    told.hold = HoldOf(status);
    return told;
  }

  // Windows counts in cbOutQue what the driver has not sent; FlushFileBuffers, which would wait
  // for the rest, cannot be ended by a stop request.
  DeviceDrain DrainDevice(std::chrono::milliseconds, WriteResult&) override {
    return DeviceDrain::Done;
  }

  std::size_t Step() const override { return chunk_; }

  void DiscardOutput() override { PurgeComm(Port(), PURGE_TXABORT | PURGE_TXCLEAR); }

  void DiscardInput() override { PurgeComm(Port(), PURGE_RXCLEAR); }

  bool ReadInput(ReadResult& result) override {
    if (!heard_) {
      return true;
    }
    Hear();
    Status();  // the driver's errors: an overrun among them
    if (std::exchange(overrun_, false)) {
      result.notices.push_back("the driver lost bytes the device sent (an overrun)");
    }
    if (readError_ != 0) {
      result.error = readError_;
      result.gone = true;
      return false;
    }
    return true;
  }

  const Listen* Listening() const override { return heard_ ? &listen_ : nullptr; }

 private:
  static void Lost(int error, WriteResult& result) {
    result.error = error;
    result.gone = true;
  }

  HANDLE Port() const { return os::NativeOf<HANDLE>(port_.Get()); }

  // Takes what the device has sent, for `heard_`, and waits for more: a read of one byte is
  // always under way, which the port's time-outs end when a byte comes, setting the input event
  // (a wait for EV_RXCHAR would be the other way, but Wine misses bytes that come while the
  // queue is full). The rest is then read at once, as much as the driver holds.
  void Hear() {
    while (readError_ == 0) {
      if (firstPending_) {
        // Ready again only when the read under way ends: the event is the program's input
        // handle, which a time asked for may have set, and a wait in a send would otherwise end
        // at once, again and again, and never see a stop. Looked at after the reset, so that no
        // ending is missed.
        ResetEvent(os::NativeOf<HANDLE>(input_));
        DWORD count = 0;
        if (!GetOverlappedResult(Port(), &waiting_, &count, FALSE)) {
          if (GetLastError() == ERROR_IO_INCOMPLETE) {
            return;
          }
          Ended(static_cast<int>(GetLastError()));
          return;
        }
        firstPending_ = false;
        if (count == 1) {
          heard_(std::span(&first_, 1));
        }
      }
      if (!TakeWhatCame()) {
        return;
      }
      if (!ReadFile(Port(), &first_, 1, nullptr, &waiting_) && GetLastError() != ERROR_IO_PENDING) {
        Ended(static_cast<int>(GetLastError()));
        return;
      }
      firstPending_ = true;  // under way, or done at once: looked at again above
    }
  }

  // Reads what the driver holds of what the device sent. False when the port failed.
  bool TakeWhatCame() {
    for (;;) {
      COMSTAT status{};
      DWORD errors = 0;
      if (!ClearCommError(Port(), &errors, &status)) {
        Ended(static_cast<int>(GetLastError()));
        return false;
      }
      overrun_ = overrun_ || (errors & (CE_OVERRUN | CE_RXOVER)) != 0;
      if (status.cbInQue == 0) {
        return true;
      }
      DWORD count = 0;
      const auto wanted = std::min<DWORD>(status.cbInQue, static_cast<DWORD>(received_.size()));
      if ((!ReadFile(Port(), received_.data(), wanted, nullptr, &reading_) &&
           GetLastError() != ERROR_IO_PENDING) ||
          !GetOverlappedResult(Port(), &reading_, &count, TRUE)) {
        Ended(static_cast<int>(GetLastError()));
        return false;
      }
      if (count == 0) {
        return true;
      }
      heard_(std::span(received_).first(count));
    }
  }

  // Nothing more will come: said at the next ReadInput.
  void Ended(int error) {
    readError_ = error;
    SetEvent(os::NativeOf<HANDLE>(input_));  // so that ReadInput is called, and tells of it
  }

  os::OwnedWake port_;
  os::OwnedWake written_;  // signalled when a write finishes
  os::WakeHandle cancel_;
  unsigned bytesPerSecond_;
  DWORD chunk_;
  os::WakeHandle input_;
  std::function<void(std::span<const std::byte>)> heard_;
  Listen listen_;
  os::WakeEvent read_;
  OVERLAPPED waiting_{};
  OVERLAPPED reading_{};
  std::byte first_{};
  std::vector<std::byte> received_;
  bool firstPending_ = false;
  int readError_ = 0;
  bool overrun_ = false;
};

}  // namespace

OpenedPort OpenNativePort(const PortOptions& options, os::WakeHandle cancel, os::WakeHandle input) {
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

  // What the device says is read in every wait, but a wait is not a read: with --capture the
  // input queue is as large as the driver takes, so that a device that talks through a tick
  // loses nothing.
  SetupComm(port, options.heard ? kCaptureQueueSize : kQueueSize, kQueueSize);
  DCB wanted = ToDcb(options.line);
  Mismatch mismatch;
  if (!SetCommState(port, &wanted)) {
    mismatch.Item("cannot apply its settings: " + os::ErrorText(static_cast<int>(GetLastError())));
  }
  // With --capture a read waits for the first byte, however long (it is overlapped: the program
  // never waits for it), and returns what has come; without it, a read would return at once.
  COMMTIMEOUTS timeouts = ToCommTimeouts(options.timeouts);
  if (options.heard) {
    timeouts.ReadIntervalTimeout = MAXDWORD;
    timeouts.ReadTotalTimeoutMultiplier = MAXDWORD;
    timeouts.ReadTotalTimeoutConstant = MAXDWORD - 1;
    PurgeComm(port, PURGE_RXCLEAR);  // what came before the program took the port answers nothing
  }
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
                                                options.line, input, options.heard),
          .failure = {},
          .mismatch = mismatch.Text(),
          .problem = PortProblem::None,
          .note = {}};
}

std::string DefaultPort() {
  return "COM1";
}

std::optional<std::string> LocalPortDevice(const std::string& value) {
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

bool SamePort(const std::string& a, const std::string& b) {
  const auto bare = [](const std::string& name) {
    return os::Widen(name.starts_with(kDevicePrefix) ? name.substr(4) : name);
  };
  const std::wstring first = bare(a);
  const std::wstring second = bare(b);
  return CompareStringOrdinal(first.data(), static_cast<int>(first.size()), second.data(),
                              static_cast<int>(second.size()), TRUE) == CSTR_EQUAL;
}

const char* LocalPortsAccepted() {
  return R"(COMn (n from 1 to 256), or a device such as \\.\CNCA0)";
}

}  // namespace serial
