#include "shell/Events.h"

#include <exception>
#include <utility>

#include "shell/Platform.h"

namespace shell {

Feed::Feed(const Options& options, const TickTimer& timer, serial::WakeHandle stop,
           serial::SerialLink::Opener opener)
    : options_(options),
      stop_(stop),
      link_(std::move(opener)),
      cycle_(link_, options.pause,
             [&timer, stop](std::chrono::milliseconds length) {
               WaitUntil(timer.Due() + length, stop);
             }),
      record_(options.verbose, stdout) {}

void Feed::Show() {
  if (const std::string message = link_.Open(options_.port, stop_); !message.empty()) {
    PrintFailure(message);
  }
}

std::optional<std::string> Feed::Tick() {
  const auto started = WallClock::now();
  std::optional<std::string> failure;
  try {
    cycle_.TimerTimer();
  } catch (const feeder::TickFailure& tickFailure) {
    failure = tickFailure.what();
    Report(failures_.Failed(tickFailure.Subject(), tickFailure.Summary(), *failure,
                            FailureLog::Clock::now()));
  } catch (const std::exception& other) {
    failure = other.what();
    Report(failures_.Failed(*failure, *failure, *failure, FailureLog::Clock::now()));
  }

  const feeder::TickRecord& tick = cycle_.LastTick();
  if (!tick.portNotice.empty()) {
    PrintFailure(tick.portNotice);
    record_.Note(started, tick.portNotice);
  }
  record_.Tick(started, tick, failure.has_value());
  if (!failure && !tick.pause) {
    Report(failures_.Worked(tick.file, FailureLog::Clock::now()));
    if (tick.sent) {
      Report(failures_.Worked(tick.port, FailureLog::Clock::now()));
    }
  }
  return failure;
}

void Feed::Close() {
  link_.Close();
  Report(failures_.Flush(FailureLog::Clock::now()));
}

void Feed::Report(const std::vector<std::string>& lines) {
  for (const std::string& line : lines) {
    PrintFailure(line);
  }
}

void PrintFailure(const std::string& message) {
  WriteOut(stderr, "checkfeed: " + message + "\n");
}

}  // namespace shell
