#include <fcntl.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "serial/SerialLink.h"
#include "serial/posix/LockFile.h"
#include "serial/posix/Speed.h"
#include "serial/posix/Termios.h"
#include "tests/posix/TestSupport.h"

namespace {

using namespace testing_support;
namespace fs = std::filesystem;

std::string ReadText(const fs::path& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

std::string PidLine(pid_t pid) {
  char line[16];
  std::snprintf(line, sizeof line, "%10d\n", static_cast<int>(pid));
  return line;
}

std::span<const std::byte> AsBytes(const std::string& text) {
  return std::as_bytes(std::span(text.data(), text.size()));
}

class SerialPortTest : public ::testing::Test {
 protected:
  void SetUp() override {
    serial::LockDirectory = scratch_.Path().string();
    lockFile_ = scratch_.Path() / serial::LockFile::NameFor(pty_.SlavePath());
  }
  ScratchDirectory scratch_;
  TestPty pty_;
  fs::path lockFile_;
  serial::SerialLink link_;
};

TEST_F(SerialPortTest, OpenSetsTheLineWhateverAnEarlierProgramLeft) {
  termios left = pty_.Settings();
  cfsetispeed(&left, B115200);
  cfsetospeed(&left, B115200);
  left.c_cflag |= CSTOPB | PARODD | CRTSCTS;
  left.c_cflag &= ~tcflag_t{CLOCAL};
  left.c_iflag |= IXON | IXOFF | IXANY | ICRNL | ISTRIP;
  left.c_oflag |= OPOST | ONLCR;
  left.c_lflag |= ICANON | ECHO | ISIG | IEXTEN;
  left.c_cc[VMIN] = 1;
  left.c_cc[VTIME] = 5;
  pty_.SetSettings(left);

  EXPECT_EQ(link_.Open({.device = pty_.SlavePath()}), "");
  ASSERT_NE(link_.PortHandle(), nullptr);

  const termios now = pty_.Settings();
  EXPECT_EQ(cfgetospeed(&now), B9600);
  EXPECT_EQ(cfgetispeed(&now), B9600);
  EXPECT_EQ(now.c_cflag & CSIZE, tcflag_t{CS8});
  EXPECT_EQ(now.c_cflag & (CSTOPB | PARENB | PARODD | CRTSCTS), 0U);
  EXPECT_EQ(now.c_cflag & (CLOCAL | CREAD), tcflag_t{CLOCAL | CREAD});
  EXPECT_EQ(now.c_iflag & (IXON | IXOFF | IXANY | ICRNL | ISTRIP | INLCR | IGNCR), 0U);
  EXPECT_EQ(now.c_oflag & OPOST, 0U);
  EXPECT_EQ(now.c_lflag & (ICANON | ECHO | ISIG | IEXTEN), 0U);
  EXPECT_EQ(now.c_cc[VMIN], 0);
  EXPECT_EQ(now.c_cc[VTIME], 0);
  link_.Close();

  // Other line options, over what the default left, as a device that needs them would have them.
  serial::PortOptions options{.device = pty_.SlavePath()};
  options.line.baudRate = 115200;
  options.line.dataBits = 7;
  options.line.parity = serial::Parity::Odd;
  options.line.stopBits = 2;
  options.line.ctsRtsFlow = true;
  options.line.xonXoffOutput = true;
  // A pty forces 8 data bits and no parity, and says so; the rest takes.
  EXPECT_EQ(link_.Open(options), "Port \"" + pty_.SlavePath() +
                                     "\" did not take every setting: character size, "
                                     "PARENB off");
  const termios other = pty_.Settings();
  EXPECT_EQ(cfgetospeed(&other), B115200);
  EXPECT_EQ(other.c_cflag & (CSTOPB | PARODD | CRTSCTS), tcflag_t{CSTOPB | PARODD | CRTSCTS});
  EXPECT_EQ(other.c_iflag & (IXON | IXOFF), tcflag_t{IXON});
  link_.Close();

  // Speeds without a constant go through termios2, and are read back by their rate.
  if (!Passes(pty_.Master(), Request::Termios2)) {
    GTEST_SKIP() << "this system does not pass termios2 to a tty (QEMU's user-mode emulation)";
  }
  for (const unsigned rate : {250000U, 31250U, 9600U}) {
    options = serial::PortOptions{.device = pty_.SlavePath()};
    options.line.baudRate = rate;
    EXPECT_EQ(link_.Open(options), "") << rate;
    EXPECT_EQ(serial::ReadSpeed(pty_.Master()), rate);
    link_.Close();
  }
}

TEST(LineSettingsTest, TranslatesEveryFieldAndNamesWhatDidNotTake) {
  const serial::LineSettings other{.baudRate = 19200,
                                   .dataBits = 7,
                                   .parity = serial::Parity::Odd,
                                   .stopBits = 2,
                                   .ctsRtsFlow = true,
                                   .xonXoffOutput = true,
                                   .xonXoffInput = false,
                                   .dtr = true,
                                   .rts = true};
  const termios t = serial::ToTermios(termios{}, other, {.readMinimum = 1, .readTenths = 2});
  EXPECT_EQ(cfgetospeed(&t), B19200);
  EXPECT_EQ(t.c_cflag & CSIZE, tcflag_t{CS7});
  EXPECT_EQ(t.c_cflag & (PARENB | PARODD | CSTOPB | CRTSCTS),
            tcflag_t{PARENB | PARODD | CSTOPB | CRTSCTS});
  EXPECT_EQ(t.c_iflag & (IXON | IXOFF), tcflag_t{IXON});
  EXPECT_EQ(t.c_cc[VMIN], 1);
  EXPECT_EQ(t.c_cc[VTIME], 2);
  EXPECT_EQ(serial::BytesPerSecond(serial::PortSettings), 960U);
  serial::LineSettings odd = serial::PortSettings;
  odd.baudRate = 250000;  // no constant: marked to be set on its own
  EXPECT_EQ(serial::ToTermios(termios{}, odd, {}).c_cflag & CBAUD, tcflag_t{CBAUDEX});
  odd.baudRate = 0;
  EXPECT_THROW(serial::ToTermios(termios{}, odd, {}), std::invalid_argument);
  odd.parity = serial::Parity::Mark;
  odd.baudRate = 9600;
  EXPECT_EQ(serial::ToTermios(termios{}, odd, {}).c_cflag & (PARENB | PARODD | CMSPAR),
            tcflag_t{PARENB | PARODD | CMSPAR});

  const auto mismatch = [](const termios& wanted, const termios& actual) {
    serial::Mismatch found;
    serial::DescribeMismatch(wanted, actual, found);
    return found.Text();
  };
  const termios wanted = serial::ToTermios(termios{}, serial::PortSettings, serial::PortTimeouts);
  EXPECT_EQ(mismatch(wanted, wanted), "");
  termios actual = wanted;
  cfsetospeed(&actual, B115200);
  actual.c_cflag |= CRTSCTS;
  EXPECT_EQ(mismatch(wanted, actual), "speed 115200 (wanted 9600), CRTSCTS on");
}

TEST_F(SerialPortTest, UnderXonXoffWhatTheDeviceSentIsDiscardedBeforeEachSend) {
  // We read nothing: unread input must not pile up until the device's XON is lost in it.
  serial::PortOptions options{.device = pty_.SlavePath()};
  options.line.xonXoffOutput = true;
  ASSERT_EQ(link_.Open(options), "");
  if (::geteuid() != 0) {
    GTEST_SKIP() << "needs root to look at the held port's input queue";
  }
  const os::Descriptor look(::open(pty_.SlavePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK));
  const auto unread = [&look] {
    int count = -1;
    ::ioctl(look.Get(), FIONREAD, &count);
    return count;
  };
  const std::string input(100, 'y');
  ASSERT_EQ(::write(pty_.Master(), input.data(), input.size()), 100);
  for (int wait = 0; wait < 100 && unread() < 100; ++wait) {
    std::this_thread::sleep_for(10ms);
  }
  ASSERT_EQ(unread(), 100);
  EXPECT_EQ(link_.PortHandle()->Write(AsBytes("x")).written, 1U);
  EXPECT_EQ(unread(), 0);
  EXPECT_EQ(pty_.ReadAvailable(20ms), "x");
}

TEST_F(SerialPortTest, AnAbsentDeviceOrANonTerminalLeavesNoPort) {
  EXPECT_EQ(link_.Open({.device = "/dev/checkfeed-no-such-port"}),
            "Cannot open port \"/dev/checkfeed-no-such-port\": No such file or directory");
  EXPECT_EQ(link_.PortHandle(), nullptr);

  const fs::path plain = scratch_.Path() / "plain-file";
  WriteFile(plain, "x");
  EXPECT_EQ(link_.Open({.device = plain.string()}),
            "Cannot open port \"" + plain.string() + "\": not a terminal device");
  EXPECT_EQ(link_.PortHandle(), nullptr);
  EXPECT_EQ(ReadText(plain), "x");
  // No lock file is left behind by a failed open.
  EXPECT_FALSE(fs::exists(lockFile_));
  EXPECT_FALSE(fs::exists(scratch_.Path() / serial::LockFile::NameFor(plain.string())));
}

TEST_F(SerialPortTest, APortHeldByAnotherProgramLeavesNoPort) {
  // A live process's lock file (minicom, Qt's serial module).
  const pid_t holder = ::fork();
  if (holder == 0) {
    ::pause();
    ::_exit(0);
  }
  WriteFile(lockFile_, PidLine(holder));
  EXPECT_EQ(link_.Open({.device = pty_.SlavePath()}),
            "Cannot open port \"" + pty_.SlavePath() + "\": in use by process " +
                std::to_string(holder) + " (lock file " + lockFile_.string() + ")");
  EXPECT_EQ(link_.PortHandle(), nullptr);
  EXPECT_EQ(ReadText(lockFile_), PidLine(holder));
  ::kill(holder, SIGKILL);
  ::waitpid(holder, nullptr, 0);
  fs::remove(lockFile_);

  // flock on the device (picocom, tio, pyserial with exclusive=True).
  {
    const os::Descriptor other(::open(pty_.SlavePath().c_str(), O_RDWR | O_NOCTTY));
    ASSERT_EQ(::flock(other.Get(), LOCK_EX | LOCK_NB), 0);
    EXPECT_EQ(link_.Open({.device = pty_.SlavePath()}),
              "Cannot open port \"" + pty_.SlavePath() + "\": in use by another program");
    EXPECT_EQ(link_.PortHandle(), nullptr);
    EXPECT_FALSE(fs::exists(lockFile_));
  }

  // With every layer free, the same port opens.
  EXPECT_EQ(link_.Open({.device = pty_.SlavePath()}), "");
  EXPECT_NE(link_.PortHandle(), nullptr);
  link_.Close();

  // TIOCEXCL alone, which root would otherwise pass through.
  if (!Passes(pty_.Master(), Request::ExclusiveQuery)) {
    GTEST_SKIP() << "this system does not pass TIOCGEXCL to a tty (QEMU's user-mode emulation)";
  }
  {
    const os::Descriptor other(::open(pty_.SlavePath().c_str(), O_RDWR | O_NOCTTY));
    ASSERT_EQ(::ioctl(other.Get(), TIOCEXCL), 0);
    const std::string message = link_.Open({.device = pty_.SlavePath()});
    EXPECT_EQ(link_.PortHandle(), nullptr);
    EXPECT_TRUE(message.ends_with("in use by another program") ||
                message.ends_with("Device or resource busy"))
        << message;
    ::ioctl(other.Get(), TIOCNXCL);
  }
}

TEST_F(SerialPortTest, ASecondOpenerIsRefusedByEachLayerOfLocking) {
  serial::SerialLink first;
  ASSERT_EQ(first.Open({.device = pty_.SlavePath()}), "");

  EXPECT_NE(link_.Open({.device = pty_.SlavePath()}), "");
  EXPECT_EQ(link_.PortHandle(), nullptr);
  // Without lock files, flock and TIOCEXCL still keep the port to its first holder.
  serial::LockDirectory = "/nonexistent-lock-directory";
  EXPECT_EQ(link_.Open({.device = pty_.SlavePath()}),
            "Cannot open port \"" + pty_.SlavePath() + "\": in use by another program");
  EXPECT_EQ(link_.PortHandle(), nullptr);

  // A plain writer that honours no lock at all (echo > port) is kept out by TIOCEXCL, unless it
  // is root.
  if (::geteuid() != 0) {
    GTEST_SKIP() << "needs root to try the port as another user";
  }
  ASSERT_EQ(::chmod(pty_.SlavePath().c_str(), 0666), 0);
  const pid_t writer = ::fork();
  if (writer == 0) {
    if (::setgid(65534) != 0 || ::setuid(65534) != 0) {
      ::_exit(3);
    }
    const int fd = ::open(pty_.SlavePath().c_str(), O_WRONLY | O_NOCTTY);
    ::_exit(fd < 0 && errno == EBUSY ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(writer, &status, 0), writer);
  EXPECT_EQ(WEXITSTATUS(status), 0) << "another user could open the held port";
}

TEST_F(SerialPortTest, TheLockFileIsOursWhileOpenAndGoneAfterClose) {
  ASSERT_EQ(link_.Open({.device = pty_.SlavePath()}), "");
  EXPECT_EQ(ReadText(lockFile_), PidLine(::getpid()));
  // Only the lock file is left in the lock directory: no draft files.
  EXPECT_EQ(std::distance(fs::directory_iterator(scratch_.Path()), fs::directory_iterator()), 1);

  link_.Close();
  EXPECT_EQ(link_.PortHandle(), nullptr);
  EXPECT_FALSE(fs::exists(lockFile_));
  link_.Close();  // closing twice closes once

  // Released in every layer: another program can take it.
  const os::Descriptor other(::open(pty_.SlavePath().c_str(), O_RDWR | O_NOCTTY));
  EXPECT_EQ(::flock(other.Get(), LOCK_EX | LOCK_NB), 0);
  if (!Passes(pty_.Master(), Request::ExclusiveQuery)) {
    GTEST_SKIP() << "this system does not pass TIOCGEXCL to a tty (QEMU's user-mode emulation)";
  }
  int exclusive = -1;
  ASSERT_EQ(::ioctl(other.Get(), TIOCGEXCL, &exclusive), 0);
  EXPECT_EQ(exclusive, 0);
}

TEST_F(SerialPortTest, AStaleLockFileIsTakenOver) {
  const pid_t dead = ::fork();
  if (dead == 0) {
    ::_exit(0);
  }
  ::waitpid(dead, nullptr, 0);
  WriteFile(lockFile_, PidLine(dead));

  EXPECT_EQ(link_.Open({.device = pty_.SlavePath()}), "");
  EXPECT_NE(link_.PortHandle(), nullptr);
  EXPECT_EQ(ReadText(lockFile_), PidLine(::getpid()));

  // An unreadable PID is no owner either.
  link_.Close();
  WriteFile(lockFile_, "garbage\n");
  EXPECT_EQ(link_.Open({.device = pty_.SlavePath()}), "");
  EXPECT_EQ(ReadText(lockFile_), PidLine(::getpid()));
}

TEST_F(SerialPortTest, WritesEveryByteThroughASignalStorm) {
  // A handler without SA_RESTART makes every signal interrupt the write or its wait.
  struct sigaction action {};
  action.sa_handler = [](int) {};
  struct sigaction previous {};
  ::sigaction(SIGUSR1, &action, &previous);

  ASSERT_EQ(link_.Open({.device = pty_.SlavePath()}), "");
  const std::string data = PatternBytes(1 << 20, 7);
  BackgroundReader reader(pty_.Master(), 1024, 300us);
  std::atomic<bool> writing{true};
  const pthread_t writer = ::pthread_self();
  int sent = 0;
  std::thread storm([&] {
    while (writing) {
      ::pthread_kill(writer, SIGUSR1);
      ++sent;
      std::this_thread::sleep_for(50us);
    }
  });
  const serial::WriteResult result = link_.PortHandle()->Write(AsBytes(data));
  writing = false;
  storm.join();
  ::sigaction(SIGUSR1, &previous, nullptr);

  EXPECT_GT(sent, 1000);
  EXPECT_EQ(result.error, 0);
  EXPECT_FALSE(result.cancelled);
  EXPECT_EQ(result.written, data.size());
  EXPECT_TRUE(reader.WaitFor(data.size()) == data);
}

TEST_F(SerialPortTest, AHangUpIsReportedAsTheWritesFailure) {
  ASSERT_EQ(link_.Open({.device = pty_.SlavePath()}), "");
  pty_.HangUp();
  const std::string data = PatternBytes(100000, 3);
  const serial::WriteResult result = link_.PortHandle()->Write(AsBytes(data));
  EXPECT_EQ(result.error, EIO);
  EXPECT_LT(result.written, data.size());
  // Every later write fails the same way; the port is still held, never reopened.
  EXPECT_EQ(link_.PortHandle()->Write(AsBytes(data)).error, EIO);
  link_.Close();
  EXPECT_FALSE(fs::exists(lockFile_));
}

TEST_F(SerialPortTest, PacedBytesArriveOnceAndInOrderAndSignalsCutNoGapShort) {
  // Each gap is timed where the program keeps it, by the stand-in in PacingTest. Here the real
  // line: every byte arrives once and in order (a reader may see several at once), and the whole
  // send lasts at least its gaps, under a storm of signals that would cut a gap short if a wait
  // ended on one.
  using Clock = std::chrono::steady_clock;
  serial::PortOptions options{.device = pty_.SlavePath()};
  options.pacing.afterByte = 5ms;
  options.pacing.afterLineFeed = 20ms;
  ASSERT_EQ(link_.Open(options), "");
  const std::string bytes = "AB\nCD" + PatternBytes(45, 9);
  const auto lineFeeds = static_cast<long>(std::count(bytes.begin(), bytes.end(), '\n'));
  BackgroundReader reader(pty_.Master());
  struct sigaction action {};
  action.sa_handler = [](int) {};
  struct sigaction previous {};
  ::sigaction(SIGUSR1, &action, &previous);
  std::atomic<bool> writing{true};
  const pthread_t writer = ::pthread_self();
  std::thread storm([&] {
    while (writing) {
      ::pthread_kill(writer, SIGUSR1);
      std::this_thread::sleep_for(200us);
    }
  });
  const auto started = Clock::now();
  const serial::WriteResult result = link_.PortHandle()->Write(AsBytes(bytes));
  const auto took = Clock::now() - started;
  writing = false;
  storm.join();
  ::sigaction(SIGUSR1, &previous, nullptr);
  EXPECT_EQ(result.written, bytes.size());
  EXPECT_EQ(reader.WaitFor(bytes.size()), bytes);
  // A gap after every byte, the last one too, and more after each line feed.
  EXPECT_GE(took, 5ms * bytes.size() + 20ms * lineFeeds);
}

TEST_F(SerialPortTest, ACancelRequestEndsABlockedWrite) {
  os::WakeEvent cancel;
  ASSERT_EQ(link_.Open({.device = pty_.SlavePath()}, cancel.Handle()), "");
  // Nobody reads the master, so the write blocks once the pty is full.
  std::thread stopper([&] {
    std::this_thread::sleep_for(200ms);
    cancel.Raise();
  });
  const std::string data = PatternBytes(1 << 20, 5);
  const serial::WriteResult result = link_.PortHandle()->Write(AsBytes(data));
  stopper.join();
  EXPECT_TRUE(result.cancelled);
  EXPECT_EQ(result.error, 0);
  EXPECT_GT(result.written, 0U);
  EXPECT_LT(result.written, data.size());
  link_.Close();

  // A paced write ends at its next gap, not after the gaps of the whole file.
  pty_.ReadAvailable(50ms);
  cancel.Clear();
  serial::PortOptions paced{.device = pty_.SlavePath()};
  paced.pacing.afterByte = 1000ms;
  ASSERT_EQ(link_.Open(paced, cancel.Handle()), "");
  std::thread slowStopper([&] {
    std::this_thread::sleep_for(100ms);
    cancel.Raise();
  });
  const auto started = std::chrono::steady_clock::now();
  const serial::WriteResult stopped = link_.PortHandle()->Write(AsBytes("paced for a minute"));
  slowStopper.join();
  EXPECT_TRUE(stopped.cancelled);
  EXPECT_EQ(stopped.written, 1U);
  EXPECT_LT(std::chrono::steady_clock::now() - started, 900ms);
  EXPECT_EQ(pty_.ReadAvailable(20ms), "p");
}

}  // namespace
