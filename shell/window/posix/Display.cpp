#include "shell/window/posix/Display.h"

#include <xcb/xcb.h>

#include <cstdlib>
#include <string>

namespace window {

bool DisplayAvailable() {
  const char* platform = std::getenv("QT_QPA_PLATFORM");
  const char* wayland = std::getenv("WAYLAND_DISPLAY");
  const std::string chosen = platform != nullptr ? platform : "";
  const bool x =
      chosen.starts_with("xcb") || (chosen.empty() && (wayland == nullptr || *wayland == '\0'));
  if (!x) {
    return true;
  }
  xcb_connection_t* connection = xcb_connect(nullptr, nullptr);
  const bool accepted = xcb_connection_has_error(connection) == 0;
  xcb_disconnect(connection);
  return accepted;
}

}  // namespace window
