// The window on Linux: the module checkfeed-window.so, loaded only when a display answers.

#include "shell/WindowLoader.h"

#include <dlfcn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstddef>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "os/posix/Descriptor.h"

#ifndef CHECKFEED_MODULE_DIR
#define CHECKFEED_MODULE_DIR "../lib/checkfeed"
#endif

namespace shell {
namespace {

constexpr const char* kModuleName = "checkfeed-window.so";

std::string Environment(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? value : "";
}

// Whether the X server DISPLAY names takes connections on its local socket (the abstract one,
// or the file in /tmp/.X11-unix). Whether it then lets us in is the module's to find out; this
// only spares a machine with a stale DISPLAY from loading the toolkit. A remote display (host:N)
// is left to the module.
bool XSocketAnswers(const std::string& display) {
  const std::size_t colon = display.rfind(':');
  if (colon == std::string::npos) {
    return false;
  }
  const std::string host = display.substr(0, colon);
  if (!host.empty() && host != "unix") {
    return true;
  }
  std::string number = display.substr(colon + 1);
  number = number.substr(0, number.find('.'));
  if (number.empty() || number.find_first_not_of("0123456789") != std::string::npos) {
    return false;
  }
  const std::string path = "/tmp/.X11-unix/X" + number;
  for (const bool abstract : {true, false}) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const std::size_t offset = abstract ? 1 : 0;  // abstract: a leading NUL, then the name
    path.copy(address.sun_path + offset, sizeof address.sun_path - offset - 1);
    const auto length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + offset +
                                               path.size() + (abstract ? 0 : 1));
    const os::Descriptor fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!fd) {
      return false;
    }
    if (::connect(fd.Get(), reinterpret_cast<const sockaddr*>(&address), length) == 0) {
      return true;
    }
  }
  return false;
}

bool WaylandSocketExists(std::string socket) {
  if (!socket.starts_with('/')) {
    socket = Environment("XDG_RUNTIME_DIR") + "/" + socket;
  }
  struct stat status {};
  return ::stat(socket.c_str(), &status) == 0 && S_ISSOCK(status.st_mode);
}

// Where the module is looked for, first found wins: beside the executable (the build tree),
// then in the installed layout relative to it (bin/ and lib/<arch>/checkfeed/ under one
// prefix), so that neither a build nor an install under any prefix needs a search path.
std::vector<std::filesystem::path> ModulePlaces() {
  std::error_code error;
  const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", error);
  if (error) {
    return {};
  }
  const std::filesystem::path folder = self.parent_path();
  return {folder / kModuleName, (folder / CHECKFEED_MODULE_DIR / kModuleName).lexically_normal()};
}

}  // namespace

bool DisplayWanted() {
  const std::string platform = Environment("QT_QPA_PLATFORM");
  if (platform.starts_with("offscreen") || platform.starts_with("minimal")) {
    return false;  // nothing a user could see: failures go to stderr
  }
  if (!platform.empty() && !platform.starts_with("xcb") && !platform.starts_with("wayland")) {
    return true;  // eglfs, linuxfb, vnc: a screen the user chose
  }
  const std::string wayland = Environment("WAYLAND_DISPLAY");
  if (!platform.starts_with("xcb") && !wayland.empty() && WaylandSocketExists(wayland)) {
    return true;
  }
  const std::string x = Environment("DISPLAY");
  return !platform.starts_with("wayland") && !x.empty() && XSocketAnswers(x);
}

CheckfeedWindowRun LoadWindow(std::string& why) {
  std::filesystem::path module;
  for (const std::filesystem::path& place : ModulePlaces()) {
    if (::access(place.c_str(), F_OK) == 0) {
      module = place;
      break;
    }
  }
  if (module.empty()) {
    why = std::string("the window module ") + kModuleName + " is not installed";
    return nullptr;
  }
  // Never closed: Qt's own threads and handlers may outlive the call.
  void* handle = ::dlopen(module.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) {
    why = ::dlerror();
    return nullptr;
  }
  const auto run = reinterpret_cast<CheckfeedWindowRun>(::dlsym(handle, "checkfeed_window_run_v3"));
  if (run == nullptr) {
    why = module.string() + " has no checkfeed_window_run_v3";
  }
  return run;
}

}  // namespace shell
