#pragma once

// A call the system gives no way to end or bound (a name looked up in DNS: getaddrinfo and
// GetAddrInfoW block for the resolver's own time-outs, and no signal ends them), run on a thread
// of its own, so that the program's thread waits for it only as long as it chooses and a stop
// ends that wait at once. The call runs on to its end whatever happens; what it returns is kept
// for whoever asks next, and a call already under way is waited for again rather than made twice.

#include <array>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
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

// Calls `call` aside under `key`, or waits again for the call of that key still under way: one at
// a time, however often it is asked for while it does not end. Waits until `deadline` or
// `cancel`; gives what the call returned once it is done (and forgets the call), and otherwise
// nothing, with how the wait ended in `waited`.
template <typename Result>
std::optional<Result> CallAside(const std::string& key, const std::function<Result()>& call,
                                Clock::time_point deadline, WakeHandle cancel,
                                typename Aside<Result>::Waited& waited) {
  static std::map<std::string, Aside<Result>> calls;  // under way, or done and not yet taken
  auto found = calls.find(key);
  if (found == calls.end()) {
    found = calls.emplace(key, Aside<Result>(call)).first;
  }
  waited = found->second.Wait(deadline, cancel);
  if (waited != Aside<Result>::Waited::Done) {
    return std::nullopt;
  }
  std::optional<Result> answer = found->second.Answer();
  calls.erase(found);
  return answer;
}

}  // namespace os
