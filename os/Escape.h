#pragma once

// Bytes as printable text and back: printable ASCII as it is, every other byte as an escape (\r,
// \n, \t, \\, \xNN), so that a backslash the bytes hold can never be read as the start of one.
// The capture's text format writes the device's bytes so (shell/Capture.h), and a verdict quotes
// an answer so (feeder/Answers.h).

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace os {

// One byte as text.
std::string Escaped(std::byte byte);

// The bytes a text so written stands for: its escapes undone. Nothing when `text` is not one it
// could have written (a backslash that begins no escape, a byte that is not printable ASCII).
std::optional<std::string> Unescaped(std::string_view text);

}  // namespace os
