#pragma once

// Failures for stderr and the journal, without the flood. A failure is reported the first time
// it happens. The same failure repeating unchanged (the same file or port, the same reason) is
// then counted, and the count reported at most once every ten minutes, and once more when it
// stops: a file missing for a day is a few hundred lines, not thousands.

#include <chrono>
#include <map>
#include <string>
#include <vector>

namespace shell {

class FailureLog {
 public:
  using Clock = std::chrono::steady_clock;
  static constexpr std::chrono::minutes kSummaryEvery{10};

  // `subject` (a file or a port) failed: `summary` says what went wrong, the same each time it
  // repeats; `message` is this occurrence in full. Returns the lines to report now.
  std::vector<std::string> Failed(const std::string& subject, const std::string& summary,
                                  const std::string& message, Clock::time_point now);

  // `subject` worked: if it had been failing, that has stopped.
  std::vector<std::string> Worked(const std::string& subject, Clock::time_point now);

  // The program ends: the counts not yet reported.
  std::vector<std::string> Flush(Clock::time_point now);

 private:
  struct Failing {
    std::string summary;
    Clock::time_point reported;  // when it was last reported, first time or count
    long unreported = 0;         // repeats since then
  };
  static void Summarise(const Failing& failing, Clock::time_point now,
                        std::vector<std::string>& lines);

  std::map<std::string, Failing> failing_;  // by subject
};

}  // namespace shell
