#pragma once

// Real pseudo-terminals for the tests: no mock of the kernel where the kernel itself can serve.

#include <gtest/gtest.h>
#include <sys/types.h>
#include <termios.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>

#include "os/posix/Descriptor.h"
#include "serial/SerialLink.h"
#include "serial/posix/LockFile.h"
#include "tests/Support.h"

namespace testing_support {

using namespace std::chrono_literals;

// A pseudo-terminal. The program under test opens the slave by its path, as it would a serial
// port; the test reads what arrives at the master.
class TestPty {
 public:
  TestPty();
  const std::string& SlavePath() const { return slavePath_; }
  int Master() const { return master_.Get(); }

  // The slave's settings, read or written through the master.
  termios Settings() const;
  void SetSettings(const termios& settings);

  // Everything that arrives until nothing more comes for `quiet`.
  std::string ReadAvailable(std::chrono::milliseconds quiet = 100ms);

  // Closing the master is a hang-up for whoever holds the slave.
  void HangUp() { master_.Reset(); }

 private:
  os::Descriptor master_;
  std::string slavePath_;
};

// Whether the system passes a serial request a test relies on through to the tty `fd`. QEMU's
// user-mode emulation (10.0), which runs the ARM builds' tests, translates neither TIOCGEXCL nor
// termios2 (TCGETS2, TCSETS2): a test skips what rests on them there, and says so. A real ARM
// kernel has both.
enum class Request { ExclusiveQuery, Termios2 };
bool Passes(int fd, Request request);
bool Termios2Passes(int fd);  // the raw request (tests/posix/Termios2Probe.cpp)

// Reads a pty's master on its own thread, so writers never block on a full pty.
class BackgroundReader {
 public:
  // `chunk` bytes per read and `pause` between reads make a slow reader.
  explicit BackgroundReader(int master, std::size_t chunk = 65536,
                            std::chrono::microseconds pause = 0us);
  ~BackgroundReader();
  // Waits until `count` bytes have arrived (or `timeout` passed) and returns what arrived.
  std::string WaitFor(std::size_t count, std::chrono::milliseconds timeout = 20s);

 private:
  int master_;
  std::size_t chunk_;
  std::chrono::microseconds pause_;
  std::atomic<bool> stop_{false};
  std::mutex mutex_;
  std::string received_;
  std::thread thread_;
};

// A lock file's content for `pid`: "%10d\n".
std::string PidLine(pid_t pid);

// A port on a pseudo-terminal, its lock files in a scratch directory of the test's own.
class SerialPortTest : public ::testing::Test {
 protected:
  void SetUp() override {
    serial::LockDirectory = scratch_.Path().string();
    lockFile_ = scratch_.Path() / serial::LockFile::NameFor(pty_.SlavePath());
  }
  ScratchDirectory scratch_;
  TestPty pty_;
  std::filesystem::path lockFile_;
  serial::SerialLink link_;
};

}  // namespace testing_support
