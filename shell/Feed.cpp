#include "shell/Feed.h"

#include <array>
#include <exception>
#include <optional>
#include <utility>

#include "os/Error.h"
#include "shell/Platform.h"
#include "shell/PortAdvice.h"

namespace shell {

Feed::Feed(const Options& options, const TickTimer& timer, os::WakeHandle stop, Reporter& reporter,
           serial::SerialLink::Opener opener, PortLister lister)
    : options_(options),
      timer_(timer),
      stop_(stop),
      link_(std::move(opener)),
      cycle_(link_, options.pause,
             [this, &timer](std::chrono::milliseconds length) {
               const auto until = timer.Due() + length;
               Tell("pause until " +
                    ClockTime(WallClock::now() + std::chrono::duration_cast<WallClock::duration>(
                                                     until - os::Clock::now())) +
                    "; next " + feeder::CheckFileName(1));
               Pause(until);
             }),
      reporter_(reporter),
      lister_(std::move(lister)) {
  // A held line is said at once, from the send that waits for it.
  link_.TellHeld([this](const std::string& line, bool held) { TellHeld(line, held); });
  if (!options.capture.empty()) {
    // A burst ends after a silence of 20 characters at the line's speed, and never sooner than
    // 50 ms: USB adapters hand on what they received every 16 ms or so.
    const unsigned bytesPerSecond = std::max(1U, serial::BytesPerSecond(options.port.line));
    const auto silence = std::max<std::chrono::nanoseconds>(
        std::chrono::milliseconds(50), std::chrono::seconds(20) / bytesPerSecond);
    if (Appendable* file = reporter_.Capture()) {
      captureFile_.emplace(
          *file, options.captureFormat,
          [this](const std::string& text, bool failed) { CaptureTold(text, failed); });
    }
    capture_.emplace(options.captureFormat, silence,
                     [this](const std::string& text, std::size_t bytes, bool begins) {
                       if (captureFile_) {
                         captureFile_->Write(text, bytes, begins);
                       }
                     });
  }
  if (options.expect) {
    cycle_.ReadExpectations();
    answers_.emplace(options.answerWithin);
  }
  cycle_.Sending = [this](const std::string& file, std::size_t size) {
    if (capture_) {
      Answered();
      capture_->Sent(WallClock::now(), file, size);
      answer_ = Answer{.file = file, .size = size};
    }
    if (answers_) {
      TellLate();  // what came after the last send's window, before this send
      if (auto closed =
              answers_->Began(file, rotation_, cycle_.LastTick().expectation, os::Clock::now())) {
        Judged(*closed, meanwhile_);
      }
    }
  };
}

namespace {

// What a held line is counted and shown under: the port, apart from its other failures (a setting
// it did not take stays true when it sends again).
std::string HeldSubject(const std::string& device) {
  return "Port " + os::Quoted(device) + " was held";
}

}  // namespace

void Feed::TellHeld(const std::string& line, bool held) {
  if (!held) {
    if (heldSaid_) {
      reporter_.Failure(line);
    }
    return;
  }
  Tell("port held since " + ClockTime(WallClock::now()));
  const std::string subject = HeldSubject(options_.port.device);
  const std::vector<std::string> lines =
      failures_.Failed(subject, subject, line, FailureLog::Clock::now());
  heldSaid_ = !lines.empty() && lines.back() == line;
  Report(lines);
}

std::vector<BoxNotice> Feed::Show() {
  serial::PortOptions port = options_.port;
  if (capture_ || answers_) {
    port.heard = [this](std::span<const std::byte> bytes) { Heard(bytes); };
  }
  const os::Outcome opened = link_.Open(port, stop_);
  if (!link_.OpenNote().empty()) {
    reporter_.Note(WallClock::now(),
                   "Port " + os::Quoted(options_.port.device) + ": " + link_.OpenNote());
  }
  if (opened.Worked()) {
    std::vector<BoxNotice> notices;
    Hear(notices);  // what the opening heard: a server that sent what is not telnet
    notices.insert(notices.end(), meanwhile_.begin(), meanwhile_.end());
    meanwhile_.clear();
    return notices;
  }
  reporter_.Failure(opened.Why());
  std::string box = opened.Why();
  if (const serial::PortProblem problem = link_.Problem(); problem != serial::PortProblem::None) {
    box += ". " + PortAdvice(problem, options_.port.reconnect, lister_(), DocsName(),
                             options_.port.device);
  }
  return {{.worked = false, .subject = options_.port.device, .text = box}};
}

std::vector<BoxNotice> Feed::Tick() {
  const auto started = WallClock::now();
  std::vector<BoxNotice> notices;
  // What came before this tick answers what went before it: heard before this tick's send is
  // marked (a tick and input due at once are served tick first). An answer's window ends at the
  // next tick at the latest; once the last rotation's last verdict is in, the run ends.
  Hear(notices);
  if (answers_) {
    if (auto closed = answers_->Close(os::Clock::now(), true)) {
      Judged(*closed, notices);
    }
  }
  if (ending_) {
    Finish();
    return notices;
  }
  std::optional<std::string> failure;
  try {
    cycle_.TimerTimer();
  } catch (const feeder::TickFailure& tickFailure) {
    failure = tickFailure.what();
    notices.push_back({.worked = false, .subject = tickFailure.Subject(), .text = *failure});
    Report(failures_.Failed(tickFailure.Subject(), tickFailure.Summary(), *failure,
                            FailureLog::Clock::now()));
  } catch (const std::exception& other) {
    failure = other.what();
    notices.push_back({.worked = false, .subject = *failure, .text = *failure});
    Report(failures_.Failed(*failure, *failure, *failure, FailureLog::Clock::now()));
  }

  const feeder::TickRecord& tick = cycle_.LastTick();
  if (answers_ && !tick.pause) {
    Judging(tick, failure, notices);
  }
  if (tick.pause) {
    ++rotation_;
  } else if (options_.rotations > 0 && rotation_ == static_cast<int>(options_.rotations) &&
             cycle_.CheckNumber() == feeder::FilesPerRotation) {
    ending_ = true;  // the last rotation is sent: the run ends once its last verdict is in
    if (!answers_ || !answers_->Deadline()) {
      Finish();
    }
  }
  notices.insert(notices.end(), meanwhile_.begin(), meanwhile_.end());
  meanwhile_.clear();
  if (answer_ && answer_->over == os::Clock::time_point{}) {
    answer_->over = os::Clock::now();  // the send is over: what comes now answers it
  }
  if (!tick.portNotice.empty()) {
    reporter_.Failure(tick.portNotice);
    reporter_.Note(started, tick.portNotice);
    notices.insert(notices.begin(),
                   {.worked = true, .subject = options_.port.device, .text = tick.portNotice});
  }
  const std::string held = HeldSubject(tick.port);
  if (!tick.held.empty()) {
    // The ticks that fell due meanwhile run as one, never as a burst; the user is told how many.
    const long long missed = timer_.Missed();
    if (heldSaid_) {
      reporter_.Failure(
          "While port " + os::Quoted(tick.port) + " was held, " +
          (missed == 0 ? "no tick" : std::to_string(missed) + " tick" + (missed == 1 ? "" : "s")) +
          " fell due" + (missed == 0 ? "." : "; the beat goes on with one, not a burst."));
    }
    notices.push_back({.worked = false, .subject = held, .text = tick.held});
    heldShown_ = true;
  }
  reporter_.Tick(started, tick, failure.has_value());
  if (!failure && !tick.pause) {
    Report(failures_.Worked(tick.file, FailureLog::Clock::now()));
    if (tick.sent) {
      Report(failures_.Worked(tick.port, FailureLog::Clock::now()));
    }
    // A whole send that nothing held: a held line said before is over, and leaves the box.
    if (tick.sent && tick.held.empty()) {
      Report(failures_.Worked(held, FailureLog::Clock::now()));
      if (std::exchange(heldShown_, false)) {
        notices.push_back({.worked = true,
                           .subject = held,
                           .text = "Port " + os::Quoted(tick.port) + " sends again"});
      }
    }
  }
  Hear(notices);  // what came while the tick ran
  Publish(tick, failure.has_value());
  return notices;
}

void Feed::Publish(const feeder::TickRecord& tick, bool failed) {
  if (!tick.portNotice.empty()) {
    lostSince_.clear();  // back
  }
  if (!tick.port.empty() && link_.PortHandle() == nullptr && lostSince_.empty()) {
    lostSince_ = ClockTime(WallClock::now());  // lost in this tick's send
  }
  if (tick.pause) {
    return;  // the pause said its own as it began
  }
  if (!lostSince_.empty()) {
    PublishLost();
    return;
  }
  const std::int32_t number = cycle_.CheckNumber();
  const std::string next = number < feeder::FilesPerRotation
                               ? "next " + feeder::CheckFileName(number + 1)
                               : "next the pause";
  const std::string now = ClockTime(WallClock::now());
  if (tick.sent) {
    Tell(tick.file + " sent " + now + "; " + next);
  } else {
    Tell(tick.file + " not sent " + now + (failed ? "" : ": no port") + "; " + next);
  }
}

void Feed::PublishLost() {
  Tell("port lost since " + lostSince_ +
       (options_.port.reconnect ? "; retrying at each tick" : ""));
}

void Feed::Tell(const std::string& status) {
  lastStatus_ = status;
  if (status_) {
    status_(captureFailing_.empty() ? status : status + "; " + captureFailing_);
  }
}

void Feed::CaptureTold(const std::string& text, bool failed) {
  const std::string& subject = options_.capture;
  if (failed) {
    captureFailing_ = "capture not written since " + ClockTime(WallClock::now()) + " (" +
                      captureFile_->Failing() + ")";
    Report(failures_.Failed(subject, text, text, FailureLog::Clock::now()));
  } else {
    captureFailing_.clear();
    Report(failures_.Worked(subject, FailureLog::Clock::now()));
    reporter_.Failure(text);
  }
  meanwhile_.push_back({.worked = !failed, .subject = subject, .text = text});
  Tell(lastStatus_);
}

void Feed::Pause(os::Clock::time_point until) {
  const std::array<os::WakeHandle, 2> handles{stop_, link_.Input()};
  while (const auto ready = os::WaitForAny(handles, until)) {
    if (*ready == 0) {
      return;
    }
    Hear(meanwhile_);
  }
}

std::vector<BoxNotice> Feed::Input() {
  std::vector<BoxNotice> notices = std::exchange(meanwhile_, {});
  Hear(notices);
  notices.insert(notices.end(), meanwhile_.begin(), meanwhile_.end());
  meanwhile_.clear();
  return notices;
}

void Feed::Hear(std::vector<BoxNotice>& notices) {
  const serial::Heard heard = link_.TakeInput();
  for (const std::string& notice : heard.notices) {
    reporter_.Failure(notice);
    if (capture_) {
      capture_->Note(WallClock::now(), notice);
    }
  }
  // A burst whose silence has come is over; an answer whose window has passed is judged.
  std::optional<os::Clock::time_point> wake;
  if (capture_) {
    if (const auto quiet = capture_->QuietAt(); quiet && *quiet <= os::Clock::now()) {
      capture_->EndBurst();
      Answered();
    }
    wake = capture_->QuietAt();
  }
  if (answers_) {
    if (auto closed = answers_->Close(os::Clock::now(), false)) {
      Judged(*closed, notices);
    }
    if (const auto deadline = answers_->Deadline(); deadline && (!wake || *deadline < *wake)) {
      wake = deadline;
    }
  }
  if (capture_ || answers_) {
    link_.WakeAt(wake);
  }
  if (!heard.lost.empty()) {
    lostSince_ = ClockTime(WallClock::now());
    PublishLost();
    const std::string& device = options_.port.device;
    Report(failures_.Failed(device, heard.lost, heard.lost, FailureLog::Clock::now()));
    notices.push_back({.worked = false, .subject = device, .text = heard.lost});
  }
}

void Feed::Heard(std::span<const std::byte> bytes) {
  const auto now = os::Clock::now();
  if (answers_) {
    answers_->Received(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()),
                       now);
  }
  if (!capture_) {
    return;
  }
  capture_->Received(bytes, WallClock::now(), now);
  if (answer_) {
    answer_->back += bytes.size();
    answer_->last = now;
  }
}

