// The port on Linux: a tty opened exclusively (UUCP lock file, flock, TIOCEXCL), given its line
// through termios, written until every byte is out and then drained.

#include "serial/NativePort.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <utility>

#include "os/Error.h"

#include "os/posix/Descriptor.h"
#include "serial/posix/LockFile.h"
#include "serial/posix/Speed.h"
#include "serial/posix/Termios.h"

namespace serial {

std::string LockDirectory = "/var/lock";

namespace {

// Whether a failed write's error means the device itself went away (unplugged, hung up).
bool DeviceGone(int error) {
  return error == EIO || error == ENXIO || error == ENODEV;
}

// What an open() that failed with `error` says about the port.
PortProblem OpenProblem(int error) {
  switch (error) {
    case ENOENT:
    case ENODEV:
    case ENXIO:
      return PortProblem::Absent;
    case EBUSY:
      return PortProblem::Busy;
    case EACCES:
    case EPERM:
      return PortProblem::Denied;
    default:
      return PortProblem::Other;
  }
}

// Sets DTR and RTS as the settings want them. Linux raises both on every open and on leaving
// speed B0, so this runs right after the open and again after the settings are applied.
// Devices without modem lines (pseudo-terminals among them) refuse with ENOTTY or EINVAL.
void SetModemLines(int fd, const LineSettings& settings) {
  int raise = (settings.dtr ? TIOCM_DTR : 0) | (settings.rts ? TIOCM_RTS : 0);
  int lower = (settings.dtr ? 0 : TIOCM_DTR) | (settings.rts ? 0 : TIOCM_RTS);
  if (lower != 0) {
    ::ioctl(fd, TIOCMBIC, &lower);
  }
  if (raise != 0) {
    ::ioctl(fd, TIOCMBIS, &raise);
  }
}

// Applies the settings and reads them back. Returns what did not take, or "".
std::string Configure(int fd, const PortOptions& options) {
  termios current{};
  if (::tcgetattr(fd, &current) != 0) {
    return "cannot read its settings: " + os::ErrorText(errno);
  }
  const termios wanted = ToTermios(current, options.line, options.timeouts);
  // tcsetattr reports success when any one change was applied, so only the read-back counts.
  if (::tcsetattr(fd, TCSANOW, &wanted) != 0) {
    return "cannot apply its settings: " + os::ErrorText(errno);
  }
  const unsigned baudRate = options.line.baudRate;
  if (!IsStandardSpeed(baudRate)) {
    if (const int error = SetOtherSpeed(fd, baudRate); error != 0) {
      return "speed " + std::to_string(baudRate) + ": " + os::ErrorText(error);
    }
  }
  termios actual{};
  if (::tcgetattr(fd, &actual) != 0) {
    return "cannot read its settings back: " + os::ErrorText(errno);
  }
  Mismatch mismatch;
  // The driver rounds a speed it cannot make exactly to the nearest one it can.
  if (const unsigned speed = ReadSpeed(fd); !IsStandardSpeed(baudRate) && speed != baudRate) {
    mismatch.Speed(speed, baudRate);
  }
  DescribeMismatch(wanted, actual, mismatch);
  return mismatch.Text();
}

class PosixPort final : public NativePort {
 public:
  PosixPort(os::Descriptor fd, LockFile lock, os::WakeHandle cancel, const LineSettings& line)
      : fd_(std::move(fd)),
        lock_(std::move(lock)),
        cancel_(cancel),
        bytesPerSecond_(std::max(1U, BytesPerSecond(line))),
        ctsRtsFlow_(line.ctsRtsFlow) {}

  ~PosixPort() override {
    ::ioctl(fd_.Get(), TIOCNXCL);
    // A write cut short leaves bytes in the driver, and close() on a real port would wait up to
    // its closing_wait (30 s by default) to send them.
    if (unsent_) {
      ::tcflush(fd_.Get(), TCOFLUSH);
    }
    fd_.Reset();
    lock_.Release();
  }

  bool WriteDrained(std::span<const std::byte> bytes, WriteResult& result,
                    HeldLine& held) override {
    unsent_ = !WriteAll(bytes, result, held);
    return !unsent_;
  }

  void DiscardInput() override { ::tcflush(fd_.Get(), TCIFLUSH); }

