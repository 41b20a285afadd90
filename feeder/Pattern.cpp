#include "feeder/Pattern.h"

#include <algorithm>
#include <cctype>
#include <utility>

namespace feeder {

namespace {

constexpr int kMaxCount = 1000;  // the most a {n,m} may say
constexpr int kMaxDepth = 100;   // parentheses within parentheses

// What a pattern says, before it becomes steps.
struct Node {
  enum class Kind { Set, Concat, Alt, Repeat, Start, End };
  Kind kind = Kind::Concat;
  std::bitset<256> set{};
  std::vector<Node> children{};
  int min = 0;
  int max = -1;  // a repeat without an upper bound
};

std::string Hex(unsigned value) {
  constexpr const char* kDigits = "0123456789abcdef";
  return std::string("0x") + kDigits[(value >> 4) & 15] + kDigits[value & 15];
}

}  // namespace

class PatternCompiler {
 public:
  explicit PatternCompiler(std::string_view text) : text_(text) {}

  std::optional<Pattern> Compile(std::string& error) {
    Node root = Alternatives();
    if (error_.empty() && at_ < text_.size()) {
      Fail("an unmatched ) at byte " + std::to_string(at_));
    }
    if (error_.empty()) {
      Emit(root);
      Add({.op = Pattern::Op::Match});
    }
    if (!error_.empty()) {
      error = error_;
      return std::nullopt;
    }
    return std::move(pattern_);
  }

 private:
  bool More() const { return error_.empty() && at_ < text_.size(); }
  char Peek() const { return text_[at_]; }
  void Fail(std::string why) {
    if (error_.empty()) {
      error_ = std::move(why);
    }
  }

  Node Alternatives() {
    Node first = Sequence();
    if (!More() || Peek() != '|') {
      return first;
    }
    Node either{.kind = Node::Kind::Alt};
    either.children.push_back(std::move(first));
    while (More() && Peek() == '|') {
      ++at_;
      either.children.push_back(Sequence());
    }
    return either;
  }

  Node Sequence() {
    Node sequence{.kind = Node::Kind::Concat};
    while (More() && Peek() != '|' && Peek() != ')') {
      sequence.children.push_back(Repeated());
    }
    return sequence;
  }

  Node Repeated() {
    Node atom = Atom();
    while (More() && (Peek() == '*' || Peek() == '+' || Peek() == '?' || Peek() == '{')) {
      if (atom.kind == Node::Kind::Start || atom.kind == Node::Kind::End) {
        Fail(std::string(1, Peek()) + " at byte " + std::to_string(at_) + " repeats ^ or $");
        return atom;
      }
      Node repeat{.kind = Node::Kind::Repeat};
      switch (text_[at_++]) {
        case '*':
          repeat.min = 0;
          break;
        case '+':
          repeat.min = 1;
          break;
        case '?':
          repeat.max = 1;
          break;
        default:
          Counts(repeat, at_ - 1);
          break;
      }
      repeat.children.push_back(std::move(atom));
      atom = std::move(repeat);
    }
    return atom;
  }

  // {n}, {n,} or {n,m}, after the {.
  void Counts(Node& repeat, std::size_t brace) {
    const auto number = [this]() -> int {
      int value = -1;
      while (More() && std::isdigit(static_cast<unsigned char>(Peek())) != 0) {
        value = std::min(std::max(value, 0) * 10 + (Peek() - '0'), kMaxCount + 1);
        ++at_;
      }
      return value;
    };
    repeat.min = number();
    repeat.max = repeat.min;
    if (More() && Peek() == ',') {
      ++at_;
      repeat.max = number();
    }
    if (!More() || Peek() != '}' || repeat.min < 0) {
      Fail("a { at byte " + std::to_string(brace) + " that is not {n}, {n,} or {n,m}");
      return;
    }
    ++at_;
    if (repeat.min > kMaxCount || repeat.max > kMaxCount) {
      Fail("a count over " + std::to_string(kMaxCount) + " at byte " + std::to_string(brace));
    } else if (repeat.max >= 0 && repeat.max < repeat.min) {
      Fail("{" + std::to_string(repeat.min) + "," + std::to_string(repeat.max) + "} at byte " +
           std::to_string(brace) + " counts down");
    }
  }

  static Node Of(std::bitset<256> set) { return {.kind = Node::Kind::Set, .set = set}; }
  static Node Byte(unsigned char byte) {
    std::bitset<256> set;
    set.set(byte);
    return Of(set);
  }

