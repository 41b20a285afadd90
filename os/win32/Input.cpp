#include <windows.h>

#include <system_error>

#include "os/Input.h"

namespace os {
namespace {

void CALLBACK Ring(void* event, BOOLEAN /*timedOut*/) {
  SetEvent(event);
}

}  // namespace

// Manual-reset: a port's overlapped read sets it when it finishes, and a timer of the timer
// queue when a time asked for comes; Clear resets it before what was announced is taken.
InputWake::InputWake() {
  HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  if (event == nullptr) {
    throw std::system_error(static_cast<int>(GetLastError()), std::system_category(),
                            "Cannot watch the port's input");
  }
  owned_.Reset(WakeOf(event));
}

InputWake::~InputWake() {
  WakeAt(std::nullopt);
}

void InputWake::WakeAt(std::optional<Clock::time_point> when) {
  if (queued_ != nullptr) {
    DeleteTimerQueueTimer(nullptr, queued_, INVALID_HANDLE_VALUE);  // and its callback under way
    queued_ = nullptr;
  }
  if (!when) {
    return;
  }
  const auto in = std::chrono::ceil<std::chrono::milliseconds>(*when - Clock::now());
  HANDLE timer = nullptr;
  if (CreateTimerQueueTimer(&timer, nullptr, Ring, NativeOf<HANDLE>(owned_.Get()),
                            static_cast<DWORD>(std::max<long long>(in.count(), 0)), 0,
                            WT_EXECUTEINTIMERTHREAD | WT_EXECUTEONLYONCE)) {
    queued_ = timer;
  }
}

void InputWake::Clear() {
  ResetEvent(NativeOf<HANDLE>(owned_.Get()));
}

}  // namespace os
