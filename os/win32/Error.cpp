#include "os/Error.h"

#include <windows.h>

#include <array>

#include "os/win32/Text.h"

namespace os {

std::string ErrorText(int error) {
  // In English where Windows has it, as the rest of every message is; else in the user's language.
  std::array<wchar_t, 512> text{};
  const auto code = static_cast<DWORD>(error);
  DWORD length = 0;
  for (const DWORD language : {DWORD{MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US)}, DWORD{0}}) {
    length = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                            code, language, text.data(), static_cast<DWORD>(text.size()), nullptr);
    if (length != 0) {
      break;
    }
  }
  std::wstring message(text.data(), length);
  // Windows ends its texts with a full stop and a line end: a reason here ends a sentence of ours.
  while (!message.empty() && (message.back() == L'\n' || message.back() == L'\r' ||
                              message.back() == L' ' || message.back() == L'.')) {
    message.pop_back();
  }
  return message.empty() ? "error " + std::to_string(code) : Narrow(message);
}

bool NotFound(int error) {
  return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
}

}  // namespace os
