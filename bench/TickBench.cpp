// Times one tick that sends a 1 MiB check file to a pseudo-terminal, from the start of the tick
// until the last byte has reached the far end, against `cat` of the same file to the same pty.
//
//   tick_bench [ROUNDS]     prints the figures; a benchmark, not a test

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "feeder/CheckCycle.h"
#include "os/posix/Descriptor.h"
#include "serial/NativePort.h"
#include "serial/SerialLink.h"

namespace {

using Clock = std::chrono::steady_clock;

// Reads everything that reaches the pty's master, as fast as it comes.
class Drain {
 public:
  explicit Drain(int master) : master_(master), thread_([this] { Run(); }) {}
  ~Drain() {
    stop_ = true;
    thread_.join();
  }
  // Waits until `total` bytes have arrived in all.
  void WaitFor(std::size_t total) const {
    while (received_.load() < total) {
      std::this_thread::yield();
    }
  }

 private:
  void Run() {
    std::vector<char> buffer(1 << 16);
    while (!stop_) {
      pollfd fd{.fd = master_, .events = POLLIN, .revents = 0};
      if (::poll(&fd, 1, 10) > 0) {
        const ssize_t count = ::read(master_, buffer.data(), buffer.size());
        if (count > 0) {
          received_ += static_cast<std::size_t>(count);
        }
      }
    }
  }

  int master_;
  std::atomic<bool> stop_{false};
  std::atomic<std::size_t> received_{0};
  std::thread thread_;
};

double Milliseconds(Clock::duration duration) {
  return std::chrono::duration<double, std::milli>(duration).count();
}

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 20;
  namespace fs = std::filesystem;
  std::string folder = (fs::temp_directory_path() / "checkfeed-bench-XXXXXX").string();
  if (::mkdtemp(folder.data()) == nullptr) {
    std::perror("mkdtemp");
    return 1;
  }
  fs::current_path(folder);
  std::string bytes(feeder::SendBufferSize, '\0');
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    bytes[i] = static_cast<char>((i * 2654435761U) >> 13);
  }
  std::ofstream("check1.txt", std::ios::binary) << bytes;

  const os::Descriptor master(::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC));
  ::grantpt(master.Get());
  ::unlockpt(master.Get());
  const std::string slave = ::ptsname(master.Get());
  serial::LockDirectory = folder;
  const Drain drain(master.Get());
  std::size_t expected = 0;

  std::vector<double> tick;
  serial::SerialLink link;
  if (const os::Outcome opened = link.Open({.device = slave}); !opened.Worked()) {
    std::fprintf(stderr, "%s\n", opened.Why().c_str());
    return 1;
  }
  for (int round = 0; round < rounds; ++round) {
    feeder::CheckCycle cycle(link);  // its first tick sends check1.txt
    const auto start = Clock::now();
    cycle.TimerTimer();
    drain.WaitFor(expected += bytes.size());
    tick.push_back(Milliseconds(Clock::now() - start));
  }
  link.Close();  // the line keeps its raw settings for cat

  std::vector<double> cat;
  for (int round = 0; round < rounds; ++round) {
    const auto start = Clock::now();
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, slave.c_str(), O_WRONLY | O_NOCTTY,
                                     0);
    char catName[] = "cat";
    char fileName[] = "check1.txt";
    char* const arguments[] = {catName, fileName, nullptr};
    pid_t pid = 0;
    if (posix_spawnp(&pid, "cat", &actions, nullptr, arguments, environ) != 0) {
      std::perror("cat");
      return 1;
    }
    posix_spawn_file_actions_destroy(&actions);
    ::waitpid(pid, nullptr, 0);
    drain.WaitFor(expected += bytes.size());
    cat.push_back(Milliseconds(Clock::now() - start));
  }
  fs::current_path("/");
  fs::remove_all(folder);

  const double tickMedian = Median(tick);
  const double catMedian = Median(cat);
  std::printf("1 MiB to a pty, start to last byte received, median of %d:\n", rounds);
  std::printf("  checkfeed tick  %7.2f ms  (best %.2f)\n", tickMedian,
              *std::min_element(tick.begin(), tick.end()));
  std::printf("  cat             %7.2f ms  (best %.2f)\n", catMedian,
              *std::min_element(cat.begin(), cat.end()));
  std::printf("  tick / cat      %7.2f\n", tickMedian / catMedian);
  return 0;
}
