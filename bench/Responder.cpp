// A device that answers every file it is fed after a delay it keeps to the microsecond, for the
// benchmark of the latency checkfeed measures. A device's UART takes a byte as it arrives; a
// process woken from poll() takes it a scheduler's wake-up later (about 0.1 ms on a virtual
// machine), which would count in checkfeed's figure and not in the device's. So it reads the
// pseudo-terminal's master without waiting, again and again (a core of its own while it runs),
// stamps every read on the monotonic clock, and once a file has come whole (its last bytes CR LF)
// waits out the delay on the clock itself, not in a sleep, and writes the answer.
//
//   responder FD DELAY_US ANSWER   FD the master, inherited; prints, for each file, when its first
//                                  and last bytes were read and when the answer was written, in
//                                  nanoseconds, once SIGTERM ends it

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

volatile sig_atomic_t running = 1;

long long Now() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch())
      .count();
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: responder FD DELAY_US ANSWER\n");
    return 2;
  }
  const int master = std::atoi(argv[1]);
  const long long delay = std::atoll(argv[2]) * 1000;
  const std::string answer = std::string(argv[3]) + "\r\n";
  struct sigaction stop {};
  stop.sa_handler = [](int) { running = 0; };
  sigaction(SIGTERM, &stop, nullptr);

  struct Answered {
    long long first;
    long long last;
    long long written;
  };
  std::vector<Answered> answered;
  std::string file;
  long long first = 0;
  std::vector<char> buffer(65536);
  fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
  while (running != 0) {
    const ssize_t count = read(master, buffer.data(), buffer.size());
    const long long read = Now();
    if (count < 0 && errno == EIO) {
      usleep(1000);  // nobody holds the slave yet
    }
    if (count <= 0) {
      continue;
    }
    if (file.empty()) {
      first = read;
    }
    file.append(buffer.data(), static_cast<std::size_t>(count));
    if (file.size() < 2 || file.compare(file.size() - 2, 2, "\r\n") != 0) {
      continue;
    }
    file.clear();
    while (Now() < read + delay) {
    }
    const long long written = Now();
    if (write(master, answer.data(), answer.size()) != static_cast<ssize_t>(answer.size())) {
      std::fprintf(stderr, "responder: %s\n", std::strerror(errno));
    }
    answered.push_back({first, read, written});
  }
  for (const Answered& each : answered) {
    std::printf("%lld %lld %lld\n", each.first, each.last, each.written);
  }
  return 0;
}
