#include "shell/Events.h"

#include <exception>
#include <iostream>

#include "feeder/CheckCycle.h"
#include "serial/Port.h"

namespace shell {

void UsePrecisePause(const TickTimer& timer, int stopFd) {
  feeder::Pause = [&timer, stopFd](std::chrono::milliseconds length) {
    WaitUntil(timer.Due() + length, stopFd);
  };
}

void ShowEvent(const std::string& device, int stopFd) {
  if (const std::string message = serial::OpenPort(device, stopFd); !message.empty()) {
    PrintFailure(message);
  }
}

std::optional<std::string> TickEvent() {
  try {
    feeder::TimerTimer();
  } catch (const std::exception& failure) {
    return failure.what();
  }
  return std::nullopt;
}

void CloseEvent() {
  serial::ClosePort();
}

void PrintFailure(const std::string& message) {
  std::cerr << "checkfeed: " << message << std::endl;
}

}  // namespace shell
