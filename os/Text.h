#pragma once

// The program's text is UTF-8; Windows' is UTF-16. These convert at the edge, where a name or a
// message meets a W call. Text that is not valid in one is replaced (U+FFFD), never dropped.
// wchar_t holds UTF-16 on Windows and UTF-32 on Linux: the same code serves both.

#include <string>

namespace os {

std::wstring Widen(const std::string& text);
std::string Narrow(const std::wstring& text);

// Puts a name in double quotes, the way every message of the program names files and devices.
inline std::string Quoted(const std::string& name) {
  return '"' + name + '"';
}

}  // namespace os
