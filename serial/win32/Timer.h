#pragma once

// Waitable timers, as exact as Windows makes them: the deadlines of WaitForAny and the beat.

#include <windows.h>

#include <chrono>

#include "serial/Wait.h"

namespace serial {

// An auto-reset waitable timer, high-resolution where Windows has them (Windows 10 1803 and
// later). Elsewhere the system's timer resolution is raised to 1 ms for the program's life, as
// otherwise a timer fires on the 15.6 ms tick. Throws std::system_error when there is none.
HANDLE CreatePreciseTimer();

// Sets `timer` to be signalled at `due`, and then every `period` milliseconds if it is not 0.
void SetPreciseTimer(HANDLE timer, Clock::time_point due, long period);

// The HANDLE a WakeHandle names, and back.
inline HANDLE ToHandle(WakeHandle handle) {
  return handle ? reinterpret_cast<HANDLE>(handle.NativeValue()) : nullptr;
}
inline WakeHandle ToWake(HANDLE handle) {
  return handle != nullptr ? WakeHandle(reinterpret_cast<WakeHandle::Native>(handle))
                           : WakeHandle();
}

}  // namespace serial
