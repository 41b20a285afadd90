#pragma once

// What the program tells, as it happens: each failure one line on stderr, and with --verbose a
// record of every tick on stdout; with --log both go, each line with its time, to a file too.
//
//   stderr   checkfeed: Cannot open file "check5.txt": No such file or directory
//   stdout   2026-12-07T10:00:20.015+01:00 check4.txt 265 bytes sent in 276.4 ms
//            2026-12-07T10:00:35.000+01:00 pause of 10000 ms
//   --log    both, each line with its time
//
// When stdout is the journal, which stamps every line itself, the record leaves the time out.

#include <chrono>
#include <cstdio>
#include <string>

#include "feeder/CheckCycle.h"
#include "shell/Platform.h"

namespace shell {

using WallClock = std::chrono::system_clock;

// "2026-12-07T10:00:20.015+01:00": local time, milliseconds, offset from UTC.
std::string IsoTime(WallClock::time_point when);

// "10:00:20": local time, to the second.
std::string ClockTime(WallClock::time_point when);

// What a tick did, in words: "check4.txt 265 bytes sent in 276.4 ms".
std::string DescribeTick(const feeder::TickRecord& tick, bool failed);

class Reporter {
 public:
  // The record goes to `out` when `verbose`, failures to `errors`, and both to `log` when it is
  // open; `capture` is where what the device sends is kept (both must outlive the reporter).
  Reporter(bool verbose, std::FILE* out, std::FILE* errors, Appendable* log = nullptr,
           Appendable* capture = nullptr);

  void Tick(WallClock::time_point started, const feeder::TickRecord& tick, bool failed);
  // A line about the port ("Port ... is back") at that time.
  void Note(WallClock::time_point when, const std::string& text);
  // "checkfeed: <message>".
  void Failure(const std::string& message);
  // The line a run ends with (--expect), on stdout whatever --verbose says, and in the log.
  void Summary(const std::string& text);
  // The capture's file, open, or null (see shell/Capture.h).
  Appendable* Capture() const {
    return capture_ != nullptr && IsOpen(*capture_) ? capture_ : nullptr;
  }

 private:
  void Record(WallClock::time_point when, const std::string& text);
  // Appends `line` to the log: a failure is said on stderr once, and once more, with the lines
  // lost, when the log can be written again.
  void Log(WallClock::time_point when, const std::string& line);
  static bool IsOpen(const Appendable& file) { return file.End().has_value(); }

  bool verbose_;
  std::FILE* out_;
  std::FILE* errors_;
  Appendable* log_;
  Appendable* capture_;
  bool stamped_;
  std::size_t logLost_ = 0;  // lines the log could not take since it failed
  bool logFailing_ = false;
};

}  // namespace shell
