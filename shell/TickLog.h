#pragma once

// The record of every tick (--verbose): one line per tick on stdout, written as it happens.
//
//   2026-12-07T10:00:20.015+01:00 check4.txt 265 bytes sent in 276.4 ms
//   2026-12-07T10:00:35.000+01:00 pause of 10000 ms
//
// When stdout is the journal, which stamps every line itself, the time is left out.

#include <chrono>
#include <cstdio>
#include <string>

#include "feeder/CheckCycle.h"

namespace shell {

using WallClock = std::chrono::system_clock;

// "2026-12-07T10:00:20.015+01:00": local time, milliseconds, offset from UTC.
std::string IsoTime(WallClock::time_point when);

// What a tick did, in words: "check4.txt 265 bytes sent in 276.4 ms".
std::string DescribeTick(const feeder::TickRecord& tick, bool failed);

class TickLog {
 public:
  // Writes nothing unless `enabled`.
  TickLog(bool enabled, std::FILE* out);

  void Tick(WallClock::time_point started, const feeder::TickRecord& tick, bool failed);
  // A line about the port ("Port ... is back") at that time.
  void Note(WallClock::time_point when, const std::string& text);

 private:
  void Write(WallClock::time_point when, const std::string& text);

  bool enabled_;
  std::FILE* out_;
  bool stamped_;
};

}  // namespace shell
