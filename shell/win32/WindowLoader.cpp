// The window on Windows: linked into the program (user32 is always there), shown whenever the
// program runs on a desktop a user can see.

#include "shell/WindowLoader.h"

#include <windows.h>

namespace shell {

bool DisplayWanted() {
  // A service, or a scheduled task run whether the user is logged on or not, has no desktop to
  // show a window on.
  USEROBJECTFLAGS flags{};
  return GetUserObjectInformationW(GetProcessWindowStation(), UOI_FLAGS, &flags, sizeof flags,
                                   nullptr) &&
         (flags.dwFlags & WSF_VISIBLE) != 0;
}

CheckfeedWindowRun LoadWindow(std::string& /*why*/) {
  return checkfeed_window_run_v3;
}

}  // namespace shell