  Node Atom() {
    const std::size_t start = at_;
    const char letter = text_[at_++];
    switch (letter) {
      case '(': {
        if (++depth_ > kMaxDepth) {
          Fail("more than " + std::to_string(kMaxDepth) + " ( within each other at byte " +
               std::to_string(start));
          return {};
        }
        Node inside = Alternatives();
        --depth_;
        if (!More() || Peek() != ')') {
          Fail("a ( at byte " + std::to_string(start) + " that is never closed");
          return inside;
        }
        ++at_;
        return inside;
      }
      case '[':
        return Of(Set(start));
      case '.':
        return Of(std::bitset<256>().set());
      case '^':
        return {.kind = Node::Kind::Start};
      case '$':
        return {.kind = Node::Kind::End};
      case '\\': {
        std::bitset<256> set;
        Escape(start, set);
        return Of(set);
      }
      case '*':
      case '+':
      case '?':
      case '{':
        Fail(std::string(1, letter) + " at byte " + std::to_string(start) + " repeats nothing");
        return {};
      default:
        break;
    }
    const auto byte = static_cast<unsigned char>(letter);
    if (byte < 0x20 || byte == 0x7f) {
      Fail("a control byte (" + Hex(byte) + ") at byte " + std::to_string(start) +
           ": write it as \\x" + Hex(byte).substr(2));
    }
    return Byte(byte);
  }

  // After a \ at `start`: adds what it stands for to `set`. Returns the one byte it stands for, or
  // nothing when it stands for a class of them (\d ...).
  std::optional<unsigned char> Escape(std::size_t start, std::bitset<256>& set) {
    if (!More()) {
      Fail("a \\ at the end");
      return std::nullopt;
    }
    const char letter = text_[at_++];
    const auto add = [&set](int (*is)(int), bool inverse) {
      for (int byte = 0; byte < 256; ++byte) {
        if ((is(byte) != 0) != inverse && (byte < 128 || inverse)) {
          set.set(static_cast<std::size_t>(byte));
        }
      }
    };
    const auto one = [&set](unsigned char byte) -> std::optional<unsigned char> {
      set.set(byte);
      return byte;
    };
    switch (letter) {
      case 'x': {
        const auto digit = [this](std::size_t at) -> int {
          if (at >= text_.size() || std::isxdigit(static_cast<unsigned char>(text_[at])) == 0) {
            return -1;
          }
          const int lower = std::tolower(static_cast<unsigned char>(text_[at]));
          return lower <= '9' ? lower - '0' : lower - 'a' + 10;
        };
        const int high = digit(at_);
        const int low = digit(at_ + 1);
        if (high < 0 || low < 0) {
          Fail("\\x at byte " + std::to_string(start) + " without two hex digits");
          return std::nullopt;
        }
        at_ += 2;
        return one(static_cast<unsigned char>(high * 16 + low));
      }
      case 'r':
        return one('\r');
      case 'n':
        return one('\n');
      case 't':
        return one('\t');
      case '0':
        return one('\0');
      case 'd':
      case 'D':
        add([](int byte) { return byte >= '0' && byte <= '9' ? 1 : 0; }, letter == 'D');
        return std::nullopt;
      case 's':
      case 'S':
        add([](int byte) { return byte < 128 ? std::isspace(byte) : 0; }, letter == 'S');
        return std::nullopt;
      case 'w':
      case 'W':
        add([](int byte) { return byte < 128 && (std::isalnum(byte) != 0 || byte == '_') ? 1 : 0; },
            letter == 'W');
        return std::nullopt;
      default:
        break;
    }
    const auto byte = static_cast<unsigned char>(letter);
    if (byte >= 0x20 && byte < 0x7f && std::isalnum(byte) == 0) {
      return one(byte);  // punctuation, or a space, as itself
    }
    Fail("\\" + std::string(1, letter) + " at byte " + std::to_string(start) + " is no escape");
    return std::nullopt;
  }

