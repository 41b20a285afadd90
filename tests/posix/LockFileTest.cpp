// The port on Linux held for this program alone: lock files, flock and TIOCEXCL, and the ports
// it cannot have.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <string>

#include "os/posix/Descriptor.h"
#include "serial/posix/LockFile.h"
#include "tests/posix/TestSupport.h"

namespace {

using namespace testing_support;
namespace fs = std::filesystem;

TEST_F(SerialPortTest, AnAbsentDeviceOrANonTerminalLeavesNoPort) {
  // The system's reason keeps its number; the program's own has none.
  const os::Outcome absent = link_.Open({.device = "/dev/checkfeed-no-such-port"});
  EXPECT_EQ(absent.Why(),
            "Cannot open port \"/dev/checkfeed-no-such-port\": No such file or directory");
  EXPECT_EQ(absent.Error(), ENOENT);
  EXPECT_EQ(link_.PortHandle(), nullptr);

  const fs::path plain = scratch_.Path() / "plain-file";
  WriteFile(plain, "x");
  const os::Outcome notTerminal = link_.Open({.device = plain.string()});
  EXPECT_EQ(notTerminal.Why(),
            "Cannot open port \"" + plain.string() + "\": not a terminal device");
  EXPECT_EQ(notTerminal.Error(), 0);
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
  EXPECT_EQ(link_.Open({.device = pty_.SlavePath()}).Why(),
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
    EXPECT_EQ(link_.Open({.device = pty_.SlavePath()}).Why(),
              "Cannot open port \"" + pty_.SlavePath() + "\": in use by another program");
    EXPECT_EQ(link_.PortHandle(), nullptr);
    EXPECT_FALSE(fs::exists(lockFile_));
  }

  // With every layer free, the same port opens.
  EXPECT_EQ(link_.Open({.device = pty_.SlavePath()}).Why(), "");
  EXPECT_NE(link_.PortHandle(), nullptr);
  link_.Close();

  // TIOCEXCL alone, which root would otherwise pass through.
  if (!Passes(pty_.Master(), Request::ExclusiveQuery)) {
    GTEST_SKIP() << "this system does not pass TIOCGEXCL to a tty (QEMU's user-mode emulation)";
  }
  {
    const os::Descriptor other(::open(pty_.SlavePath().c_str(), O_RDWR | O_NOCTTY));
    ASSERT_EQ(::ioctl(other.Get(), TIOCEXCL), 0);
    const std::string message = link_.Open({.device = pty_.SlavePath()}).Why();
    EXPECT_EQ(link_.PortHandle(), nullptr);
    EXPECT_TRUE(message.ends_with("in use by another program") ||
                message.ends_with("Device or resource busy"))
        << message;
    ::ioctl(other.Get(), TIOCNXCL);
  }
}

TEST_F(SerialPortTest, ASecondOpenerIsRefusedByEachLayerOfLocking) {
  serial::SerialLink first;
  ASSERT_EQ(first.Open({.device = pty_.SlavePath()}).Why(), "");

  EXPECT_NE(link_.Open({.device = pty_.SlavePath()}).Why(), "");
  EXPECT_EQ(link_.PortHandle(), nullptr);
  // Without lock files, flock and TIOCEXCL still keep the port to its first holder.
  serial::LockDirectory = "/nonexistent-lock-directory";
  EXPECT_EQ(link_.Open({.device = pty_.SlavePath()}).Why(),
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
  ASSERT_EQ(link_.Open({.device = pty_.SlavePath()}).Why(), "");
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

  EXPECT_EQ(link_.Open({.device = pty_.SlavePath()}).Why(), "");
  EXPECT_NE(link_.PortHandle(), nullptr);
  EXPECT_EQ(ReadText(lockFile_), PidLine(::getpid()));

  // An unreadable PID is no owner either.
  link_.Close();
  WriteFile(lockFile_, "garbage\n");
  EXPECT_EQ(link_.Open({.device = pty_.SlavePath()}).Why(), "");
  EXPECT_EQ(ReadText(lockFile_), PidLine(::getpid()));
}

}  // namespace
