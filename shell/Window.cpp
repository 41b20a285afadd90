#include "shell/Window.h"

#include <cstdio>
#include <exception>
#include <string>

#include "shell/Events.h"
#include "shell/TickTimer.h"
#include "shell/WindowLoader.h"
#include "shell/WindowModule.h"

namespace shell {
namespace {

// The program behind the window's hooks.
struct Session {
  const Options& options;
  StopSignals& stopSignals;
  std::optional<TickTimer> timer;
  std::optional<Feed> feed;
  std::string failure;
};

CheckfeedWake ToWake(serial::WakeHandle handle) {
  return CheckfeedWake{.native = handle.NativeValue()};
}

CheckfeedWake StartTimer(void* context, char* error, size_t errorSize) {
  auto& session = *static_cast<Session*>(context);
  try {
    session.timer.emplace(session.options.period);
    session.feed.emplace(session.options, *session.timer, session.stopSignals.Wake());
    return ToWake(session.timer->Wake());
  } catch (const std::exception& failure) {
    std::snprintf(error, errorSize, "%s", failure.what());
    return ToWake(serial::WakeHandle());
  }
}

int TakeStop(void* context) {
  return static_cast<Session*>(context)->stopSignals.Take() ? 1 : 0;
}

void Show(void* context) {
  static_cast<Session*>(context)->feed->Show();
}

const char* Tick(void* context) {
  auto& session = *static_cast<Session*>(context);
  if (!session.timer->TakeTick()) {
    return nullptr;
  }
  const std::optional<std::string> failure = session.feed->Tick();
  if (!failure) {
    return nullptr;
  }
  session.failure = *failure;
  return session.failure.c_str();
}

void Close(void* context) {
  static_cast<Session*>(context)->feed->Close();
}

}  // namespace

bool WindowWanted(const Options& options) {
  return options.window && DisplayWanted();
}

std::optional<int> RunWindow(int& argc, char** argv, const Options& options,
                             StopSignals& stopSignals) {
  std::string why;
  const CheckfeedWindowRun run = LoadWindow(why);
  if (run == nullptr) {
    PrintFailure("no window: " + why + "; running headless");
    return std::nullopt;
  }
  Session session{.options = options, .stopSignals = stopSignals, .timer{}, .feed{}, .failure{}};
  const CheckfeedWindowHooks hooks{.context = &session,
                                   .start_timer = StartTimer,
                                   .stop = ToWake(stopSignals.Wake()),
                                   .take_stop = TakeStop,
                                   .show = Show,
                                   .tick = Tick,
                                   .close = Close};
  const int code = run(&argc, argv, &hooks);
  if (session.feed) {
    session.feed->Close();  // already closed by the window unless a failure ended it
  }
  if (code == CHECKFEED_WINDOW_NO_DISPLAY) {
    return std::nullopt;
  }
  return code;
}

}  // namespace shell
