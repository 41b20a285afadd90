#pragma once

// The window, when one is wanted and can be had. The window carries the program's events through
// the hooks of shell/WindowModule.h, whichever window it is (see shell/WindowLoader.h).

#include <optional>

#include "shell/CommandLine.h"
#include "shell/Reporter.h"
#include "shell/StopSignals.h"

namespace shell {

// Whether a window is wanted: not --no-window, and a display a window could be shown on (on Linux
// a display in the environment whose socket is there, DISPLAY or WAYLAND_DISPLAY, or a
// QT_QPA_PLATFORM that shows something; on Windows a desktop the user sees). Whether that display
// lets us in is the window's to find out.
bool WindowWanted(const Options& options);

// Runs the program in its window. Returns the exit code, or nothing when there is no window
// after all: the Linux module is missing or broken (said once on stderr), or the display does not
// answer. Then nothing was opened and the program runs headless.
std::optional<int> RunWindow(int& argc, char** argv, const Options& options,
                             StopSignals& stopSignals, Reporter& reporter);

}  // namespace shell
