// The feed's part in judging what the device answers (--expect, --rotations): each send's verdict
// said and kept, late bytes said, and the end of a run that ends by itself (shell/Feed.h).

#include <string>
#include <utility>

#include "shell/Feed.h"

namespace shell {

void Feed::Judged(const feeder::Verdict& verdict, std::vector<BoxNotice>& notices) {
  std::string said = verdict.Name() + ": " + verdict.text;
  if (verdict.latency) {
    said += verdict.kind == feeder::Verdict::Kind::Expected
                ? ", latency " + feeder::Milliseconds(*verdict.latency)
                : " (latency " + feeder::Milliseconds(*verdict.latency) + ")";
  }
  reporter_.Note(WallClock::now(), said);
  if (capture_) {
    capture_->Verdict(WallClock::now(), said);
  }
  const std::string subject = verdict.file + "'s answer";
  if (verdict.Failed()) {
    Report(
        failures_.Failed(subject, verdict.Message(), verdict.Message(), FailureLog::Clock::now()));
    notices.push_back({.worked = false, .subject = subject, .text = verdict.Message()});
  } else {
    Report(failures_.Worked(subject, FailureLog::Clock::now()));
    notices.push_back(
        {.worked = true, .subject = subject, .text = verdict.file + " is answered as expected"});
  }
  verdicts_.Add(verdict);
  if (ending_) {
    Finish();  // the last verdict is in
  }
}

void Feed::TellLate() {
  if (const auto late = answers_->TakeLate()) {
    const std::string said =
        late->name + ": " + std::to_string(late->bytes) + (late->bytes == 1 ? " byte" : " bytes") +
        " came " + feeder::Milliseconds(late->after) + " after its last byte, past its " +
        std::to_string(answers_->Within().count()) + " ms window: late, and no part of any answer";
    Report(failures_.Failed("late answers", "answers came late", said, FailureLog::Clock::now()));
    if (capture_) {
      capture_->Note(WallClock::now(), said);
    }
  }
}

void Feed::Finish() {
  if (!std::exchange(finished_, true) && onFinished_) {
    onFinished_();
  }
}

int Feed::ExitStatus() const {
  return answers_ && verdicts_.AnyFailed() ? 3 : 0;
}

void Feed::Judging(const feeder::TickRecord& tick, const std::optional<std::string>& failure,
                   std::vector<BoxNotice>& notices) {
  if (tick.sent) {
    answers_->Left(tick.left);
  } else if (tick.judged) {
    // Not sent whole (or at all): nothing to judge it by.
    const std::string why = failure             ? *failure
                            : tick.port.empty() ? "not sent: no port"
                                                : "not sent whole: stopped";
    std::optional<feeder::Verdict> verdict = answers_->NotSent(why);
    if (!verdict) {
      verdict = feeder::Verdict{.kind = feeder::Verdict::Kind::NotJudged,
                                .file = tick.file,
                                .rotation = rotation_,
                                .text = "not judged: " + why,
                                .latency = {},
                                .answer = {}};
    }
    Judged(*verdict, notices);
  }
}

}  // namespace shell
