#pragma once

// The patterns of checkN.match files: what a whole answer of the device must be, when its exact
// bytes may change (a weight, a time, a counter). One syntax on every system, matched in time that
// grows with the answer's length and the pattern's size, never exponentially: a Thompson NFA run
// in step with the answer (Pike's VM), as RE2 and Go's regexp do.
//
//   abc        those bytes                 .        any byte
//   [a-z0-9]   one byte of a set           [^,]     one byte not in it
//   \d \D      a digit, a non-digit        \s \S    space, tab, CR, LF, VT, FF, or not
//   \w \W      a letter, digit or _, or not
//   \xNN       the byte NN (hex)           \r \n \t \0
//   \.  \\     a character that means something else, as itself
//   x* x+ x?   any number, one or more, at most one
//   x{n} x{n,} x{n,m}                       (n, m at most 1000)
//   (a|b)      either                      ^ $      the start, the end
//
// The whole answer must match: a pattern is anchored at both ends. A byte that is not printable
// ASCII (a control byte) is written as \xNN; bytes from 0x80 stand for themselves.

#include <bitset>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace feeder {

class Pattern {
 public:
  // The most steps a compiled pattern may have, and the longest answer one is matched against.
  static constexpr std::size_t kMaxSteps = 2000;
  static constexpr std::size_t kMaxAnswer = 65536;

  // Compiles `text`. Nothing, and why in `error` ("an unmatched ) at byte 5"), when it is not a
  // pattern.
  static std::optional<Pattern> Compile(std::string_view text, std::string& error);

  // Whether the whole of `answer` matches. Otherwise, in `from`, the offset of the first byte no
  // match can go on from (or the answer's length, when it ended too early).
  bool Matches(std::string_view answer, std::size_t& from) const;
  bool Matches(std::string_view answer) const {
    std::size_t from = 0;
    return Matches(answer, from);
  }

  // How many steps it was compiled into.
  std::size_t Steps() const { return program_.size(); }

 private:
  enum class Op : std::uint8_t { Byte, Split, Jump, Start, End, Match };
  struct Step {
    Op op = Op::Match;
    std::uint32_t x = 0;  // Byte: the set; Split: the first way; Jump: where
    std::uint32_t y = 0;  // Split: the second way
  };
  friend class PatternCompiler;

  std::vector<Step> program_;
  std::vector<std::bitset<256>> sets_;
};

}  // namespace feeder
