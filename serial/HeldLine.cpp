#include "serial/HeldLine.h"

#include <algorithm>
#include <array>
#include <stdexcept>
#include <utility>

#include "os/Error.h"

namespace serial {

HeldLine::HeldLine(std::string device, std::chrono::milliseconds after, bool flowControl, Tell tell)
    : device_(std::move(device)),
      after_(after),
      flowControl_(flowControl),
      tell_(std::move(tell)) {}

void HeldLine::Begin(std::string what, std::size_t size) {
  what_ = std::move(what);
  size_ = size;
  sent_ = 0;
  held_ = false;
  notice_.clear();
  Resume();
}

void HeldLine::Moved(std::size_t sent) {
  sent_ = std::max(sent_, sent);
  Resume();
  if (held_) {
    held_ = false;
    tell_("Port " + os::Quoted(device_) + " takes bytes again: " + what_ + ", " +
          std::to_string(sent_) + " of " + std::to_string(size_) + " bytes sent");
  }
}

std::optional<os::Clock::time_point> HeldLine::Deadline() const {
  if (held_) {
    return std::nullopt;
  }
  return since_ + after_;
}

void HeldLine::Stalled(const std::string& why) {
  if (held_) {
    return;
  }
  held_ = true;
  const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(after_).count();
  notice_ =
      "Port " + os::Quoted(device_) + " has taken no bytes for " +
      (seconds > 0 ? std::to_string(seconds) + " s" : std::to_string(after_.count()) + " ms") +
      ": " + what_ + ", " + std::to_string(sent_) + " of " + std::to_string(size_) + " bytes sent" +
      (why.empty() ? "" : "; " + why) + ". Check the device and its cable" +
      (flowControl_ ? ", or start checkfeed with --flow none" : "") + ".";
  tell_(notice_);
}

std::optional<std::size_t> WaitForRoom(std::span<const os::Waited> room, os::WakeHandle cancel,
                                       HeldLine& held, const std::function<std::string()>& why) {
  std::array<os::Waited, 4> waited{};
  if (room.size() + 1 > waited.size()) {
    throw std::invalid_argument("too many handles to wait for");
  }
  std::copy(room.begin(), room.end(), waited.begin());
  waited[room.size()] = {.handle = cancel, .ready = os::Waited::For::Reading};
  const auto all = std::span(waited).first(room.size() + 1);
  auto until = os::Clock::now() + LookAgain;
  if (const auto deadline = held.Deadline()) {
    until = std::min(until, *deadline);
  }
  const auto ready = os::WaitForAny(all, until);
  if (!ready) {
    if (const auto deadline = held.Deadline(); deadline && os::Clock::now() >= *deadline) {
      held.Stalled(why());
    }
    return 0;  // look again
  }
  return *ready == room.size() ? std::nullopt : ready;
}

}  // namespace serial
