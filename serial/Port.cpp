#include "serial/Port.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <utility>

#include "serial/LineSettings.h"
#include "serial/Speed.h"
#include "serial/SystemError.h"

namespace serial {

std::unique_ptr<Port> PortHandle;
std::string LockDirectory = "/var/lock";

namespace {

// What the last OpenPort was asked for, kept for reopening.
PortOptions Wanted;
int WantedCancelFd = -1;
// With reconnect: there is no port now, and the next tick that sends tries to open it again.
bool Away = false;
// Whether a port was ever opened, so its return reads "is back", not "is open".
bool EverOpened = false;
// Without reconnect, a port that went away says once what --reconnect would do.
bool HintGiven = false;

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
    return "cannot read its settings: " + ErrorText(errno);
  }
  const termios wanted = ToTermios(current, options.line, options.timeouts);
  // tcsetattr reports success when any one change was applied, so only the read-back counts.
  if (::tcsetattr(fd, TCSANOW, &wanted) != 0) {
    return "cannot apply its settings: " + ErrorText(errno);
  }
  const unsigned baudRate = options.line.baudRate;
  if (!IsStandardSpeed(baudRate)) {
    if (const int error = SetOtherSpeed(fd, baudRate); error != 0) {
      return "speed " + std::to_string(baudRate) + ": " + ErrorText(error);
    }
  }
  termios actual{};
  if (::tcgetattr(fd, &actual) != 0) {
    return "cannot read its settings back: " + ErrorText(errno);
  }
  std::string mismatch = DescribeMismatch(wanted, actual);
  // The driver rounds a speed it cannot make exactly to the nearest one it can.
  if (const unsigned speed = ReadSpeed(fd); !IsStandardSpeed(baudRate) && speed != baudRate) {
    mismatch = "speed " + std::to_string(speed) + " (wanted " + std::to_string(baudRate) + ")" +
               (mismatch.empty() ? "" : ", " + mismatch);
  }
  return mismatch;
}

}  // namespace

Port::Port(std::string device, Descriptor fd, LockFile lock, int cancelFd,
           const PortOptions& options)
    : device_(std::move(device)),
      fd_(std::move(fd)),
      lock_(std::move(lock)),
      cancelFd_(cancelFd),
      bytesPerSecond_(std::max(1U, BytesPerSecond(options.line))),
      pacing_(options.pacing),
      discardInput_(options.line.xonXoffOutput) {}

Port::~Port() {
  ::ioctl(fd_.Get(), TIOCNXCL);
  // A write cut short leaves bytes in the driver, and close() on a real port would wait up to
  // its closing_wait (30 s by default) to send them.
  if (unsent_) {
    ::tcflush(fd_.Get(), TCOFLUSH);
  }
  fd_.Reset();
  lock_.Release();
}

bool Port::Cancelled(int timeoutMs) {
  if (cancelFd_ < 0) {
    if (timeoutMs > 0) {
      ::poll(nullptr, 0, timeoutMs);
    }
    return false;
  }
  pollfd cancel{.fd = cancelFd_, .events = POLLIN, .revents = 0};
  return ::poll(&cancel, 1, timeoutMs) > 0 && (cancel.revents & POLLIN) != 0;
}

bool Port::WaitWritable() {
  std::array<pollfd, 2> fds{{{.fd = fd_.Get(), .events = POLLOUT, .revents = 0},
                             {.fd = cancelFd_, .events = POLLIN, .revents = 0}}};
  while (::poll(fds.data(), fds.size(), -1) < 0 && errno == EINTR) {
  }
  return (fds[1].revents & POLLIN) == 0;
}

int Port::Drain() {
  // tcdrain() cannot be interrupted by a stop request and a full driver queue takes seconds at
  // 9600 baud, so wait on the queue's fill level and leave only the last bytes to tcdrain().
  int queued = 0;
  while (::ioctl(fd_.Get(), TIOCOUTQ, &queued) == 0 && queued > 0) {
    const auto needed = static_cast<unsigned>(queued) * 1000U / bytesPerSecond_;
    if (Cancelled(static_cast<int>(std::clamp(needed, 1U, 100U)))) {
      return -1;
    }
  }
  while (::tcdrain(fd_.Get()) != 0) {
    if (errno != EINTR) {
      return errno;
    }
  }
  return 0;
}

