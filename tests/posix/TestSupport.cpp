#include "tests/posix/TestSupport.h"

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cstdio>
#include <stdexcept>

namespace testing_support {

TestPty::TestPty() : master_(::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC)) {
  if (!master_ || ::grantpt(master_.Get()) != 0 || ::unlockpt(master_.Get()) != 0) {
    throw std::runtime_error("cannot create a pseudo-terminal");
  }
  slavePath_ = ::ptsname(master_.Get());
}

termios TestPty::Settings() const {
  termios settings{};
  ::tcgetattr(master_.Get(), &settings);
  return settings;
}

void TestPty::SetSettings(const termios& settings) {
  ::tcsetattr(master_.Get(), TCSANOW, &settings);
}

std::string PidLine(pid_t pid) {
  char line[16];
  std::snprintf(line, sizeof line, "%10d\n", static_cast<int>(pid));
  return line;
}

bool Passes(int fd, Request request) {
  if (request == Request::Termios2) {
    return Termios2Passes(fd);
  }
  int exclusive = 0;
  return ::ioctl(fd, TIOCGEXCL, &exclusive) == 0;
}

std::string TestPty::ReadAvailable(std::chrono::milliseconds quiet) {
  std::string received;
  pollfd fd{.fd = master_.Get(), .events = POLLIN, .revents = 0};
  while (::poll(&fd, 1, static_cast<int>(quiet.count())) > 0 && (fd.revents & POLLIN) != 0) {
    char buffer[65536];
    const ssize_t count = ::read(master_.Get(), buffer, sizeof buffer);
    if (count <= 0) {
      break;
    }
    received.append(buffer, static_cast<std::size_t>(count));
  }
  return received;
}

BackgroundReader::BackgroundReader(int master, std::size_t chunk, std::chrono::microseconds pause)
    : master_(master), chunk_(chunk), pause_(pause) {
  thread_ = std::thread([this] {
    std::string buffer(chunk_, '\0');
    while (!stop_) {
      pollfd fd{.fd = master_, .events = POLLIN, .revents = 0};
      if (::poll(&fd, 1, 20) <= 0) {
        continue;
      }
      const ssize_t count = ::read(master_, buffer.data(), buffer.size());
      if (count > 0) {
        const std::lock_guard lock(mutex_);
        received_.append(buffer, 0, static_cast<std::size_t>(count));
      } else {
        std::this_thread::sleep_for(5ms);  // slave not open (EIO): wait for the writer
      }
      if (pause_ > 0us) {
        std::this_thread::sleep_for(pause_);
      }
    }
  });
}

BackgroundReader::~BackgroundReader() {
  stop_ = true;
  thread_.join();
}

std::string BackgroundReader::WaitFor(std::size_t count, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    {
      const std::lock_guard lock(mutex_);
      if (received_.size() >= count || std::chrono::steady_clock::now() > deadline) {
        return received_;
      }
    }
    std::this_thread::sleep_for(2ms);
  }
}

}  // namespace testing_support
