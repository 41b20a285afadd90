#pragma once

// The words of the program's messages: the thing, quoted, then the system's reason.

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
