#pragma once

#include <string>

namespace os {

// The system's text for one of its error numbers (errno on Linux, GetLastError() on Windows),
// e.g. "No such file or directory", without a closing full stop.
std::string ErrorText(int error);

}  // namespace os
