// Judging what the device answers: the patterns of checkN.match, the window an answer is taken
// in, the verdicts' words, and what a run ends with (the summary, the JUnit report).

#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "feeder/Answers.h"
#include "feeder/CheckCycle.h"
#include "feeder/Pattern.h"
#include "shell/Verdicts.h"
#include "tests/Support.h"

namespace {

using namespace std::chrono_literals;
using feeder::Pattern;
using Kind = feeder::Verdict::Kind;

Pattern Compiled(const std::string& text) {
  std::string error;
  std::optional<Pattern> pattern = Pattern::Compile(text, error);
  EXPECT_TRUE(pattern) << text << ": " << error;
  return pattern ? *pattern : *Pattern::Compile("", error);
}

std::string Refused(const std::string& text) {
  std::string error;
  EXPECT_FALSE(Pattern::Compile(text, error)) << text;
  return error;
}

TEST(PatternTest, TheWholeAnswerMustMatchInOneSyntax) {
  const std::string weight = R"(W=\s*\d+\.\d g\r\n)";
  EXPECT_TRUE(Compiled(weight).Matches("W= 12.5 g\r\n"));
  EXPECT_TRUE(Compiled(weight).Matches("W=123.0 g\r\n"));
  EXPECT_FALSE(Compiled(weight).Matches("W=12.5 g\r\n and more"));  // anchored at both ends
  EXPECT_FALSE(Compiled(weight).Matches("xW=12.5 g\r\n"));
  for (const auto& [pattern, yes, no] : std::initializer_list<std::array<std::string, 3>>{
           {"OK|ERR \\d+", "ERR 42", "ERR"},
           {"(ab)+c?", "ababc", "abac"},
           {"[A-F0-9]{4}", "1F0A", "1F0"},
           {"[^,]+,[^,]+", "a b,c", "a,b,c"},
           {"x{2,}", "xxxx", "x"},
           {"x{1,3}", "xxx", "xxxx"},
           {"\\x02READY \\d{4}\\x03", std::string("\x02READY 0042\x03"), "\x02READY 42\x03"},
           {".*\\.", "any \x01\xff bytes.", "no full stop"},
           {"^\\w+$", "word_1", "two words"},
           {"\\[\\]\\(\\)\\\\", "[]()\\", "[]()"},
           {"caf\xc3\xa9", "caf\xc3\xa9", "cafe"},
           {"", "", "x"}}) {
    EXPECT_TRUE(Compiled(pattern).Matches(yes)) << pattern << " against " << yes;
    EXPECT_FALSE(Compiled(pattern).Matches(no)) << pattern << " against " << no;
  }
  // Where no match can go on: the first byte none takes, or the end when it ends too early.
  std::size_t from = 0;
  EXPECT_FALSE(Compiled("OK\\r\\n").Matches("OX\r\n", from));
  EXPECT_EQ(from, 1U);
  EXPECT_FALSE(Compiled("OK\\r\\n").Matches("OK\r", from));
  EXPECT_EQ(from, 3U);
}

TEST(PatternTest, WhatIsNoPatternIsSaidWithWhereAndNothingTakesLong) {
  EXPECT_EQ(Refused("OK)"), "an unmatched ) at byte 2");
  EXPECT_EQ(Refused("(OK"), "a ( at byte 0 that is never closed");
  EXPECT_EQ(Refused("[a-"), "a [ at byte 0 that is never closed");
  EXPECT_EQ(Refused("*x"), "* at byte 0 repeats nothing");
  EXPECT_EQ(Refused("a{3,1}"), "{3,1} at byte 1 counts down");
  EXPECT_EQ(Refused("a{2"), "a { at byte 1 that is not {n}, {n,} or {n,m}");
  EXPECT_EQ(Refused("a{1001}"), "a count over 1000 at byte 1");
  EXPECT_EQ(Refused("\\q"), "\\q at byte 0 is no escape");
  EXPECT_EQ(Refused("\\x4"), "\\x at byte 0 without two hex digits");
  EXPECT_EQ(Refused("OK\r\n"), "a control byte (0x0d) at byte 2: write it as \\x0d");
  EXPECT_EQ(Refused("[z-a]"), "a range at byte 1 that is not from a byte to a later one");
  EXPECT_EQ(Refused("(((a){1000}){1000}){1000}"), "the pattern is too large: over 2000 steps");
  EXPECT_EQ(Refused(std::string(101, '(') + std::string(101, ')')),
            "more than 100 ( within each other at byte 100");

  // A pattern that backtracking would take years over is matched in one pass: (a*)*b against
  // 64 KiB of a, and a pattern of the most steps against the longest answer.
  const auto began = std::chrono::steady_clock::now();
  EXPECT_FALSE(Compiled("(a*)*b").Matches(std::string(Pattern::kMaxAnswer, 'a')));
  EXPECT_FALSE(Compiled("(a|aa)*c").Matches(std::string(Pattern::kMaxAnswer, 'a')));
  // Found by the fuzzer: what takes no step, repeated a great many times ("((){10}{511}){10}{511}"
  // took seconds; this, 10^10 repeats of nothing, would take minutes), compiled in no time.
  EXPECT_TRUE(Compiled("((){10}{511}){10}{511}").Matches(""));
  EXPECT_FALSE(Compiled("((((){1000}){1000}){1000}){10}x").Matches(""));
  const Pattern large = Compiled("(a?){500}(a*)*b");
  EXPECT_GT(large.Steps(), 1000U);
  EXPECT_FALSE(large.Matches(std::string(Pattern::kMaxAnswer, 'a')));
  EXPECT_LT(std::chrono::steady_clock::now() - began, 5s);
}

feeder::Expectation Exactly(const std::string& bytes) {
  return {.file = "check3.expect", .exact = bytes, .pattern = {}};
}

TEST(VerdictTest, EachVerdictSaysWhatCameAndWhereItDiffers) {
  const auto text = [](const feeder::Expectation& expectation, const std::string& answer) {
    return feeder::Judge(expectation, answer, 300ms).text;
  };
  EXPECT_EQ(text(Exactly("OK\r\n"), "OK\r\n"), "as expected");
  EXPECT_EQ(text(Exactly("OK\r\n"), "O#\r\n"),
            "the answer differs at byte 1: expected \"K\" (0x4b), came \"#\" (0x23)");
  EXPECT_EQ(text(Exactly("OK\r\n"), "OK"),
            "the answer ends after 2 bytes of 4: expected \"\\r\" (0x0d) at byte 2");
  EXPECT_EQ(text(Exactly("OK"), "OK\x01"),
            "the answer goes on after the 2 bytes expected: came \"\\x01\" (0x01) at byte 2");
  EXPECT_EQ(text(Exactly("OK"), ""), "no answer within 300 ms");
  EXPECT_EQ(feeder::Judge(Exactly("OK"), "", 300ms).kind, Kind::Missing);
  feeder::Expectation weight{.file = "check3.match", .exact = {}, .pattern = Compiled("W=\\d+")};
  EXPECT_EQ(text(weight, "W=12"), "as expected");
  EXPECT_EQ(text(weight, "W=1x2"),
            "the answer does not match check3.match from byte 3: came \"x\" (0x78) in \"W=1x2\"");
  EXPECT_EQ(text(weight, "W="),
            "the answer does not match check3.match: it ends after 2 bytes "
            "(\"W=\")");
}

// The window: from the start of the send until `within` after its last byte left the port,
// never past the next tick; an answer in pieces is one; what comes after it is late, and no
// part of the next send's answer.
TEST(AnswersTest, AnAnswerIsWhatComesWithinItsWindowAndNothingLateIsCredited) {
  const os::Clock::time_point t0{};
  feeder::Answers answers(300ms);
  EXPECT_FALSE(answers.Began("check1.txt", 1, Exactly("OK\r\n"), t0));
  answers.Received("O", t0 + 5ms);              // an echo may begin during the send
  EXPECT_EQ(answers.Deadline(), std::nullopt);  // not over until its last byte has left
  answers.Left(t0 + 10ms);
  EXPECT_EQ(answers.Deadline(), t0 + 310ms);
  answers.Received("K\r", t0 + 30ms);
  answers.Received("\n", t0 + 309ms);
  EXPECT_FALSE(answers.Close(t0 + 309ms, false));
  std::optional<feeder::Verdict> verdict = answers.Close(t0 + 310ms, false);
  ASSERT_TRUE(verdict);
  EXPECT_EQ(verdict->kind, Kind::Expected);
  EXPECT_EQ(verdict->Name(), "check1.txt #1");
  EXPECT_EQ(verdict->latency, 0ns);  // it began before the send was over

  // Late: after the window, before the next send; told once, and not the next one's.
  answers.Received("ACK", t0 + 400ms);
  answers.Received("!", t0 + 450ms);
  const auto late = answers.TakeLate();
  ASSERT_TRUE(late);
  EXPECT_EQ(late->name, "check1.txt #1");
  EXPECT_EQ(late->bytes, 4U);
  EXPECT_EQ(late->after, 390ms);
  EXPECT_FALSE(answers.TakeLate());
  EXPECT_FALSE(answers.Began("check2.txt", 1, Exactly("OK"), t0 + 500ms));
  answers.Left(t0 + 501ms);
  answers.Received("OK", t0 + 521ms + 400us);
  verdict = answers.Close(t0 + 900ms, false);
  ASSERT_TRUE(verdict);
  EXPECT_EQ(verdict->kind, Kind::Expected);
  EXPECT_EQ(verdict->latency, 20ms + 400us);
  EXPECT_EQ(feeder::Milliseconds(*verdict->latency), "20.4 ms");

  // The next tick ends a window still open: what came so far is the answer.
  EXPECT_FALSE(answers.Began("check3.txt", 1, Exactly("OK"), t0 + 1s));
  answers.Left(t0 + 1s);
  answers.Received("O", t0 + 1s + 100ms);
  verdict = answers.Began("check4.txt", 1, Exactly("x"), t0 + 1s + 200ms);
  ASSERT_TRUE(verdict);
  EXPECT_EQ(verdict->file, "check3.txt");
  EXPECT_EQ(verdict->kind, Kind::Differed);
  // A send that did not go out is not judged.
  verdict = answers.NotSent("Cannot send file \"check4.txt\" to port \"COM1\": gone");
  ASSERT_TRUE(verdict);
  EXPECT_EQ(verdict->Message(),
            "check4.txt: not judged: Cannot send file \"check4.txt\" to port \"COM1\": gone");
  EXPECT_FALSE(answers.Close(t0 + 10s, true));
  // A file with nothing to judge it by opens no window: what follows it is no one's.
  EXPECT_FALSE(answers.Began("check5.txt", 1, {}, t0 + 11s));
  answers.Received("x", t0 + 11s + 1ms);
  EXPECT_FALSE(answers.TakeLate());
  EXPECT_FALSE(answers.Close(t0 + 12s, true));
}

TEST(AnswersTest, WhatAFileExpectsIsReadBesideItAndAFaultyOneFailsItsTick) {
  const testing_support::ScratchDirectory scratch;
  EXPECT_FALSE(feeder::ReadExpectation(1).Judged());
  testing_support::WriteFile("check1.expect", std::string("OK\r\n\0", 5));
  EXPECT_EQ(feeder::ReadExpectation(1).exact, std::string("OK\r\n\0", 5));
  testing_support::WriteFile("check2.match",
                             "W=\\d+\\r\\n\n");  // the editor's line end is not in it
  const feeder::Expectation pattern = feeder::ReadExpectation(2);
  EXPECT_EQ(pattern.file, "check2.match");
  ASSERT_TRUE(pattern.pattern);
  EXPECT_TRUE(pattern.pattern->Matches("W=5\r\n"));
  const auto failure = [](std::int32_t number) {
    try {
      feeder::ReadExpectation(number);
    } catch (const feeder::TickFailure& failed) {
      return std::string(failed.what());
    }
    return std::string("no failure");
  };
  testing_support::WriteFile("check3.match", "(W=");
  EXPECT_EQ(failure(3), "Cannot use pattern \"check3.match\": a ( at byte 0 that is never closed");
  testing_support::WriteFile("check1.match", "OK");
  EXPECT_EQ(failure(1),
            "Cannot judge check1.txt: both check1.expect and check1.match are there; "
            "keep one");
  std::filesystem::create_directory("check4.expect");
  EXPECT_EQ(failure(4), "Cannot read file \"check4.expect\": not a regular file");
}

TEST(VerdictsTest, ARunEndsWithASummaryAndAReportThatCountTheVerdicts) {
  shell::Verdicts verdicts;
  EXPECT_EQ(verdicts.Summary(),
            "no answer judged: no check file sent has a checkN.expect or checkN.match beside it");
  EXPECT_FALSE(verdicts.AnyFailed());
  const auto add = [&verdicts](Kind kind, const char* file, int rotation, std::string text,
                               std::optional<std::chrono::nanoseconds> latency,
                               std::string answer) {
    verdicts.Add({.kind = kind,
                  .file = file,
                  .rotation = rotation,
                  .text = std::move(text),
                  .latency = latency,
                  .answer = std::move(answer)});
  };
  add(Kind::Expected, "check1.txt", 1, "as expected", 20'100us, "OK\r\n");
  add(Kind::Expected, "check1.txt", 2, "as expected", 20'400us, "OK\r\n");
  add(Kind::Differed, "check3.txt", 1, "the answer differs at byte 2: expected \"K\" (0x4b)", 21ms,
      "O<#");
  add(Kind::Missing, "check5.txt", 1, "no answer within 300 ms", std::nullopt, "");
  add(Kind::NotJudged, "check6.txt", 1, "not judged: no port", std::nullopt, "");
  EXPECT_TRUE(verdicts.AnyFailed());
  EXPECT_EQ(verdicts.Summary(),
            "4 answers judged: 2 as expected, 1 differed, 1 missing; 1 send not judged; latency "
            "min/median/p95/max 20.1/20.4/21.0/21.0 ms");
  const std::string report = verdicts.JUnit(shell::WallClock::now());
  EXPECT_NE(report.find("<testsuite name=\"checkfeed\" tests=\"5\" failures=\"2\" errors=\"1\""),
            std::string::npos)
      << report;
  EXPECT_NE(report.find("<testcase name=\"check1.txt #2\" classname=\"checkfeed\" "
                        "time=\"0.0204\">"),
            std::string::npos)
      << report;
  EXPECT_NE(report.find("<failure message=\"check3.txt: the answer differs at byte 2: expected "
                        "&quot;K&quot; (0x4b)\" type=\"differed\"/>\n      "
                        "<system-out>O&lt;#</system-out>"),
            std::string::npos)
      << report;
  EXPECT_NE(report.find("<testcase name=\"check5.txt #1\" classname=\"checkfeed\">\n      "
                        "<failure message=\"check5.txt: no answer within 300 ms\" "
                        "type=\"missing\"/>"),
            std::string::npos)
      << report;
  EXPECT_NE(report.find("<error message=\"check6.txt: not judged: no port\""), std::string::npos);
}

}  // namespace
