#include "shell/StopSignals.h"

#include <windows.h>

#include <stdexcept>

#include "serial/win32/Timer.h"

namespace shell {
namespace {

// Raised by the console's handler, which Windows runs on a thread of its own.
HANDLE Requested = nullptr;

BOOL WINAPI OnConsoleEvent(DWORD event) {
  SetEvent(Requested);
  if (event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT) {
    return TRUE;
  }
  // Closing the console, logoff, shutdown: Windows ends the process as soon as this returns, so
  // it does not return. The program closes its port and exits by itself, which ends this thread
  // (Windows allows it a few seconds).
  Sleep(INFINITE);
  return TRUE;
}

}  // namespace

StopSignals::StopSignals() {
  HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  if (event == nullptr) {
    throw std::runtime_error("Cannot create an event for stop requests");
  }
  wake_.Reset(serial::ToWake(event));
  Requested = event;
  SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
}

StopSignals::~StopSignals() {
  SetConsoleCtrlHandler(OnConsoleEvent, FALSE);
  Requested = nullptr;
}

bool StopSignals::Take() {
  HANDLE event = serial::ToHandle(wake_.Get());
  if (WaitForSingleObject(event, 0) != WAIT_OBJECT_0) {
    return false;
  }
  ResetEvent(event);
  return true;
}

}  // namespace shell
