#pragma once

#include "shell/CommandLine.h"
#include "shell/Reporter.h"
#include "shell/StopSignals.h"

namespace shell {

// Runs the program without a window: opens the port, ticks until a stop signal, closes.
// Failures go to stderr, one line each. Returns the exit code.
int RunHeadless(const Options& options, StopSignals& stopSignals, Reporter& reporter);

}  // namespace shell
