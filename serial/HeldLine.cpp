#include "serial/HeldLine.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <utility>

#include "os/Error.h"

namespace serial {
namespace {

// "2 s", "4.3 s", "30 ms".
std::string Length(std::chrono::milliseconds length) {
  if (length < std::chrono::seconds(1)) {
    return std::to_string(length.count()) + " ms";
  }
  if (length.count() % 1000 == 0) {
    return std::to_string(length.count() / 1000) + " s";
  }
  std::array<char, 32> text{};
  std::snprintf(text.data(), text.size(), "%.1f s", static_cast<double>(length.count()) / 1000);
  return text.data();
}

// What holds the line, in words, where the system can tell.
std::string WhyHeld(const LineStatus& status, bool ctsRtsFlow) {
  switch (status.hold) {
    case Hold::CtsLow:
      return "the device holds CTS low";
    case Hold::Xoff:
      return "the device sent XOFF and no XON since";
    case Hold::DsrLow:
      return "the device holds DSR low";
    case Hold::Suspended:
      return "the server asked to wait (FLOWCONTROL-SUSPEND)";
    case Hold::Unknown:
      break;
  }
  // Only under RTS/CTS flow control does a low CTS hold our output.
  if (ctsRtsFlow && status.cts == false) {
    return "the device holds CTS low";
  }
  return {};
}

}  // namespace

HeldLine::HeldLine(std::string device, std::chrono::milliseconds after, bool ctsRtsFlow,
                   bool xonXoff, Tell tell)
    : device_(std::move(device)),
      after_(after),
      ctsRtsFlow_(ctsRtsFlow),
      xonXoff_(xonXoff),
      tell_(std::move(tell)) {}

void HeldLine::Begin(std::string what, std::size_t size) {
  what_ = std::move(what);
  size_ = size;
  handed_ = 0;
  queued_ = 0;
  held_ = false;
  notice_.clear();
  Resume();
}

void HeldLine::Handed(std::size_t handed) {
  if (handed > handed_) {
    handed_ = handed;
    Moved();
  }
}

void HeldLine::Queued(std::size_t queued) {
  const std::size_t before = Sent();
  queued_ = queued;
  if (Sent() > before) {
    Moved();
  }
}

void HeldLine::Moved() {
  Resume();
  if (held_) {
    held_ = false;
    tell_("Port " + os::Quoted(device_) + " takes bytes again: " + what_ + ", " +
              std::to_string(Sent()) + " of " + std::to_string(size_) + " bytes sent",
          false);
  }
}

std::optional<os::Clock::time_point> HeldLine::Deadline() const {
  if (held_) {
    return std::nullopt;
  }
  return since_ + after_;
}

void HeldLine::Check(const std::function<LineStatus()>& look) {
  const auto deadline = Deadline();
  if (!deadline || os::Clock::now() < *deadline) {
    return;
  }
  held_ = true;
  const LineStatus status = look();
  if (status.queued) {
    queued_ = *status.queued;  // the count as the driver tells it, not what it was handed
  }
  const std::string reason = WhyHeld(status, ctsRtsFlow_);
  notice_ = "Port " + os::Quoted(device_) + " has taken no bytes for " + Length(after_) + ": " +
            what_ + ", " + std::to_string(Sent()) + " of " + std::to_string(size_) + " bytes sent" +
            (reason.empty() ? "" : "; " + reason) + ". Check the device and its cable" +
            (ctsRtsFlow_ || xonXoff_ ? ", or start checkfeed with --flow none" : "") + ".";
  tell_(notice_, true);
}

std::chrono::milliseconds HeldAfter(std::chrono::milliseconds least, std::size_t step,
                                    unsigned bytesPerSecond) {
  const auto twoSteps = std::chrono::milliseconds((2 * step * 1000 + bytesPerSecond - 1) /
                                                  std::max(bytesPerSecond, 1U));
  return std::max(least, twoSteps);
}

bool WaitForRoom(const os::Waited& room, os::WakeHandle cancel, HeldLine& held,
                 const std::function<LineStatus()>& look, const Listen* listen) {
  const std::array<os::Waited, 3> waited{{room,
                                          {.handle = cancel, .ready = os::Waited::For::Reading},
                                          listen != nullptr ? listen->ready : os::Waited{}}};
  auto until = os::Clock::now() + LookAgain;
  if (const auto deadline = held.Deadline()) {
    until = std::min(until, *deadline);
  }
  const auto ready = os::WaitForAny(waited, until);
  if (!ready) {
    held.Check(look);
  }
  if (ready == 2U) {
    listen->take();
  }
  return ready != 1U;
}

Drained WaitForQueue(const std::function<LineStatus()>& look, os::WakeHandle done,
                     unsigned bytesPerSecond, os::WakeHandle cancel, HeldLine& held,
                     const Listen* listen) {
  const std::array<os::Waited, 3> waited{{{.handle = cancel, .ready = os::Waited::For::Reading},
                                          {.handle = done, .ready = os::Waited::For::Reading},
                                          listen != nullptr ? listen->ready : os::Waited{}}};
  for (;;) {
    const LineStatus status = look();
    if (status.Failed()) {
      return Drained::Failed;
    }
    if (status.queued) {
      held.Queued(*status.queued);  // the last bytes too: a held line hears that they moved
    }
    if (!done) {
      if (!status.queued) {
        return Drained::Untold;
      }
      if (*status.queued == 0) {
        return Drained::Empty;
      }
    }
    held.Check([&status] { return status; });
    // As long as what it holds takes to send, but once the line is held no more often than
    // LookAgain: a printer may wait hours for paper.
    auto pause = LookAgain;
    if (!held.Held() && status.queued) {
      const auto needed = *status.queued * 1000 / std::max(bytesPerSecond, 1U);
      pause = std::chrono::milliseconds(
          std::clamp<std::size_t>(needed, 1, static_cast<std::size_t>(LookAgain.count())));
    }
    auto until = os::Clock::now() + pause;
    if (const auto deadline = held.Deadline()) {
      until = std::min(until, *deadline);
    }
    const auto ready = os::WaitForAny(waited, until);
    if (ready == 0U) {
      return Drained::Cancelled;
    }
    if (ready == 1U) {
      return Drained::Empty;
    }
    if (ready == 2U) {
      listen->take();
    }
  }
}

}  // namespace serial
