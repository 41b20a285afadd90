// The patterns of checkN.match and the answers they judge: the input is a pattern, a NUL, and an
// answer. Whatever the pattern, it compiles or says why; whatever the answer, it matches or says
// where it stops, in time that grows with the answer and the pattern, never more (libFuzzer's
// time-out is a second an input). A pattern of plain letters matches exactly itself.

#include <algorithm>
#include <cctype>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "feeder/Pattern.h"
#include "tests/fuzz/Fuzz.h"

using fuzz::Require;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* input, std::size_t size) {
  const std::string_view all(reinterpret_cast<const char*>(input), size);
  const std::size_t split = std::min(all.find('\0'), all.size());
  const std::string_view text = all.substr(0, split);
  const std::string_view answer = split < all.size() ? all.substr(split + 1) : std::string_view();
  std::string error;
  const auto pattern = feeder::Pattern::Compile(text, error);
  if (!pattern) {
    Require(!error.empty());
    return 0;
  }
  Require(pattern->Steps() <= feeder::Pattern::kMaxSteps);
  std::size_t from = 0;
  const bool matches = pattern->Matches(answer, from);
  Require(matches ? from == answer.size() : from <= answer.size());
  if (std::all_of(text.begin(), text.end(), [](char letter) {
        return std::isalnum(static_cast<unsigned char>(letter)) != 0 || letter == ' ';
      })) {
    Require(matches == (answer == text));
  }
  return 0;
}
