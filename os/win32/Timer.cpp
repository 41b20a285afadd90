// The timer on Windows: a high-resolution, auto-reset, periodic waitable timer. Windows re-arms
// it on its own grid, so it does not drift, and a timer that fell due several times while nobody
// waited is signalled once; how many points of the grid passed is counted from the steady clock.

#include "os/Timer.h"

#include <windows.h>
// After windows.h, which it needs.
#include <mmsystem.h>

#include <algorithm>
#include <system_error>

#include "os/win32/Precise.h"

namespace os {
namespace {

// CREATE_WAITABLE_TIMER_HIGH_RESOLUTION, which headers for Windows 7 do not name.
constexpr DWORD kHighResolution = 0x00000002;

[[noreturn]] void Fail(const char* what) {
  throw std::system_error(static_cast<int>(GetLastError()), std::system_category(), what);
}

// How early a point may be signalled and still count as passed: Windows keeps waits to whole
// milliseconds, and its timer and the steady clock may differ by a little.
constexpr auto kEarliest = std::chrono::milliseconds(1);

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

Timer::Timer() {
  handle_.Reset(WakeOf(CreatePreciseTimer()));
}

void Timer::Arm(Clock::time_point first, std::chrono::nanoseconds period) {
  first_ = first;
  period_ = period;
  taken_ = 0;
  SetPreciseTimer(
      NativeOf<HANDLE>(Wake()), first,
      static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(period).count()));
}

std::uint64_t Timer::Take() {
  // Reset it, being auto-reset, whether or not a wait saw it already.
  WaitForSingleObject(NativeOf<HANDLE>(Wake()), 0);
  const auto early =
      period_.count() > 0 ? std::min<std::chrono::nanoseconds>(kEarliest, period_ / 2) : kEarliest;
  const auto since = Clock::now() + early - first_;
  if (since.count() < 0) {
    return 0;
  }
  const std::uint64_t passed =
      period_.count() > 0 ? static_cast<std::uint64_t>(since / period_) + 1 : 1;
  const std::uint64_t fresh = passed - std::min(passed, taken_);
  taken_ = std::max(passed, taken_);
  return fresh;
}

}  // namespace os
