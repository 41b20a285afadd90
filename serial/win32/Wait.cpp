#include <windows.h>
// After windows.h, which it needs.
#include <mmsystem.h>

#include <algorithm>
#include <array>
#include <stdexcept>
#include <system_error>

#include "serial/Wait.h"
#include "serial/win32/Timer.h"

namespace serial {
namespace {

// CREATE_WAITABLE_TIMER_HIGH_RESOLUTION, which headers for Windows 7 do not name.
constexpr DWORD kHighResolution = 0x00000002;

[[noreturn]] void Fail(const char* what) {
  throw std::system_error(static_cast<int>(GetLastError()), std::system_category(), what);
}

}  // namespace

HANDLE CreatePreciseTimer() {
  HANDLE timer = CreateWaitableTimerExW(nullptr, nullptr, kHighResolution, TIMER_ALL_ACCESS);
  if (timer != nullptr) {
    return timer;
  }
  static const bool raised = timeBeginPeriod(1) == TIMERR_NOERROR;
  static_cast<void>(raised);
  timer = CreateWaitableTimerW(nullptr, FALSE, nullptr);
  if (timer == nullptr) {
    Fail("Cannot create a timer");
  }
  return timer;
}

void SetPreciseTimer(HANDLE timer, Clock::time_point due, long period) {
  // Relative to now, in 100 ns units, negative: a relative time does not move with the wall clock.
  const auto left =
      std::chrono::duration_cast<std::chrono::duration<long long, std::ratio<1, 10'000'000>>>(
          due - Clock::now());
  LARGE_INTEGER when;
  when.QuadPart = -std::max<long long>(left.count(), 1);
  if (!SetWaitableTimer(timer, &when, period, nullptr, nullptr, FALSE)) {
    Fail("Cannot set a timer");
  }
}

void OwnedWake::Reset(WakeHandle handle) {
  if (handle_) {
    CloseHandle(ToHandle(handle_));
  }
  handle_ = handle;
}

WakeEvent::WakeEvent() {
  HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  if (event == nullptr) {
    Fail("Cannot create an event");
  }
  owned_.Reset(ToWake(event));
}

void WakeEvent::Raise() {
  SetEvent(ToHandle(Handle()));
}

void WakeEvent::Clear() {
  ResetEvent(ToHandle(Handle()));
}

std::optional<std::size_t> WaitForAny(std::span<const WakeHandle> handles,
                                      std::optional<Clock::time_point> deadline) {
  std::array<HANDLE, 5> waited{};
  std::array<std::size_t, 5> index{};
  if (handles.size() >= waited.size()) {
    throw std::invalid_argument("too many handles to wait for");
  }
  DWORD count = 0;
  for (std::size_t i = 0; i < handles.size(); ++i) {
    if (handles[i]) {
      index[count] = i;
      waited[count++] = ToHandle(handles[i]);
    }
  }
  if (!deadline && count == 0) {
    throw std::invalid_argument("a wait for nothing would never end");
  }
  // The deadline is a timer of its own, so the wait is not held to the 1 ms of its time-out.
  OwnedWake timer;
  if (deadline && *deadline > Clock::now()) {
    timer.Reset(ToWake(CreatePreciseTimer()));
    waited[count] = ToHandle(timer.Get());
  }
  for (;;) {
    const bool timed = timer && *deadline > Clock::now();
    if (timed) {
      SetPreciseTimer(ToHandle(timer.Get()), *deadline, 0);
    }
    const DWORD waiting = count + (timed ? 1 : 0);
    const DWORD timeout = deadline && !timed ? 0 : INFINITE;
    const DWORD result = waiting == 0
                             ? WAIT_TIMEOUT
                             : WaitForMultipleObjects(waiting, waited.data(), FALSE, timeout);
    if (result == WAIT_FAILED) {
      Fail("Cannot wait");
    }
    if (result >= WAIT_OBJECT_0 && result < WAIT_OBJECT_0 + count) {
      return index[result - WAIT_OBJECT_0];
    }
    // The timer, or nothing ready at a deadline already passed. Windows' timer and the steady
    // clock may differ by a little: a timer that fired before the deadline waits out the rest.
    if (!deadline || Clock::now() >= *deadline) {
      return std::nullopt;
    }
  }
}

}  // namespace serial
