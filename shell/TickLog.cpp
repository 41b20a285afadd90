#include "shell/TickLog.h"

#include <sys/stat.h>
#include <time.h>

#include <array>
#include <cinttypes>
#include <cstdlib>

namespace shell {

std::string IsoTime(WallClock::time_point when) {
  const auto since = when.time_since_epoch();
  const auto seconds = std::chrono::floor<std::chrono::seconds>(since);
  const auto millis = std::chrono::duration_cast<std::chrono::milliseconds>(since - seconds);
  const time_t whole = static_cast<time_t>(seconds.count());
  tm local{};
  ::localtime_r(&whole, &local);
  std::array<char, 32> date{};
  std::array<char, 8> zone{};
  std::strftime(date.data(), date.size(), "%Y-%m-%dT%H:%M:%S", &local);
  std::strftime(zone.data(), zone.size(), "%z", &local);  // +0100
  std::array<char, 64> text{};
  std::snprintf(text.data(), text.size(), "%s.%03d%.3s:%.2s", date.data(),
                static_cast<int>(millis.count()), zone.data(), zone.data() + 3);
  return text.data();
}

std::string DescribeTick(const feeder::TickRecord& tick, bool failed) {
  if (tick.pause) {
    return "pause of " + std::to_string(feeder::PauseLength.count()) + " ms";
  }
  const std::string bytes = std::to_string(tick.size) + (tick.size == 1 ? " byte" : " bytes");
  if (tick.sent) {
    std::array<char, 32> took{};
    std::snprintf(took.data(), took.size(), "%.1f",
                  std::chrono::duration<double, std::milli>(tick.took).count());
    return tick.file + " " + bytes + " sent in " + took.data() + " ms";
  }
  if (failed && tick.written > 0) {
    return tick.file + " " + std::to_string(tick.written) + " of " + bytes + " sent, then failed";
  }
  if (failed) {
    return tick.file + " not sent: failed";
  }
  if (tick.port.empty()) {
    return tick.file + " " + bytes + " not sent: no port";
  }
  return tick.file + " " + std::to_string(tick.written) + " of " + bytes + " sent, then stopped";
}

bool IsJournal(int fd) {
  const char* stream = std::getenv("JOURNAL_STREAM");
  if (stream == nullptr) {
    return false;
  }
  std::uintmax_t device = 0;
  std::uintmax_t inode = 0;
  if (std::sscanf(stream, "%" SCNuMAX ":%" SCNuMAX, &device, &inode) != 2) {
    return false;
  }
  struct stat status {};
  return ::fstat(fd, &status) == 0 && status.st_dev == device && status.st_ino == inode;
}

TickLog::TickLog(bool enabled, std::FILE* out)
    : enabled_(enabled), out_(out), stamped_(!IsJournal(::fileno(out))) {}

void TickLog::Tick(WallClock::time_point started, const feeder::TickRecord& tick, bool failed) {
  Write(started, DescribeTick(tick, failed));
}

void TickLog::Note(WallClock::time_point when, const std::string& text) {
  Write(when, text);
}

void TickLog::Write(WallClock::time_point when, const std::string& text) {
  if (!enabled_) {
    return;
  }
  const std::string line = (stamped_ ? IsoTime(when) + " " : std::string()) + text + "\n";
  // One line at a time, so a pipe (| tee run.log) shows each tick as it happens. A reader that
  // went away is no reason to stop: the write fails with EPIPE and the feed goes on.
  std::fwrite(line.data(), 1, line.size(), out_);
  std::fflush(out_);
}

}  // namespace shell
