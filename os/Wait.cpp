#include "os/Wait.h"

#include <algorithm>
#include <array>
#include <stdexcept>
#include <utility>

namespace os {
namespace {

struct Heartbeat {
  std::chrono::nanoseconds every{0};
  std::function<void()> beat;
  Clock::time_point last{};  // when it last beat
};

Heartbeat& TheHeartbeat() {
  static Heartbeat heartbeat;
  return heartbeat;
}

}  // namespace

void SetHeartbeat(std::chrono::nanoseconds every, std::function<void()> beat) {
  TheHeartbeat() = {.every = every, .beat = std::move(beat), .last = Clock::now()};
}

std::optional<std::size_t> WaitForAny(std::span<const Waited> waited,
                                      std::optional<Clock::time_point> deadline) {
  Heartbeat& heartbeat = TheHeartbeat();
  if (!heartbeat.beat) {
    return SystemWait(waited, deadline);
  }
  // Beats when its time has come, whether in one long wait or across many short ones (a held
  // send looks at its line ten times a second), and waits in steps that end when the next beat
  // is due, or at the deadline itself when that is nearer: the wait ends when it would have.
  for (;;) {
    if (const auto now = Clock::now(); now - heartbeat.last >= heartbeat.every) {
      heartbeat.last = now;
      heartbeat.beat();
    }
    const auto next = heartbeat.last + heartbeat.every;
    const bool last = deadline && *deadline <= next;
    if (const auto ready = SystemWait(waited, last ? *deadline : next); ready || last) {
      return ready;
    }
  }
}

std::optional<std::size_t> WaitForAny(std::span<const WakeHandle> handles,
                                      std::optional<Clock::time_point> deadline) {
  std::array<Waited, 7> waited{};
  if (handles.size() > waited.size()) {
    throw std::invalid_argument("too many handles to wait for");
  }
  std::transform(handles.begin(), handles.end(), waited.begin(),
                 [](WakeHandle handle) { return Waited{.handle = handle}; });
  return WaitForAny(std::span(waited).first(handles.size()), deadline);
}

}  // namespace os
