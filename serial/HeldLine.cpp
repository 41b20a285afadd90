#include "serial/HeldLine.h"

#include <algorithm>
#include <array>
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

void HeldLine::Check(const std::function<std::string()>& why) {
  const auto deadline = Deadline();
  if (!deadline || os::Clock::now() < *deadline) {
    return;
  }
  held_ = true;
  const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(after_).count();
  const std::string reason = why();
  notice_ =
      "Port " + os::Quoted(device_) + " has taken no bytes for " +
      (seconds > 0 ? std::to_string(seconds) + " s" : std::to_string(after_.count()) + " ms") +
      ": " + what_ + ", " + std::to_string(sent_) + " of " + std::to_string(size_) + " bytes sent" +
      (reason.empty() ? "" : "; " + reason) + ". Check the device and its cable" +
      (flowControl_ ? ", or start checkfeed with --flow none" : "") + ".";
  tell_(notice_);
}

bool WaitForRoom(const os::Waited& room, os::WakeHandle cancel, HeldLine& held,
                 const std::function<std::string()>& why) {
  const std::array<os::Waited, 2> waited{
      {room, {.handle = cancel, .ready = os::Waited::For::Reading}}};
  auto until = os::Clock::now() + LookAgain;
  if (const auto deadline = held.Deadline()) {
    until = std::min(until, *deadline);
  }
  const auto ready = os::WaitForAny(waited, until);
  if (!ready) {
    held.Check(why);
  }
  return ready != 1U;
}

Drained WaitForDrain(const std::function<std::optional<unsigned>()>& queued,
                     unsigned bytesPerSecond, std::size_t sent, os::WakeHandle cancel,
                     HeldLine& held, const std::function<std::string()>& why) {
  std::optional<unsigned> before;
  for (;;) {
    const std::optional<unsigned> left = queued();
    if (!left) {
      return Drained::Untold;
    }
    if (*left == 0) {
      return Drained::Empty;
    }
    if (before && *left < *before) {
      held.Moved(sent);
    }
    before = left;
    held.Check(why);
    const auto needed = *left * 1000U / std::max(bytesPerSecond, 1U);
    const auto pause = std::chrono::milliseconds(std::clamp(needed, 1U, 100U));
    if (os::WaitForAny(std::span(&cancel, 1), os::Clock::now() + pause)) {
      return Drained::Cancelled;
    }
  }
}

}  // namespace serial
