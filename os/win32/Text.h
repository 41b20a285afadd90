#pragma once

// The program's text is UTF-8; Windows' is UTF-16. These convert at the edge, where a name or a
// message meets a W call, with Windows' own functions: text that is not valid in one is
// replaced (U+FFFD), never dropped.

#include <string>

namespace os {

std::wstring Widen(const std::string& text);
std::string Narrow(const std::wstring& text);

}  // namespace os
