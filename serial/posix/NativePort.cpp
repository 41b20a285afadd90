// The port on Linux: a tty opened exclusively (UUCP lock file, flock, TIOCEXCL), given its line
// through termios, written until every byte is out and then drained.

#include "serial/NativePort.h"

#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <utility>

#include "os/Error.h"
#include "os/posix/Descriptor.h"
#include "os/posix/Input.h"
#include "os/posix/Interrupt.h"
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

// The largest packet the bulk OUT endpoints under `folder` (a USB interface, or all of a USB
// device's) take, from their descriptors in sysfs; 0 when none is found.
std::size_t BulkOutPacket(const std::filesystem::path& folder, bool wholeDevice) {
  namespace fs = std::filesystem;
  const auto read = [](const fs::path& file) {
    std::string text;
    std::getline(std::ifstream(file), text);
    return text;
  };
  std::size_t largest = 0;
  std::error_code error;
  for (const fs::directory_entry& entry : fs::directory_iterator(folder, error)) {
    const std::string name = entry.path().filename().string();
    if (wholeDevice && name.find(':') != std::string::npos) {
      largest = std::max(largest, BulkOutPacket(entry.path(), false));
    } else if (name.starts_with("ep_") && read(entry.path() / "direction") == "out" &&
               read(entry.path() / "type") == "Bulk") {
      largest = std::max<std::size_t>(
          largest, std::strtoul(read(entry.path() / "wMaxPacketSize").c_str(), nullptr, 16));
    }
  }
  return largest;
}

// The most bytes the driver of `device` moves in one step, from what sysfs says drives it:
// usb-serial drivers send a bulk packet at a time (64 bytes at USB's full speed, 512 at high
// speed), cdc-acm blocks of 20 packets; a UART a FIFO's worth.
std::size_t DriverStep(const std::string& device) {
  namespace fs = std::filesystem;
  constexpr std::size_t kFifo = 64;
  std::error_code error;
  const fs::path real = fs::canonical(device, error);
  if (error) {
    return kFifo;
  }
  const fs::path behind =
      fs::canonical(fs::path("/sys/class/tty") / real.filename() / "device", error);
  if (error) {
    return kFifo;
  }
  if (fs::read_symlink(behind / "driver", error).filename() == "cdc_acm") {
    const std::size_t packet = BulkOutPacket(behind.parent_path(), true);
    return 20 * (packet > 0 ? packet : 64);
  }
  if (fs::read_symlink(behind / "subsystem", error).filename() == "usb-serial") {
    const std::size_t packet = BulkOutPacket(behind.parent_path(), false);
    return packet > 0 ? packet : 512;
  }
  return kFifo;
}

class PosixPort final : public NativePort {
 public:
  PosixPort(os::Descriptor fd, LockFile lock, os::WakeHandle cancel, std::size_t step,
            os::WakeHandle input, std::function<void(std::span<const std::byte>)> heard)
      : fd_(std::move(fd)),
        lock_(std::move(lock)),
        cancel_(cancel),
        step_(step),
        input_(input),
        heard_(std::move(heard)),
        listen_{.ready = {.handle = os::WakeOf(fd_.Get()), .ready = os::Waited::For::Reading},
                .take = [this] { Hear(); }} {
    overruns_ = Overruns();
  }

  ~PosixPort() override {
    ::ioctl(fd_.Get(), TIOCNXCL);
    // After a write cut short, close() on a real port waits up to the driver's closing_wait (30 s
    // by default) for what the device still holds, which a device that holds the line never
    // lets go. Setting closing_wait needs CAP_SYS_ADMIN on most drivers, and would stay with the
    // port for the next program to open it; the close's wait is ended by a signal instead.
    const std::optional<os::Interrupter> interrupter =
        cutShort_ ? std::optional<os::Interrupter>(std::in_place, LookAgain) : std::nullopt;
    fd_.Reset();
    lock_.Release();
  }

  bool WriteAll(std::span<const std::byte> bytes, WriteResult& result, HeldLine& held) override {
    std::size_t done = 0;
    while (done < bytes.size()) {
      const std::span<const std::byte> rest = bytes.subspan(done);
      const ssize_t count = ::write(fd_.Get(), rest.data(), rest.size());
      if (count > 0) {
        done += static_cast<std::size_t>(count);
        result.written += static_cast<std::size_t>(count);
        held.Handed(result.written);
      } else if (count < 0 && errno == EINTR) {
        continue;
      } else if (count < 0 && errno == EAGAIN) {
        // Until the device can take more.
        const os::Waited room{.handle = os::WakeOf(fd_.Get()), .ready = os::Waited::For::Writing};
        if (!WaitForRoom(
                room, cancel_, held, [this] { return Status(); }, Listening())) {
          result.cancelled = true;
          return false;
        }
      } else {
        Failed(count < 0 ? errno : EIO, result);
        return false;
      }
    }
    return true;
  }

  LineStatus Status() override {
    LineStatus status;
    if (int queued = 0; ::ioctl(fd_.Get(), TIOCOUTQ, &queued) == 0) {
      status.queued = static_cast<std::size_t>(std::max(queued, 0));
    }
    // Devices without modem lines (pseudo-terminals among them) have no CTS to tell.
    if (int lines = 0; ::ioctl(fd_.Get(), TIOCMGET, &lines) == 0) {
      status.cts = (lines & TIOCM_CTS) != 0;
    }
    return status;
  }

