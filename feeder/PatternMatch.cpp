// Matching an answer against a compiled pattern (feeder/Pattern.h): every way the pattern can go,
// taken a byte at a time in step, each step at most once a byte, so the time grows with the
// answer times the pattern and never more.

#include <cstddef>
#include <cstdint>
#include <limits>
#include <utility>
#include <vector>

#include "feeder/Pattern.h"

namespace feeder {

bool Pattern::Matches(std::string_view answer, std::size_t& from) const {
  const std::size_t end = answer.size();
  constexpr std::size_t kNever = std::numeric_limits<std::size_t>::max();
  std::vector<std::size_t> seen(program_.size(), kNever);  // the position a step was last added at
  std::vector<std::uint32_t> current;
  std::vector<std::uint32_t> next;
  std::vector<std::uint32_t> stack;
  bool matched = false;
  // Adds the step `pc` at `position`, and every step it leads to without taking a byte.
  const auto add = [&](std::vector<std::uint32_t>& list, std::uint32_t pc, std::size_t position) {
    stack.push_back(pc);
    while (!stack.empty()) {
      const std::uint32_t step = stack.back();
      stack.pop_back();
      if (seen[step] == position) {
        continue;
      }
      seen[step] = position;
      const Step& here = program_[step];
      switch (here.op) {
        case Op::Byte:
          list.push_back(step);
          break;
        case Op::Match:
          matched = matched || position == end;
          break;
        case Op::Jump:
          stack.push_back(here.x);
          break;
        case Op::Split:
          stack.push_back(here.y);
          stack.push_back(here.x);
          break;
        case Op::Start:
          if (position == 0) {
            stack.push_back(step + 1);
          }
          break;
        case Op::End:
          if (position == end) {
            stack.push_back(step + 1);
          }
          break;
      }
    }
  };
  add(current, 0, 0);
  for (std::size_t position = 0; position < end; ++position) {
    next.clear();
    const auto byte = static_cast<unsigned char>(answer[position]);
    for (const std::uint32_t step : current) {
      if (sets_[program_[step].x][byte]) {
        add(next, step + 1, position + 1);
      }
    }
    if (next.empty()) {
      // No way on: at the last byte a match may still have been reached.
      from = matched && position + 1 == end ? end : position;
      return from == end;
    }
    std::swap(current, next);
  }
  from = end;
  return matched;
}

}  // namespace feeder
