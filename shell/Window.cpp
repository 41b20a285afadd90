#include "shell/Window.h"

#include <cstdio>
#include <exception>
#include <string>
#include <vector>

#include "shell/FailureTally.h"
#include "shell/Feed.h"
#include "shell/TickTimer.h"
#include "shell/WindowLoader.h"
#include "shell/WindowModule.h"

namespace shell {
namespace {

// The program behind the window's hooks.
struct Session {
  const Options& options;
  StopSignals& stopSignals;
  Reporter& reporter;
  std::optional<TickTimer> timer{};
  std::optional<Feed> feed{};
  FailureTally tally{};
  std::string title{};
  std::string text{};
  CheckfeedBox box{};

  // What the box shows after `notices`, or null when it stays as it is.
  const CheckfeedBox* Update(const std::vector<BoxNotice>& notices) {
    bool changed = false;
    for (const BoxNotice& notice : notices) {
      if (notice.worked) {
        changed = tally.Worked(notice.subject, notice.text) || changed;
      } else {
        tally.Failed(notice.subject, notice.text);
        changed = true;
      }
    }
    if (!changed) {
      return nullptr;
    }
    title = tally.Title();
    text = tally.Text("\n");
    box = {.title = title.c_str(), .text = text.c_str()};
    return &box;
  }
};

CheckfeedWake ToWake(os::WakeHandle handle) {
  return CheckfeedWake{.native = handle.NativeValue()};
}

Session& Of(void* context) {
  return *static_cast<Session*>(context);
}

CheckfeedWake StartTimer(void* context, char* error, size_t errorSize) {
  Session& session = Of(context);
  try {
    session.timer.emplace(session.options.period);
    session.feed.emplace(session.options, *session.timer, session.stopSignals.Wake(),
                         session.reporter);
    // A run that is over by itself (--rotations) closes the window as a stop request does.
    session.feed->OnFinished([&session] { session.stopSignals.Request(); });
    return ToWake(session.timer->Wake());
  } catch (const std::exception& failure) {
    std::snprintf(error, errorSize, "%s", failure.what());
    return ToWake(os::WakeHandle());
  }
}

int TakeStop(void* context) {
  return Of(context).stopSignals.Take() ? 1 : 0;
}

const CheckfeedBox* Show(void* context) {
  Session& session = Of(context);
  return session.Update(session.feed->Show());
}

const CheckfeedBox* Tick(void* context) {
  Session& session = Of(context);
  if (!session.timer->TakeTick()) {
    return nullptr;
  }
  return session.Update(session.feed->Tick());
}

CheckfeedWake Input(void* context) {
  return ToWake(Of(context).feed->InputWake());
}

const CheckfeedBox* Heard(void* context) {
  Session& session = Of(context);
  return session.Update(session.feed->Input());
}

void Close(void* context) {
  Of(context).feed->Close();
}

void Dismissed(void* context) {
  Of(context).tally.Dismissed();
}

void Fatal(void* context, const char* message) {
  Of(context).reporter.Failure(message);
}

}  // namespace

bool WindowWanted(const Options& options) {
  return options.window && DisplayWanted();
}

std::optional<int> RunWindow(int& argc, char** argv, const Options& options,
                             StopSignals& stopSignals, Reporter& reporter) {
  std::string why;
  const CheckfeedWindowRun run = LoadWindow(why);
  if (run == nullptr) {
    reporter.Failure("no window: " + why + "; running headless");
    return std::nullopt;
  }
  Session session{.options = options, .stopSignals = stopSignals, .reporter = reporter};
  const CheckfeedWindowHooks hooks{.context = &session,
                                   .start_timer = StartTimer,
                                   .stop = ToWake(stopSignals.Wake()),
                                   .take_stop = TakeStop,
                                   .show = Show,
                                   .tick = Tick,
                                   .input = Input,
                                   .heard = Heard,
                                   .close = Close,
                                   .dismissed = Dismissed,
                                   .fatal = Fatal};
  const int code = run(&argc, argv, &hooks);
  if (session.feed) {
    session.feed->Close();  // already closed by the window unless a failure ended it
  }
  if (code == CHECKFEED_WINDOW_NO_DISPLAY) {
    return std::nullopt;
  }
  return code == 0 && session.feed ? session.feed->ExitStatus() : code;
}

}  // namespace shell