  // tcdrain() waits until the device's own buffer is on the wire, and no stop request can end
  // it: it is ended by a signal after `atMost`, and called again unless a stop came meanwhile.
  DeviceDrain DrainDevice(std::chrono::milliseconds atMost, WriteResult& result) override {
    if (heard_) {
      Hear();  // between two steps: what the device said meanwhile
    }
    const os::Interrupter interrupter(atMost);
    if (::tcdrain(fd_.Get()) == 0) {
      return DeviceDrain::Done;
    }
    if (errno == EINTR) {
      return DeviceDrain::NotYet;
    }
    Failed(errno, result);
    return DeviceDrain::Failed;
  }

  std::size_t Step() const override { return step_; }

  void DiscardOutput() override {
    ::tcflush(fd_.Get(), TCOFLUSH);
    cutShort_ = true;
  }

  void DiscardInput() override { ::tcflush(fd_.Get(), TCIFLUSH); }

  bool ReadInput(ReadResult& result) override {
    if (heard_) {
      // What the driver itself lost (its FIFO or buffer overran before it was read) is told.
      if (const std::optional<long long> overruns = Overruns();
          overruns && overruns_ && *overruns > *overruns_) {
        result.notices.push_back("the driver lost " + std::to_string(*overruns - *overruns_) +
                                 " of the bytes the device sent (an overrun)");
        overruns_ = overruns;
      }
      Hear();
    }
    if (endedBy_ != 0) {
      result.error = endedBy_;
      result.gone = DeviceGone(endedBy_);
      return false;
    }
    return true;
  }

  const Listen* Listening() const override { return heard_ ? &listen_ : nullptr; }

 private:
  // Reads all the device has sent, for `heard_`.
  void Hear() {
    std::array<std::byte, 4096> buffer{};
    while (endedBy_ == 0) {
      const ssize_t count = ::read(fd_.Get(), buffer.data(), buffer.size());
      if (count > 0) {
        heard_(std::span(buffer).first(static_cast<std::size_t>(count)));
      } else if (count < 0 && errno == EINTR) {
        continue;
      } else if ((count < 0 && errno == EAGAIN) || (count == 0 && !HungUp())) {
        return;  // nothing now: with VMIN and VTIME 0 a tty says so with 0
      } else {
        // A hang-up: nothing more will come, and the descriptor would stay readable.
        endedBy_ = count < 0 ? errno : EIO;
        os::Forget(input_, fd_.Get());
      }
    }
  }

  bool HungUp() const {
    pollfd look{.fd = fd_.Get(), .events = POLLIN, .revents = 0};
    return ::poll(&look, 1, 0) > 0 && (look.revents & (POLLHUP | POLLERR)) != 0;
  }

  static void Failed(int error, WriteResult& result) {
    result.error = error;
    result.gone = DeviceGone(error);
  }

  os::Descriptor fd_;
  LockFile lock_;
  os::WakeHandle cancel_;
  std::size_t step_;
  os::WakeHandle input_;  // where what the device sends is announced, when it is read at all
  std::function<void(std::span<const std::byte>)> heard_;
  Listen listen_;
  int endedBy_ = 0;  // the error that ended what the device says (a hang-up)
  std::optional<long long> overruns_;
  bool cutShort_ = false;  // a write was cut short: what the device still holds is not wanted

  // The bytes the driver has lost to overruns so far, where it counts them (a UART, many USB
  // adapters; not a pseudo-terminal).
  std::optional<long long> Overruns() const {
    serial_icounter_struct counts{};
    if (::ioctl(fd_.Get(), TIOCGICOUNT, &counts) != 0) {
      return std::nullopt;
    }
    return static_cast<long long>(counts.overrun) + counts.buf_overrun;
  }
};

}  // namespace

OpenedPort OpenNativePort(const PortOptions& options, os::WakeHandle cancel, os::WakeHandle input) {
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
  // What the device sends is read only for the capture: what came before the program took the
  // port answers nothing of its.
  const os::WakeHandle announced = options.heard ? input : os::WakeHandle();
  if (announced) {
    ::tcflush(fd.Get(), TCIFLUSH);
    if (const int error = os::Announce(announced, fd.Get()); error != 0) {
      return OpenedPort::Refused(PortProblem::Other, os::Outcome::SystemFailed(error));
    }
  }
  return {.port = std::make_unique<PosixPort>(std::move(fd), std::move(lock), cancel,
                                              DriverStep(device), announced, options.heard),
          .failure = {},
          .mismatch = std::move(mismatch),
          .problem = PortProblem::None,
          .note = {}};
}

std::string DefaultPort() {
  return "/dev/ttyS0";
}

std::optional<std::string> LocalPortDevice(const std::string& value) {
  if (const auto number = ComNumber(value)) {
    return "/dev/ttyS" + std::to_string(*number - 1);
  }
  if (value.starts_with('/')) {
    return value;
  }
  return std::nullopt;
}

const char* LocalPortsAccepted() {
  return "a path such as /dev/ttyUSB0, or COMn (n from 1)";
}

bool SamePort(const std::string& a, const std::string& b) {
  std::error_code error;
  return a == b || (!a.empty() && !b.empty() && std::filesystem::equivalent(a, b, error));
}

}  // namespace serial
