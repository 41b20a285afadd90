#pragma once

// The words of the program's messages: the thing, quoted, then the system's reason.
//
// A failure the program tells the user about is reported one way: the function returns the reason
// in these words, or "" when it worked, and is [[nodiscard]], so no caller can drop it. Exceptions
// are for what the program cannot go on from (no timer, no wait), and for a tick that failed,
// which ends the tick.

#include <string>

namespace os {

// The system's text for one of its error numbers (errno on Linux, GetLastError() on Windows),
// e.g. "No such file or directory", without a closing full stop.
std::string ErrorText(int error);

// Puts a name in double quotes, the way every message of the program names files and devices.
inline std::string Quoted(const std::string& name) {
  return '"' + name + '"';
}

}  // namespace os
