#pragma once

// The one poll loop on Linux: WaitForAny is built on it, and the port waits for room in the
// device's queue with it.

#include <poll.h>

#include <optional>
#include <span>

#include "serial/Wait.h"

namespace serial {

// poll() on `fds` until one is ready or `deadline` has passed, going on after a signal for the
// time that is left. The deadline is kept by a timerfd, not by poll's own time-out, which the
// kernel lets run late by up to 0.1 % of its length. Returns false when the deadline passed.
// Throws std::system_error when poll() itself fails.
bool PollFor(std::span<pollfd> fds, std::optional<Clock::time_point> deadline);

}  // namespace serial