  // [...] from `start`, after its [.
  std::bitset<256> Set(std::size_t start) {
    std::bitset<256> set;
    const bool inverse = More() && Peek() == '^';
    at_ += inverse ? 1 : 0;
    while (More() && Peek() != ']') {
      std::optional<unsigned char> low;
      const std::size_t item = at_;
      if (Peek() == '\\') {
        ++at_;
        low = Escape(item, set);
      } else {
        low = static_cast<unsigned char>(text_[at_++]);
        if (*low < 0x20 || *low == 0x7f) {
          Fail("a control byte (" + Hex(*low) + ") at byte " + std::to_string(item) +
               ": write it as \\x" + Hex(*low).substr(2));
        }
        set.set(*low);
      }
      // A range, a-z; a - first or last stands for itself.
      if (low && at_ + 1 < text_.size() && Peek() == '-' && text_[at_ + 1] != ']') {
        ++at_;
        std::optional<unsigned char> high;
        std::bitset<256> ignored;
        if (Peek() == '\\') {
          const std::size_t escape = at_++;
          high = Escape(escape, ignored);
        } else {
          high = static_cast<unsigned char>(text_[at_++]);
        }
        if (!high || *high < *low) {
          Fail("a range at byte " + std::to_string(item) +
               " that is not from a byte to a later one");
          break;
        }
        for (unsigned byte = *low; byte <= *high; ++byte) {
          set.set(byte);
        }
      }
    }
    if (!More()) {
      Fail("a [ at byte " + std::to_string(start) + " that is never closed");
      return set;
    }
    ++at_;
    if (set.none()) {
      Fail("an empty set at byte " + std::to_string(start));
    }
    return inverse ? ~set : set;
  }

  std::uint32_t Here() const { return static_cast<std::uint32_t>(pattern_.program_.size()); }

  std::uint32_t Add(Pattern::Step step) {
    if (pattern_.program_.size() >= Pattern::kMaxSteps) {
      Fail("the pattern is too large: over " + std::to_string(Pattern::kMaxSteps) + " steps");
      return Here();
    }
    pattern_.program_.push_back(step);
    return Here() - 1;
  }

  void Patch(std::uint32_t step, std::uint32_t target, bool second) {
    if (step < pattern_.program_.size()) {
      (second ? pattern_.program_[step].y : pattern_.program_[step].x) = target;
    }
  }

  void Emit(const Node& node) {
    if (!error_.empty()) {
      return;
    }
    switch (node.kind) {
      case Node::Kind::Set:
        pattern_.sets_.push_back(node.set);
        Add({.op = Pattern::Op::Byte, .x = static_cast<std::uint32_t>(pattern_.sets_.size() - 1)});
        break;
      case Node::Kind::Start:
        Add({.op = Pattern::Op::Start});
        break;
      case Node::Kind::End:
        Add({.op = Pattern::Op::End});
        break;
      case Node::Kind::Concat:
        for (const Node& child : node.children) {
          Emit(child);
        }
        break;
      case Node::Kind::Alt: {
        std::vector<std::uint32_t> jumps;
        for (std::size_t i = 0; i + 1 < node.children.size(); ++i) {
          const std::uint32_t split = Add({.op = Pattern::Op::Split});
          Patch(split, Here(), false);
          Emit(node.children[i]);
          jumps.push_back(Add({.op = Pattern::Op::Jump}));
          Patch(split, Here(), true);
        }
        Emit(node.children.back());
        for (const std::uint32_t jump : jumps) {
          Patch(jump, Here(), false);
        }
        break;
      }
      case Node::Kind::Repeat: {
        // What takes no step ("()", "(){5}") is the same however often it is repeated: once.
        const std::uint32_t before = Here();
        for (int i = 0; i < node.min && error_.empty() && (i == 0 || Here() != before); ++i) {
          Emit(node.children[0]);
        }
        if (node.min > 0 && Here() == before) {
          break;
        }
        if (node.max < 0) {
          // Again and again: split to it or past it; after it, back to the split.
          const std::uint32_t split = Add({.op = Pattern::Op::Split});
          Patch(split, Here(), false);
          Emit(node.children[0]);
          Add({.op = Pattern::Op::Jump, .x = split});
          Patch(split, Here(), true);
          break;
        }
        std::vector<std::uint32_t> splits;
        for (int i = node.min; i < node.max && error_.empty(); ++i) {
          const std::uint32_t split = Add({.op = Pattern::Op::Split});
          Patch(split, Here(), false);
          const std::uint32_t inside = Here();
          Emit(node.children[0]);
          splits.push_back(split);
          if (Here() == inside) {
            break;
          }
        }
        for (const std::uint32_t split : splits) {
          Patch(split, Here(), true);
        }
        break;
      }
    }
  }

  std::string_view text_;
  std::size_t at_ = 0;
  int depth_ = 0;
  std::string error_;
  Pattern pattern_;
};

std::optional<Pattern> Pattern::Compile(std::string_view text, std::string& error) {
  return PatternCompiler(text).Compile(error);
}

}  // namespace feeder
