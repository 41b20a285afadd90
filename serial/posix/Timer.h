#pragma once

// timerfd timers on CLOCK_MONOTONIC, armed on absolute times: the deadlines of WaitForAny and the
// beat. Exact to the task's timer slack (50 us), where poll's own time-out may run late by 0.1 %.

#include <chrono>

#include "serial/Wait.h"
#include "serial/posix/Descriptor.h"

namespace serial {

// A timerfd readable at `first`, and then every `period` unless it is zero. Returns no descriptor
// (with errno set) when the system has none to give.
Descriptor ArmTimer(Clock::time_point first, std::chrono::nanoseconds period);

}  // namespace serial