bool Port::WriteDrained(std::span<const std::byte> bytes, WriteResult& result) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    const std::span<const std::byte> rest = bytes.subspan(done);
    const ssize_t count = ::write(fd_.Get(), rest.data(), rest.size());
    if (count > 0) {
      done += static_cast<std::size_t>(count);
      result.written += static_cast<std::size_t>(count);
    } else if (count < 0 && errno == EINTR) {
      continue;
    } else if (count < 0 && errno == EAGAIN) {
      if (!WaitWritable()) {
        result.cancelled = true;
        return false;
      }
    } else {
      result.error = count < 0 ? errno : EIO;
      return false;
    }
  }
  const int drained = Drain();
  result.cancelled = drained < 0;
  result.error = std::max(drained, 0);
  return drained == 0;
}

WriteResult Port::Write(std::span<const std::byte> bytes) {
  // We read nothing, so what the device sends piles up unread; with XON/XOFF a full input queue
  // could keep its XON from being seen, and output would stay held for ever.
  if (discardInput_) {
    ::tcflush(fd_.Get(), TCIFLUSH);
  }
  WriteResult result;
  if (!pacing_.Any()) {
    WriteDrained(bytes, result);
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
      if (!WriteDrained(bytes.subspan(start, end - start), result)) {
        break;
      }
      std::chrono::milliseconds gap = pacing_.afterByte;
      if (bytes[end - 1] == std::byte{'\n'}) {
        gap += pacing_.afterLineFeed;
      }
      start = end;
      // After the last byte too: the next send may follow at once (a tick that fell due while
      // this one ran), and the device needs its gap all the same.
      if (gap.count() > 0 && Cancelled(static_cast<int>(gap.count()))) {
        result.cancelled = true;
        break;
      }
    }
  }
  unsent_ = result.cancelled || result.error != 0;
  return result;
}

// Opens the port into PortHandle. Returns why it could not, or "" and in `mismatch` which
// settings did not take.
std::string Open(const PortOptions& options, int cancelFd, std::string& mismatch) {
  const std::string& device = options.device;
  const std::string cannot = "Cannot open port " + Quoted(device) + ": ";

  // Lock device file. It comes before open(): every open of a tty raises DTR and RTS, even on a
  // port another program is using. The lock's name follows a symlink (/dev/serial/by-id/...) to
  // the device it points to now.
  LockFile lock;
  if (std::string busy = lock.Acquire(LockDirectory, device); !busy.empty()) {
    return cannot + busy;
  }

  // O_NONBLOCK: open() must not wait for carrier, and writes must not block past a stop
  // request (see Write). O_NOCTTY: a hang-up must not send us SIGHUP.
  Descriptor fd(::open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
  if (!fd) {
    return cannot + ErrorText(errno);
  }
  if (!::isatty(fd.Get())) {
    return cannot + "not a terminal device";
  }

  // Tools that honour flock (picocom, tio, pyserial) and TIOCEXCL (root ignores it, so check).
  int exclusive = 0;
  if (::flock(fd.Get(), LOCK_EX | LOCK_NB) != 0 ||
      (::ioctl(fd.Get(), TIOCGEXCL, &exclusive) == 0 && exclusive != 0)) {
    return cannot + "in use by another program";
  }
  ::ioctl(fd.Get(), TIOCEXCL);

  SetModemLines(fd.Get(), options.line);
  mismatch = Configure(fd.Get(), options);
  SetModemLines(fd.Get(), options.line);

  PortHandle.reset(new Port(device, std::move(fd), std::move(lock), cancelFd, options));
  EverOpened = true;
  return {};
}

std::string OpenPort(const PortOptions& options, int cancelFd) {
  Wanted = options;
  WantedCancelFd = cancelFd;
  Away = false;
  EverOpened = false;
  HintGiven = false;
  std::string mismatch;
  std::string message = Open(options, cancelFd, mismatch);
  if (!PortHandle && options.reconnect) {
    Away = true;
    message += "; trying again at each tick";
  }
  if (!mismatch.empty()) {
    message = "Port " + Quoted(options.device) + " did not take every setting: " + mismatch;
  }
  return message;
}

bool DeviceGone(int error) {
  return error == EIO || error == ENXIO || error == ENODEV;
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
  Open(Wanted, WantedCancelFd, mismatch);
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
