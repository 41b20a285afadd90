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
};

Heartbeat& TheHeartbeat() {
  static Heartbeat heartbeat;
  return heartbeat;
}

}  // namespace

void SetHeartbeat(std::chrono::nanoseconds every, std::function<void()> beat) {
  TheHeartbeat() = {.every = every, .beat = std::move(beat)};
}

std::optional<std::size_t> WaitForAny(std::span<const Waited> waited,
                                      std::optional<Clock::time_point> deadline) {
  const Heartbeat& heartbeat = TheHeartbeat();
  if (!heartbeat.beat) {
    return SystemWait(waited, deadline);
  }
  // In steps no longer than the beat's, each ended by the deadline itself when it is nearer: the
  // wait ends when it would have.
  for (;;) {
    const auto step = Clock::now() + heartbeat.every;
    const bool last = deadline && *deadline <= step;
    if (const auto ready = SystemWait(waited, last ? *deadline : step); ready || last) {
      return ready;
    }
    heartbeat.beat();
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
