#pragma once

// What the program does on its three events (show, tick, close), the same with a window and
// without one.

#include <chrono>
#include <optional>
#include <string>

#include "shell/TickTimer.h"

namespace shell {

inline constexpr std::chrono::milliseconds TickPeriod{5000};

// Makes the pause tick end its pause counted from when the tick was due on `timer`, and end it
// at once when `stopFd` becomes readable.
void UsePrecisePause(const TickTimer& timer, int stopFd);

// Show: opens the port. Why there is no port, or what it did not take, goes to stderr: nothing
// is shown in a window for it.
void ShowEvent(const std::string& device, int stopFd);

// Tick: one step of the check-file cycle. Returns the failure's message if it failed.
std::optional<std::string> TickEvent();

// Close: closes the port if one is open.
void CloseEvent();

// One line on stderr: "checkfeed: <message>".
void PrintFailure(const std::string& message);

}  // namespace shell
