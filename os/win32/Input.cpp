#include <windows.h>

#include <system_error>

#include "os/Input.h"

namespace os {

// Manual-reset: a port's overlapped read sets it when it finishes, and starting the next one
// clears it.
InputWake::InputWake() {
  HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  if (event == nullptr) {
    throw std::system_error(static_cast<int>(GetLastError()), std::system_category(),
                            "Cannot watch the port's input");
  }
  owned_.Reset(WakeOf(event));
}

}  // namespace os
