#pragma once

#include <string>

#include "shell/StopSignals.h"

namespace shell {

// Runs the program without a window: opens `device`, ticks until a stop signal, closes.
// Failures go to stderr, one line each. Returns the exit code.
int RunHeadless(const std::string& device, StopSignals& stopSignals);

}  // namespace shell
