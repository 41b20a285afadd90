#include "shell/Display.h"

#include <sys/stat.h>
#include <xcb/xcb.h>

#include <cstdlib>
#include <string>

namespace shell {
namespace {

std::string Environment(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? value : "";
}

bool XServerAccepts() {
  if (Environment("DISPLAY").empty()) {
    return false;
  }
  xcb_connection_t* connection = xcb_connect(nullptr, nullptr);
  const bool accepted = xcb_connection_has_error(connection) == 0;
  xcb_disconnect(connection);
  return accepted;
}

bool WaylandSocketExists() {
  std::string socket = Environment("WAYLAND_DISPLAY");
  if (socket.empty()) {
    return false;
  }
  if (!socket.starts_with('/')) {
    socket = Environment("XDG_RUNTIME_DIR") + "/" + socket;
  }
  struct stat status {};
  return ::stat(socket.c_str(), &status) == 0 && S_ISSOCK(status.st_mode);
}

}  // namespace

bool DisplayAvailable() {
  const std::string platform = Environment("QT_QPA_PLATFORM");
  if (platform.starts_with("offscreen") || platform.starts_with("minimal")) {
    return false;
  }
  if (platform.starts_with("wayland")) {
    return WaylandSocketExists();
  }
  if (!platform.empty() && !platform.starts_with("xcb")) {
    return true;  // eglfs, linuxfb, vnc: a screen the user chose
  }
  return XServerAccepts();
}

}  // namespace shell
