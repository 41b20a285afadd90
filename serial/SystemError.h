#pragma once

#include <string>

namespace serial {

// The operating system's text for an errno value, e.g. "No such file or directory".
std::string ErrorText(int error);

// Puts a name in double quotes, the way every message of the program names files and devices.
std::string Quoted(const std::string& name);

}  // namespace serial