 private:
  bool WriteAll(std::span<const std::byte> bytes, WriteResult& result, HeldLine& held) {
    std::size_t done = 0;
    while (done < bytes.size()) {
      const std::span<const std::byte> rest = bytes.subspan(done);
      const ssize_t count = ::write(fd_.Get(), rest.data(), rest.size());
      if (count > 0) {
        done += static_cast<std::size_t>(count);
        result.written += static_cast<std::size_t>(count);
        held.Moved(result.written);
      } else if (count < 0 && errno == EINTR) {
        continue;
      } else if (count < 0 && errno == EAGAIN) {
        // Until the device can take more.
        const os::Waited room{.handle = os::WakeOf(fd_.Get()), .ready = os::Waited::For::Writing};
        if (!WaitForRoom(room, cancel_, held, [this] { return WhyHeld(); })) {
          result.cancelled = true;
          return false;
        }
      } else {
        result.error = count < 0 ? errno : EIO;
        result.gone = DeviceGone(result.error);
        return false;
      }
    }
    const int drained = Drain(result, held);
    result.cancelled = drained < 0;
    result.error = std::max(drained, 0);
    result.gone = DeviceGone(result.error);
    return drained == 0;
  }

  // Waits until the driver's queue is on the wire. Returns an errno value, or -1 when cancelled.
  int Drain(const WriteResult& result, HeldLine& held) {
    // tcdrain() cannot be interrupted by a stop request and a full driver queue takes seconds at
    // 9600 baud, so wait on the queue's fill level and leave only the last bytes to tcdrain(),
    // which also serves a driver that does not tell its queue.
    const auto queued = [this]() -> std::optional<unsigned> {
      int bytes = 0;
      return ::ioctl(fd_.Get(), TIOCOUTQ, &bytes) == 0 ? std::optional(static_cast<unsigned>(bytes))
                                                       : std::nullopt;
    };
    if (WaitForDrain(queued, bytesPerSecond_, result.written, cancel_, held,
                     [this] { return WhyHeld(); }) == Drained::Cancelled) {
      return -1;
    }
    while (::tcdrain(fd_.Get()) != 0) {
      if (errno != EINTR) {
        return errno;
      }
    }
    return 0;
  }

  // What holds the line, where the system can tell: with RTS/CTS flow control, a device that
  // keeps CTS low. Linux does not say whether an XOFF holds output.
  std::string WhyHeld() const {
    int lines = 0;
    if (ctsRtsFlow_ && ::ioctl(fd_.Get(), TIOCMGET, &lines) == 0 && (lines & TIOCM_CTS) == 0) {
      return "the device holds CTS low";
    }
    return {};
  }

  os::Descriptor fd_;
  LockFile lock_;
  os::WakeHandle cancel_;
  unsigned bytesPerSecond_;
  bool ctsRtsFlow_;
  bool unsent_ = false;  // a write was cut short: what the driver still holds is not wanted
};

}  // namespace

OpenedPort OpenNativePort(const PortOptions& options, os::WakeHandle cancel) {
  const std::string& device = options.device;

  // Lock device file. It comes before open(): every open of a tty raises DTR and RTS, even on a
  // port another program is using. The lock's name follows a symlink (/dev/serial/by-id/...) to
  // the device it points to now.
  LockFile lock;
  if (os::Outcome locked = lock.Acquire(LockDirectory, device); !locked.Worked()) {
    return OpenedPort::Refused(PortProblem::Busy, std::move(locked));
  }

  // O_NONBLOCK: open() must not wait for carrier, and writes must not block past a stop
  // request (see WriteAll). O_NOCTTY: a hang-up must not send us SIGHUP.
  os::Descriptor fd(::open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
  if (!fd) {
    const int error = errno;
    return OpenedPort::Refused(OpenProblem(error), os::Outcome::SystemFailed(error));
  }
  if (!::isatty(fd.Get())) {
    return OpenedPort::Refused(PortProblem::NotSerial,
                               os::Outcome::Failed("not a terminal device"));
  }

  // Tools that honour flock (picocom, tio, pyserial) and TIOCEXCL (root ignores it, so check).
  int exclusive = 0;
  if (::flock(fd.Get(), LOCK_EX | LOCK_NB) != 0 ||
      (::ioctl(fd.Get(), TIOCGEXCL, &exclusive) == 0 && exclusive != 0)) {
    return OpenedPort::Refused(PortProblem::Busy, os::Outcome::Failed("in use by another program"));
  }
  ::ioctl(fd.Get(), TIOCEXCL);

  SetModemLines(fd.Get(), options.line);
  std::string mismatch = Configure(fd.Get(), options);
  SetModemLines(fd.Get(), options.line);
  return {.port = std::make_unique<PosixPort>(std::move(fd), std::move(lock), cancel, options.line),
          .failure = {},
          .mismatch = std::move(mismatch),
          .problem = PortProblem::None};
}

std::string DefaultPort() {
  return "/dev/ttyS0";
}

std::optional<std::string> PortDevice(const std::string& value) {
  if (const auto number = ComNumber(value)) {
    return "/dev/ttyS" + std::to_string(*number - 1);
  }
  if (value.starts_with('/')) {
    return value;
  }
  return std::nullopt;
}

const char* PortDeviceAccepts() {
  return "a path such as /dev/ttyUSB0, or COMn (n from 1)";
}

}  // namespace serial
