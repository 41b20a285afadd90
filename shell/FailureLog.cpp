#include "shell/FailureLog.h"

namespace shell {
namespace {

std::string Span(FailureLog::Clock::duration span) {
  const auto seconds = std::chrono::round<std::chrono::seconds>(span).count();
  if (seconds < 120) {
    return std::to_string(seconds) + " s";
  }
  return std::to_string((seconds + 30) / 60) + " minutes";
}

}  // namespace

void FailureLog::Summarise(const Failing& failing, Clock::time_point now,
                           std::vector<std::string>& lines) {
  if (failing.unreported > 0) {
    lines.push_back(failing.summary + " (again " + std::to_string(failing.unreported) +
                    (failing.unreported == 1 ? " time" : " times") + " in the last " +
                    Span(now - failing.reported) + ")");
  }
}

std::vector<std::string> FailureLog::Failed(const std::string& subject, const std::string& summary,
                                            const std::string& message, Clock::time_point now) {
  std::vector<std::string> lines;
  const auto found = failing_.find(subject);
  if (found != failing_.end() && found->second.summary == summary) {
    Failing& failing = found->second;
    ++failing.unreported;
    if (now - failing.reported >= kSummaryEvery) {
      Summarise(failing, now, lines);
      failing.reported = now;
      failing.unreported = 0;
    }
    return lines;
  }
  // New, or the same subject failing for another reason: the old failure has stopped.
  if (found != failing_.end()) {
    Summarise(found->second, now, lines);
  }
  failing_[subject] = Failing{.summary = summary, .reported = now, .unreported = 0};
  lines.push_back(message);
  return lines;
}

std::vector<std::string> FailureLog::Worked(const std::string& subject, Clock::time_point now) {
  std::vector<std::string> lines;
  if (const auto found = failing_.find(subject); found != failing_.end()) {
    Summarise(found->second, now, lines);
    failing_.erase(found);
  }
  return lines;
}

std::vector<std::string> FailureLog::Flush(Clock::time_point now) {
  std::vector<std::string> lines;
  for (const auto& [subject, failing] : failing_) {
    Summarise(failing, now, lines);
  }
  failing_.clear();
  return lines;
}

}  // namespace shell
