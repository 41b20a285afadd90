#include "shell/StopSignals.h"

#include <windows.h>

#include <system_error>

#include "os/Wait.h"

namespace shell {
namespace {

// Raised by the console's handler and by the end of the session, which Windows tells the program
// on threads of their own.
HANDLE Requested = nullptr;

// Windows ends the process as soon as a handler for the end of the console or of the session
// returns, so these never return: the program closes its port and exits by itself, which ends
// their threads (Windows allows a few seconds for it).
[[noreturn]] void StopAndWait() {
  SetEvent(Requested);
  for (;;) {
    Sleep(INFINITE);
  }
}

BOOL WINAPI OnConsoleEvent(DWORD event) {
  if (event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT) {
    SetEvent(Requested);
    return TRUE;
  }
  StopAndWait();  // the console closed; logoff and shutdown, when no window hears them
}

// A program that uses windows is told of a logoff or a shutdown by a message to its top-level
// windows, and no longer by the console's handler: a hidden window hears it. It hears
// "taskkill /im checkfeedc.exe" too, which asks every window of the program to close.
LRESULT CALLBACK OnSessionMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_QUERYENDSESSION) {
    // Stop now, not at WM_ENDSESSION: Form1 answers the same question only once its tick is
    // over, and a send the device holds may never be, so the logoff would wait on it.
    SetEvent(Requested);
    return TRUE;
  }
  if (message == WM_CLOSE) {
    SetEvent(Requested);
    return 0;
  }
  if (message == WM_ENDSESSION && wParam != FALSE) {
    StopAndWait();
  }
  return DefWindowProcW(window, message, wParam, lParam);
}

DWORD WINAPI ListenForEndOfSession(void* /*unused*/) {
  WNDCLASSW type{};
  type.lpfnWndProc = OnSessionMessage;
  type.hInstance = GetModuleHandleW(nullptr);
  type.lpszClassName = L"checkfeed end of session";
  RegisterClassW(&type);
  CreateWindowExW(0, type.lpszClassName, L"", WS_OVERLAPPED, 0, 0, 0, 0, nullptr, nullptr,
                  type.hInstance, nullptr);  // never shown
  MSG message;
  while (GetMessageW(&message, nullptr, 0, 0) > 0) {
    DispatchMessageW(&message);
  }
  return 0;
}

}  // namespace

StopSignals::StopSignals() {
  HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  if (event == nullptr) {
    throw std::system_error(static_cast<int>(GetLastError()), std::system_category(),
                            "Cannot create an event for stop requests");
  }
  wake_.Reset(os::WakeOf(event));
  Requested = event;
  SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
  if (HANDLE listener = CreateThread(nullptr, 0, ListenForEndOfSession, nullptr, 0, nullptr)) {
    CloseHandle(listener);  // it lives as long as the program
  }
}

StopSignals::~StopSignals() {
  SetConsoleCtrlHandler(OnConsoleEvent, FALSE);
}

void StopSignals::Request() {
  SetEvent(os::NativeOf<HANDLE>(wake_.Get()));
}

bool StopSignals::Take() {
  HANDLE event = os::NativeOf<HANDLE>(wake_.Get());
  if (WaitForSingleObject(event, 0) != WAIT_OBJECT_0) {
    return false;
  }
  ResetEvent(event);
  return true;
}

}  // namespace shell
