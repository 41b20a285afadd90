// Waiting on Windows: WaitForMultipleObjects, the deadline on a waitable timer of the thread's
// own, set again for each wait.

#include <windows.h>

#include <algorithm>
#include <array>
#include <stdexcept>
#include <system_error>

#include "os/Wait.h"
#include "os/win32/Precise.h"

namespace os {
namespace {

[[noreturn]] void Fail(const char* what) {
  throw std::system_error(static_cast<int>(GetLastError()), std::system_category(), what);
}

// The deadlines of this thread's waits.
HANDLE DeadlineTimer() {
  thread_local const OwnedWake timer(WakeOf(CreatePreciseTimer()));
  return NativeOf<HANDLE>(timer.Get());
}

}  // namespace

void OwnedWake::Reset(WakeHandle handle) {
  if (handle_) {
    CloseHandle(NativeOf<HANDLE>(handle_));
  }
  handle_ = handle;
}

WakeEvent::WakeEvent() {
  HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  if (event == nullptr) {
    Fail("Cannot create an event");
  }
  owned_.Reset(WakeOf(event));
}

void WakeEvent::Raise() {
  SetEvent(NativeOf<HANDLE>(Handle()));
}

void WakeEvent::Clear() {
  ResetEvent(NativeOf<HANDLE>(Handle()));
}

std::optional<std::size_t> SystemWait(std::span<const Waited> waited,
                                      std::optional<Clock::time_point> deadline) {
  std::array<HANDLE, 8> handles{};
  std::array<std::size_t, 8> index{};
  if (waited.size() + 1 > handles.size()) {
    throw std::invalid_argument("too many handles to wait for");
  }
  DWORD count = 0;
  for (std::size_t i = 0; i < waited.size(); ++i) {
    if (waited[i].handle) {
      index[count] = i;
      handles[count++] = NativeOf<HANDLE>(waited[i].handle);
    }
  }
  if (!deadline && count == 0) {
    throw std::invalid_argument("a wait for nothing would never end");
  }
  for (;;) {
    // A time-out keeps to whole milliseconds; the timer does not.
    const bool timed = deadline && *deadline > Clock::now();
    if (timed) {
      handles[count] = DeadlineTimer();
      SetPreciseTimer(handles[count], *deadline, 0);
    }
    const DWORD waiting = count + (timed ? 1 : 0);
    const DWORD result = waiting == 0 ? WAIT_TIMEOUT
                                      : WaitForMultipleObjects(waiting, handles.data(), FALSE,
                                                               deadline && !timed ? 0 : INFINITE);
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

}  // namespace os
