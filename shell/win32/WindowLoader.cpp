// The window on Windows: not built yet, so the program runs in its console.

#include "shell/WindowLoader.h"

namespace shell {

bool DisplayWanted() {
  return false;
}

CheckfeedWindowRun LoadWindow(std::string& why) {
  why = "this build has no window";
  return nullptr;
}

}  // namespace shell
