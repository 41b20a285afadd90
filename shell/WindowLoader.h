#pragma once

// Where the window comes from, on each platform: on Linux the module checkfeed-window.so, loaded
// with dlopen only when a window will be shown (shell/posix/WindowLoader.cpp), so that without
// one no toolkit is ever mapped; on Windows the Win32 window linked into the program
// (shell/win32/WindowLoader.cpp).

#include <string>

#include "shell/WindowModule.h"

namespace shell {

// Whether the environment offers a display a window could be shown on.
bool DisplayWanted();

// The window's entry point, or null with `why` there is none (said once on stderr).
CheckfeedWindowRun LoadWindow(std::string& why);

}  // namespace shell
