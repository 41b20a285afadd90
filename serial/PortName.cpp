#include "serial/PortName.h"

#include <algorithm>
#include <cctype>
#include <charconv>

namespace serial {

std::optional<unsigned> ComNumber(const std::string& value) {
  if (value.size() <= 3 || value[3] == '0' ||
      !std::equal(value.begin(), value.begin() + 3, "COM", [](char a, char b) {
        return std::toupper(static_cast<unsigned char>(a)) == b;
      })) {
    return std::nullopt;
  }
  unsigned number = 0;
  const char* end = value.data() + value.size();
  const auto [rest, error] = std::from_chars(value.data() + 3, end, number);
  if (error != std::errc{} || rest != end || number == 0) {
    return std::nullopt;
  }
  return number;
}

}  // namespace serial
