#include "feeder/Answers.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <utility>

#include "feeder/CheckCycle.h"
#include "feeder/CheckFile.h"
#include "os/Error.h"
#include "os/Escape.h"

namespace feeder {
namespace {

// A byte inside the quotes a verdict shows it in: as the capture's text writes it, and a quote
// escaped too.
std::string Escape(char byte) {
  return byte == '"' ? "\\\"" : os::Escaped(static_cast<std::byte>(byte));
}

// One byte: "K" (0x4b), "\r" (0x0d).
std::string Shown(char byte) {
  std::array<char, 8> hex{};
  std::snprintf(hex.data(), hex.size(), "0x%02x", static_cast<unsigned char>(byte));
  return "\"" + Escape(byte) + "\" (" + hex.data() + ")";
}

// The start of `bytes`, escaped, at most 40 of them.
std::string Quote(std::string_view bytes) {
  std::string text = "\"";
  for (const char byte : bytes.substr(0, 40)) {
    text += Escape(byte);
  }
  return text + (bytes.size() > 40 ? "\"..." : "\"");
}

std::string Bytes(std::size_t count) {
  return std::to_string(count) + (count == 1 ? " byte" : " bytes");
}

// Reads the whole of the file `name` (at most `most` bytes) into `into`; false when it is not
// there. Throws TickFailure when it is there and cannot be read.
bool ReadAll(const std::string& name, std::size_t most, std::string& into) {
  CheckFile file(name);
  if (os::NotFound(file.OpenError())) {
    return false;
  }
  const auto fail = [&name](const std::string& why) {
    const std::string message = "Cannot read file " + os::Quoted(name) + ": " + why;
    throw TickFailure(message, name, message);
  };
  if (file.OpenError() != 0) {
    fail(os::ErrorText(file.OpenError()));
  }
  const CheckFile::Status status = file.Stat();
  if (status.error != 0) {
    fail(os::ErrorText(status.error));
  }
  if (!status.regular) {
    fail("not a regular file");
  }
  if (status.size > static_cast<std::int64_t>(most)) {
    fail(std::to_string(status.size) + " bytes is more than the " + std::to_string(most) +
         " bytes an answer may have");
  }
  into.assign(static_cast<std::size_t>(status.size), '\0');
  for (std::size_t got = 0; got < into.size();) {
    int error = 0;
    const std::int64_t count =
        file.Read(std::as_writable_bytes(std::span(into.data() + got, into.size() - got)), error);
    if (count < 0) {
      fail(os::ErrorText(error));
    }
    if (count == 0) {
      into.resize(got);  // it shrank meanwhile: what it holds now
      break;
    }
    got += static_cast<std::size_t>(count);
  }
  return true;
}

}  // namespace

std::string ExpectFileName(std::int32_t number) {
  return "check" + std::to_string(number) + ".expect";
}

std::string MatchFileName(std::int32_t number) {
  return "check" + std::to_string(number) + ".match";
}

Expectation ReadExpectation(std::int32_t number) {
  Expectation expectation;
  const std::string expect = ExpectFileName(number);
  const std::string match = MatchFileName(number);
  std::string text;
  const bool exact = ReadAll(expect, SendBufferSize, expectation.exact);
  if (!ReadAll(match, Pattern::kMaxSteps * 8, text)) {
    if (exact) {
      expectation.file = expect;
    }
    return expectation;
  }
  if (exact) {
    const std::string message = "Cannot judge " + CheckFileName(number) + ": both " + expect +
                                " and " + match + " are there; keep one";
    throw TickFailure(message, match, message);
  }
  // A line end at the end of the file is the editor's, not the pattern's.
  if (text.ends_with("\r\n")) {
    text.resize(text.size() - 2);
  } else if (text.ends_with('\n')) {
    text.pop_back();
  }
  std::string error;
  expectation.pattern = Pattern::Compile(text, error);
  if (!expectation.pattern) {
    const std::string message = "Cannot use pattern " + os::Quoted(match) + ": " + error;
    throw TickFailure(message, match, message);
  }
  expectation.file = match;
  return expectation;
}

std::string Milliseconds(std::chrono::nanoseconds latency) {
  std::array<char, 32> text{};
  std::snprintf(text.data(), text.size(), "%.1f ms",
                std::chrono::duration<double, std::milli>(latency).count());
  return text.data();
}

Verdict Judge(const Expectation& expectation, std::string_view answer,
              std::chrono::milliseconds within) {
  Verdict verdict;
  verdict.answer = std::string(answer);
  if (answer.empty()) {
    verdict.kind = Verdict::Kind::Missing;
    verdict.text = "no answer within " + std::to_string(within.count()) + " ms";
    return verdict;
  }
  verdict.kind = Verdict::Kind::Differed;
  if (expectation.pattern) {
    if (answer.size() > Pattern::kMaxAnswer) {
      verdict.text = "the answer is " + Bytes(answer.size()) + ", more than a pattern is " +
                     "matched against (" + std::to_string(Pattern::kMaxAnswer) + ")";
      return verdict;
    }
    std::size_t from = 0;
    if (expectation.pattern->Matches(answer, from)) {
      verdict.kind = Verdict::Kind::Expected;
      verdict.text = "as expected";
    } else if (from < answer.size()) {
      verdict.text = "the answer does not match " + expectation.file + " from byte " +
                     std::to_string(from) + ": came " + Shown(answer[from]) + " in " +
                     Quote(answer);
    } else {
      verdict.text = "the answer does not match " + expectation.file + ": it ends after " +
                     Bytes(answer.size()) + " (" + Quote(answer) + ")";
    }
    return verdict;
  }
  const std::string& exact = expectation.exact;
  const auto [wanted, came] =
      std::mismatch(exact.begin(), exact.end(), answer.begin(), answer.end());
  const auto at = static_cast<std::size_t>(wanted - exact.begin());
  if (wanted == exact.end() && came == answer.end()) {
    verdict.kind = Verdict::Kind::Expected;
    verdict.text = "as expected";
  } else if (wanted != exact.end() && came != answer.end()) {
    verdict.text = "the answer differs at byte " + std::to_string(at) + ": expected " +
                   Shown(*wanted) + ", came " + Shown(*came);
  } else if (came == answer.end()) {
    verdict.text = "the answer ends after " + Bytes(answer.size()) + " of " +
                   std::to_string(exact.size()) + ": expected " + Shown(*wanted) + " at byte " +
                   std::to_string(at);
  } else {
    verdict.text = "the answer goes on after the " + Bytes(exact.size()) + " expected: came " +
                   Shown(*came) + " at byte " + std::to_string(at);
  }
  return verdict;
}

std::optional<Verdict> Answers::Began(std::string file, int rotation, Expectation expectation,
                                      os::Clock::time_point at) {
  std::optional<Verdict> closed = Close(at, true);
  lastLeft_.reset();  // what comes from now is this send's
  if (expectation.Judged()) {
    open_ = Window{.verdict = {.kind = Verdict::Kind::NotJudged,
                               .file = std::move(file),
                               .rotation = rotation,
                               .text = {},
                               .latency = {},
                               .answer = {}},
                   .expectation = std::move(expectation),
                   .began = at,
                   .left = {},
                   .first = {},
                   .answer = {}};
  }
  return closed;
}

void Answers::Left(os::Clock::time_point at) {
  if (open_) {
    open_->left = at;
  }
}

std::optional<Verdict> Answers::NotSent(const std::string& why) {
  if (!open_) {
    return std::nullopt;
  }
  Verdict verdict = std::move(open_->verdict);
  verdict.text = "not judged: " + why;
  open_.reset();
  return verdict;
}

void Answers::Received(std::string_view bytes, os::Clock::time_point at) {
  if (bytes.empty()) {
    return;
  }
  if (open_) {
    if (!open_->first) {
      open_->first = at;
    }
    open_->answer.append(bytes);
    return;
  }
  if (lastLeft_) {
    if (late_.bytes == 0) {
      late_.name = lastName_;
      late_.after = at - *lastLeft_;
    }
    late_.bytes += bytes.size();
  }
}

std::optional<os::Clock::time_point> Answers::Deadline() const {
  if (!open_ || !open_->left) {
    return std::nullopt;
  }
  return *open_->left + within_;
}

std::optional<Verdict> Answers::Close(os::Clock::time_point now, bool ends) {
  if (!open_ || (!ends && (!Deadline() || now < *Deadline()))) {
    return std::nullopt;
  }
  Window window = std::move(*open_);
  open_.reset();
  Verdict judged = Judge(window.expectation, window.answer, within_);
  Verdict verdict = std::move(window.verdict);
  verdict.kind = judged.kind;
  verdict.text = std::move(judged.text);
  verdict.answer = std::move(judged.answer);
  if (window.first) {
    // From the last byte leaving the port; an answer that began before (an echo) is at once.
    const os::Clock::time_point from = window.left.value_or(window.began);
    verdict.latency = std::max(*window.first - from, os::Clock::duration::zero());
  }
  lastName_ = verdict.Name();
  lastLeft_ = window.left.value_or(window.began);
  return verdict;
}

std::optional<Answers::Late> Answers::TakeLate() {
  if (late_.bytes == 0) {
    return std::nullopt;
  }
  return std::exchange(late_, {});
}

}  // namespace feeder
