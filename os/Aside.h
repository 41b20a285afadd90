#pragma once

// A call the system gives no way to end or bound (a name looked up in DNS: getaddrinfo and
// GetAddrInfoW block for the resolver's own time-outs, and no signal ends them), run on a thread
// of its own, so that the program's thread waits for it only as long as it chooses and a stop
// ends that wait at once. The call runs on to its end whatever happens; what it returns is kept
// for whoever asks next, and a call already under way is waited for again rather than made twice.

#include <array>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <utility>

#include "os/Wait.h"

namespace os {

template <typename Result>
class Aside {
 public:
  enum class Waited { Done, Time, Stopped };

  // Starts `call` on a thread of its own. Throws std::system_error when the system has no thread
  // or event to give.
  explicit Aside(std::function<Result()> call) : state_(std::make_shared<State>()) {
    std::thread([state = state_, call = std::move(call)] {
      Result result = call();
      const std::lock_guard lock(state->mutex);
      state->result = std::move(result);
      state->done.Raise();
    }).detach();
  }

  // Waits until the call is done, `deadline` passes or `cancel` is ready, whichever comes first.
  Waited Wait(Clock::time_point deadline, WakeHandle cancel) const {
    const std::array<WakeHandle, 2> handles{state_->done.Handle(), cancel};
    const auto ready = WaitForAny(handles, deadline);
    return !ready ? Waited::Time : *ready == 0 ? Waited::Done : Waited::Stopped;
  }

  // What the call returned, once it is done; nothing before.
  std::optional<Result> Answer() const {
    const std::lock_guard lock(state_->mutex);
    return state_->result;
  }

 private:
  struct State {
    std::mutex mutex;
    std::optional<Result> result;
    WakeEvent done;
  };
  std::shared_ptr<State> state_;
};

}  // namespace os
