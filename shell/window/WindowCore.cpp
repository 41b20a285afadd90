#include "shell/window/WindowCore.h"

#include <array>
#include <exception>
#include <stdexcept>

namespace window {

CheckfeedWake WindowCore::StartTimer() {
  std::array<char, 256> error{};
  const CheckfeedWake timer = hooks_.start_timer(hooks_.context, error.data(), error.size());
  if (timer.native < 0) {
    throw std::runtime_error(error.data());
  }
  return timer;
}

const CheckfeedBox* WindowCore::Shown() {
  if (shown_) {
    return nullptr;
  }
  shown_ = true;
  return hooks_.show(hooks_.context);
}

const CheckfeedBox* WindowCore::Tick() {
  return closed_ ? nullptr : hooks_.tick(hooks_.context);
}

const CheckfeedBox* WindowCore::Heard() {
  return closed_ ? nullptr : hooks_.heard(hooks_.context);
}

bool WindowCore::StopRequested() {
  return hooks_.take_stop(hooks_.context) != 0;
}

bool WindowCore::Closing() {
  if (closed_) {
    return false;
  }
  closed_ = true;
  hooks_.close(hooks_.context);
  return true;
}

void WindowCore::Dismissed() {
  hooks_.dismissed(hooks_.context);
}

int RunGuarded(const CheckfeedWindowHooks& hooks, const std::function<int()>& loop,
               const std::function<void(const std::string&)>& show) {
  std::string failure;
  try {
    return loop();
  } catch (const std::exception& caught) {
    failure = caught.what();
  } catch (...) {
    failure.clear();  // nothing to say but that it failed
  }
  hooks.fatal(hooks.context, failure.c_str());
  show(failure);
  return 1;
}

}  // namespace window
