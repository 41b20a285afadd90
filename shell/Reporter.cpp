#include "shell/Reporter.h"

#include <array>
#include <cstdlib>
#include <utility>

#include "os/Error.h"

namespace shell {

std::string IsoTime(WallClock::time_point when) {
  const auto since = when.time_since_epoch();
  const auto seconds = std::chrono::floor<std::chrono::seconds>(since);
  const auto millis = std::chrono::duration_cast<std::chrono::milliseconds>(since - seconds);
  const LocalTime local = ToLocalTime(static_cast<std::time_t>(seconds.count()));
  std::array<char, 32> date{};
  std::strftime(date.data(), date.size(), "%Y-%m-%dT%H:%M:%S", &local.fields);
  const long offsetMinutes = std::abs(local.offsetSeconds) / 60;
  std::array<char, 64> text{};
  std::snprintf(text.data(), text.size(), "%s.%03d%c%02ld:%02ld", date.data(),
                static_cast<int>(millis.count()), local.offsetSeconds < 0 ? '-' : '+',
                offsetMinutes / 60, offsetMinutes % 60);
  return text.data();
}

std::string ClockTime(WallClock::time_point when) {
  const LocalTime local = ToLocalTime(WallClock::to_time_t(when));
  std::array<char, 16> text{};
  std::strftime(text.data(), text.size(), "%H:%M:%S", &local.fields);
  return text.data();
}

std::string DescribeTick(const feeder::TickRecord& tick, bool failed) {
  if (tick.pause) {
    return "pause of " + std::to_string(tick.paused.count()) + " ms";
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

Reporter::Reporter(bool verbose, std::FILE* out, std::FILE* errors, Appendable* log,
                   Appendable* capture)
    : verbose_(verbose),
      out_(out),
      errors_(errors),
      log_(log),
      capture_(capture),
      stamped_(!IsJournal(out)) {}

void Reporter::Tick(WallClock::time_point started, const feeder::TickRecord& tick, bool failed) {
  Record(started, DescribeTick(tick, failed));
}

void Reporter::Note(WallClock::time_point when, const std::string& text) {
  Record(when, text);
}

void Reporter::Failure(const std::string& message) {
  const std::string line = "checkfeed: " + message;
  WriteOut(errors_, line + "\n");
  Log(WallClock::now(), line);
}

void Reporter::Summary(const std::string& text) {
  WriteOut(out_, text + "\n");
  Log(WallClock::now(), text);
}

void Reporter::Record(WallClock::time_point when, const std::string& text) {
  if (verbose_) {
    // One line at a time, so a pipe (| tee run.log) shows each tick as it happens.
    WriteOut(out_, (stamped_ ? IsoTime(when) + " " : std::string()) + text + "\n");
  }
  Log(when, text);
}

void Reporter::Log(WallClock::time_point when, const std::string& line) {
  if (log_ == nullptr || !IsOpen(*log_)) {
    return;
  }
  const os::Outcome appended = log_->Append(IsoTime(when) + " " + line + "\n");
  if (!appended.Worked()) {
    // Said once: a full disk would otherwise say it at every line.
    if (!std::exchange(logFailing_, true)) {
      WriteOut(errors_, "checkfeed: Cannot write to the log " + os::Quoted(log_->Path()) + ": " +
                            appended.Why() + "\n");
    }
    ++logLost_;
    return;
  }
  if (std::exchange(logFailing_, false)) {
    const std::string lost = std::to_string(logLost_) + (logLost_ == 1 ? " line" : " lines");
    logLost_ = 0;
    const std::string back = "The log " + os::Quoted(log_->Path()) + " is written again: " + lost +
                             " could not be written";
    WriteOut(errors_, "checkfeed: " + back + "\n");
    [[maybe_unused]] const os::Outcome noted = log_->Append(IsoTime(when) + " " + back + "\n");
  }
}

}  // namespace shell