void Feed::Answered() {
  if (!answer_ || answer_->over == os::Clock::time_point{}) {
    return;  // no send, or one still under way
  }
  const Answer answer = *std::exchange(answer_, std::nullopt);
  std::string back = "nothing back";
  if (answer.back > 0) {
    const auto within = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::max(answer.last - answer.over, os::Clock::duration::zero()));
    back = std::to_string(answer.back) + (answer.back == 1 ? " byte" : " bytes") + " back within " +
           std::to_string(within.count()) + " ms";
  }
  reporter_.Note(WallClock::now(), answer.file + " sent: " + std::to_string(answer.size) +
                                       (answer.size == 1 ? " byte; " : " bytes; ") + back);
}

void Feed::Close() {
  if (std::exchange(closed_, true)) {
    return;
  }
  if (capture_ || answers_) {
    std::vector<BoxNotice> last;
    Hear(last);  // what came after the last look
    if (answers_) {
      // However the run ends, what was open is judged, and the verdicts are given.
      if (auto closed = answers_->Close(os::Clock::now(), true)) {
        Judged(*closed, last);
      }
      TellLate();
    }
  }
  if (capture_) {
    capture_->EndBurst();
    Answered();
  }
  link_.Close();
  Report(failures_.Flush(FailureLog::Clock::now()));
  if (answers_) {
    reporter_.Summary(verdicts_.Summary());
    if (!options_.junit.empty()) {
      if (const os::Outcome written = WriteWhole(options_.junit, verdicts_.JUnit(WallClock::now()));
          !written.Worked()) {
        reporter_.Failure("Cannot write the report " + os::Quoted(options_.junit) + ": " +
                          written.Why());
      }
    }
  }
}

void Feed::Report(const std::vector<std::string>& lines) {
  for (const std::string& line : lines) {
    reporter_.Failure(line);
  }
}

}  // namespace shell
