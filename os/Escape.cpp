#include "os/Escape.h"

#include <array>
#include <cctype>
#include <cstdio>

namespace os {

std::string Escaped(std::byte byte) {
  const auto value = std::to_integer<unsigned char>(byte);
  switch (value) {
    case '\r':
      return "\\r";
    case '\n':
      return "\\n";
    case '\t':
      return "\\t";
    case '\\':
      return "\\\\";
    default:
      break;
  }
  if (value >= 0x20 && value < 0x7f) {
    return std::string(1, static_cast<char>(value));
  }
  std::array<char, 8> hex{};
  std::snprintf(hex.data(), hex.size(), "\\x%02x", value);
  return hex.data();
}

std::optional<std::string> Unescaped(std::string_view text) {
  std::string bytes;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char letter = text[i];
    if (letter != '\\') {
      if (letter < 0x20 || letter > 0x7e) {
        return std::nullopt;  // the text format writes no such byte bare
      }
      bytes += letter;
      continue;
    }
    if (++i == text.size()) {
      return std::nullopt;
    }
    switch (text[i]) {
      case 'r':
        bytes += '\r';
        break;
      case 'n':
        bytes += '\n';
        break;
      case 't':
        bytes += '\t';
        break;
      case '\\':
        bytes += '\\';
        break;
      case 'x': {
        const auto digit = [&](std::size_t at) -> int {
          if (at >= text.size() || !std::isxdigit(static_cast<unsigned char>(text[at]))) {
            return -1;
          }
          const auto hex = static_cast<char>(std::tolower(static_cast<unsigned char>(text[at])));
          return hex <= '9' ? hex - '0' : hex - 'a' + 10;
        };
        const int high = digit(i + 1);
        const int low = digit(i + 2);
        if (high < 0 || low < 0) {
          return std::nullopt;
        }
        bytes += static_cast<char>(high * 16 + low);
        i += 2;
        break;
      }
      default:
        return std::nullopt;
    }
  }
  return bytes;
}

}  // namespace os
