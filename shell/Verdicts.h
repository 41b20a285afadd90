#pragma once

// The verdicts of a run (--expect), for the end: a summary in words a script can read, the exit
// status, and a JUnit XML report (--junit FILE) for CI.
//
//   10 answers judged: 6 as expected, 2 differed, 2 missing; latency min/median/p95/max
//   20.1/20.4/21.0/21.0 ms
//
// JUnit: one testcase per judged send, named "check3.txt #2" (its rotation), classname
// "checkfeed", its time the latency in seconds; a failure element for an answer that differed or
// is missing, an error element for a send that could not be judged, each with the verdict's
// message; the testsuite's tests=, failures= and errors= count them.

#include <chrono>
#include <string>
#include <vector>

#include "feeder/Answers.h"
#include "os/Error.h"
#include "shell/Reporter.h"

namespace shell {

class Verdicts {
 public:
  Verdicts() : began_(WallClock::now()) {}

  void Add(feeder::Verdict verdict) { verdicts_.push_back(std::move(verdict)); }

  // Whether any judged send failed: the run ends with exit status 3.
  bool AnyFailed() const;

  // The line for the end of the run.
  std::string Summary() const;

  // The report, as of `now`.
  std::string JUnit(WallClock::time_point now) const;

 private:
  WallClock::time_point began_;
  std::vector<feeder::Verdict> verdicts_;
};

// Writes `text` to the file `path` (absolute) whole: to a file beside it first, then renamed over
// it, so that a reader never sees half of it.
os::Outcome WriteWhole(const std::string& path, const std::string& text);

// Whether a file can be written as `path` (absolute) at the end: one made beside it, and taken
// away.
os::Outcome CanWrite(const std::string& path);

// `path` made absolute now, as UTF-8, for a file written at the end from wherever the program
// then is (--dir changes the working directory).
std::string Absolute(const std::string& path);

}  // namespace shell
