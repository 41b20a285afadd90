#pragma once

// What the device answers each check file, judged (--expect): what checkN.expect or checkN.match
// beside checkN.txt says the answer must be, the window in which the answer is taken, and the
// verdict with its latency. Pure: the shell gives the times and the bytes as they come.
//
// The answer to a send is every byte the device sends from the start of the send until `within`
// after its last byte has left the port, and never past the next tick. Bytes that come after the
// window, before the next send, are late: kept out of every answer, and said.

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "feeder/Pattern.h"
#include "os/Wait.h"

namespace feeder {

// What check file N expects.
struct Expectation {
  std::string file;                // "check3.expect" or "check3.match"; "" when there is none
  std::string exact;               // .expect: the whole answer, byte for byte
  std::optional<Pattern> pattern;  // .match: what the whole answer must match

  bool Judged() const { return !file.empty(); }
};

// "check3.expect", "check3.match".
std::string ExpectFileName(std::int32_t number);
std::string MatchFileName(std::int32_t number);

// Reads what check file `number` expects, from the working directory: nothing when it has neither
// file. Throws TickFailure when one cannot be read, a pattern does not compile, or both are
// there.
Expectation ReadExpectation(std::int32_t number);

struct Verdict {
  enum class Kind { Expected, Differed, Missing, NotJudged };
  Kind kind = Kind::NotJudged;
  std::string file;  // "check3.txt"
  int rotation = 1;  // from 1
  // "as expected", "the answer differs at byte 2: expected "K" (0x4b), came "#" (0x23)", "no
  // answer within 300 ms", "not judged: Cannot open file "check3.txt": ..."
  std::string text;
  std::optional<std::chrono::nanoseconds> latency;  // when an answer came
  std::string answer;                               // what came

  bool Failed() const { return kind != Kind::Expected; }
  // "check3.txt #2", as a report names the send.
  std::string Name() const { return file + " #" + std::to_string(rotation); }
  // "check3.txt: the answer differs ...".
  std::string Message() const { return file + ": " + text; }
};

// `answer` judged against `expectation`, which must judge: the kind and the words of a verdict.
// `within` is the window, for a missing answer's words.
Verdict Judge(const Expectation& expectation, std::string_view answer,
              std::chrono::milliseconds within);

// "20.4 ms": a latency to a tenth of a millisecond.
std::string Milliseconds(std::chrono::nanoseconds latency);

// The answers to the sends, one window at a time.
class Answers {
 public:
  explicit Answers(std::chrono::milliseconds within) : within_(within) {}

  std::chrono::milliseconds Within() const { return within_; }

  // A send of `file`, in rotation `rotation`, begins at `at`: what comes from now is its answer.
  // A window still open is closed first (the next tick): its verdict then.
  std::optional<Verdict> Began(std::string file, int rotation, Expectation expectation,
                               os::Clock::time_point at);

  // Its last byte left the port at `at`: its window closes `within` later.
  void Left(os::Clock::time_point at);

  // It did not go out whole, for `why`: it is not judged. Its verdict.
  std::optional<Verdict> NotSent(const std::string& why);

  // Bytes from the device, at `at`.
  void Received(std::string_view bytes, os::Clock::time_point at);

  // When the window under way closes: nothing when none is open, or its send is not over.
  std::optional<os::Clock::time_point> Deadline() const;

  // Closes the window when its time has come at `now`, or at once when `now` is the next tick or
  // the end (`ends`). Its verdict, or nothing when no window closed.
  std::optional<Verdict> Close(os::Clock::time_point now, bool ends);

  // Bytes that came after the last window closed (and before the next send, which is what to ask
  // before Began): the send they came after, how many, and how long after its last byte the
  // first came. Each told once.
  struct Late {
    std::string name;  // "check3.txt #2"
    std::size_t bytes = 0;
    std::chrono::nanoseconds after{};
  };
  std::optional<Late> TakeLate();

 private:
  std::chrono::milliseconds within_;
  struct Window {
    Verdict verdict;
    Expectation expectation;
    os::Clock::time_point began{};
    std::optional<os::Clock::time_point> left;
    std::optional<os::Clock::time_point> first;  // when the answer's first byte came
    std::string answer;
  };
  std::optional<Window> open_;
  // The last send judged, for bytes that come late.
  std::string lastName_;
  std::optional<os::Clock::time_point> lastLeft_;
  Late late_;
};

}  // namespace feeder
