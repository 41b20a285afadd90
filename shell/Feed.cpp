#include "shell/Feed.h"

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
             [&timer, stop](std::chrono::milliseconds length) {
               os::WaitUntil(timer.Due() + length, stop);
             }),
      reporter_(reporter),
      lister_(std::move(lister)) {
  // A held line is said at once, from the send that waits for it.
  link_.TellHeld([this](const std::string& line, bool held) { TellHeld(line, held); });
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
  const std::string subject = HeldSubject(options_.port.device);
  const std::vector<std::string> lines =
      failures_.Failed(subject, subject, line, FailureLog::Clock::now());
  heldSaid_ = !lines.empty() && lines.back() == line;
  Report(lines);
}

std::vector<BoxNotice> Feed::Show() {
  const os::Outcome opened = link_.Open(options_.port, stop_);
  if (!link_.OpenNote().empty()) {
    reporter_.Note(WallClock::now(),
                   "Port " + os::Quoted(options_.port.device) + ": " + link_.OpenNote());
  }
  if (opened.Worked()) {
    std::vector<BoxNotice> notices;
    Hear(notices);  // what the opening heard: a server that sent what is not telnet
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
  return notices;
}

std::vector<BoxNotice> Feed::Input() {
  std::vector<BoxNotice> notices;
  Hear(notices);
  return notices;
}

void Feed::Hear(std::vector<BoxNotice>& notices) {
  std::vector<std::byte> bytes;
  const serial::Heard heard = link_.TakeInput(bytes);
  if (!heard.notice.empty()) {
    reporter_.Failure(heard.notice);
  }
  if (!heard.lost.empty()) {
    const std::string& device = options_.port.device;
    Report(failures_.Failed(device, heard.lost, heard.lost, FailureLog::Clock::now()));
    notices.push_back({.worked = false, .subject = device, .text = heard.lost});
  }
}

void Feed::Close() {
  link_.Close();
  Report(failures_.Flush(FailureLog::Clock::now()));
}

void Feed::Report(const std::vector<std::string>& lines) {
  for (const std::string& line : lines) {
    reporter_.Failure(line);
  }
}

}  // namespace shell
