#pragma once

// Waitable timers as exact as Windows makes them, for the timer and the waits' deadlines.

#include <windows.h>

#include "os/Wait.h"

namespace os {

// An auto-reset waitable timer, high-resolution where Windows has them (Windows 10 1803 and
// later). Elsewhere the system's timer resolution is raised to 1 ms for the program's life, as
// otherwise a timer fires on the 15.6 ms tick. Throws std::system_error when there is none.
HANDLE CreatePreciseTimer();

// Sets `timer` to be signalled at `due`, and then every `period` milliseconds if it is not 0.
// Throws std::system_error when it cannot.
void SetPreciseTimer(HANDLE timer, Clock::time_point due, long period);

}  // namespace os
