#include <gtest/gtest.h>

#include <cstdio>
#include <regex>
#include <string>
#include <vector>

#include "shell/FailureLog.h"
#include "shell/TickLog.h"

namespace {

using namespace std::chrono_literals;
using shell::FailureLog;

// What was written to `out`, which is then closed.
std::string ReadBack(std::FILE* out) {
  std::rewind(out);
  std::string text(4096, '\0');
  text.resize(std::fread(text.data(), 1, text.size(), out));
  std::fclose(out);
  return text;
}

constexpr const char* kMissing = "Cannot open file \"check3.txt\": No such file or directory";

TEST(FailureLogTest, ARepeatingFailureIsReportedOnceThenSummarisedAtMostEveryTenMinutes) {
  FailureLog log;
  FailureLog::Clock::time_point now{};
  std::vector<std::string> lines;
  const auto add = [&lines](const std::vector<std::string>& more) {
    lines.insert(lines.end(), more.begin(), more.end());
  };

  // A day of ticks, a rotation every 40 s: check3.txt is missing all day, and the port is dead
  // for the first hour, failing the other five files each with its own message.
  const std::string dead = "Cannot send to port \"/dev/ttyS0\": Input/output error";
  for (int rotation = 0; rotation < 24 * 3600 / 40; ++rotation, now += 40s) {
    for (int file = 1; file <= 6; ++file) {
      const std::string name = "check" + std::to_string(file) + ".txt";
      if (file == 3) {
        add(log.Failed(name, kMissing, kMissing, now));
      } else if (now < FailureLog::Clock::time_point{} + 1h) {
        add(log.Failed("/dev/ttyS0", dead, "Cannot send file \"" + name + "\" ...", now));
      } else {
        add(log.Worked(name, now));
        add(log.Worked("/dev/ttyS0", now));
      }
    }
  }
  add(log.Flush(now));

  // The dead port: its first failure, then the hour in five summaries and the last when it stops.
  EXPECT_EQ(lines[0], "Cannot send file \"check1.txt\" ...");
  EXPECT_EQ(lines[1], kMissing);
  EXPECT_EQ(lines[2], dead + " (again 75 times in the last 10 minutes)");
  EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                          [&dead](const std::string& line) { return line.starts_with(dead); }),
            6);
  EXPECT_EQ(lines.back(), std::string(kMissing) + " (again 14 times in the last 10 minutes)");
  // A day in all: 1 + 144 lines for the file, 7 for the port, out of 2160 + 450 failures.
  EXPECT_EQ(lines.size(), 152U);
}

TEST(FailureLogTest, AChangeOfReasonOrASuccessEndsTheRepeatsWithTheirCount) {
  FailureLog log;
  const FailureLog::Clock::time_point start{};
  EXPECT_EQ(log.Failed("check3.txt", kMissing, kMissing, start).size(), 1U);
  EXPECT_TRUE(log.Failed("check3.txt", kMissing, kMissing, start + 40s).empty());
  EXPECT_TRUE(log.Failed("check3.txt", kMissing, kMissing, start + 80s).empty());
  const std::string denied = "Cannot open file \"check3.txt\": Permission denied";
  EXPECT_EQ(log.Failed("check3.txt", denied, denied, start + 120s),
            (std::vector<std::string>{
                std::string(kMissing) + " (again 2 times in the last 2 minutes)", denied}));
  EXPECT_EQ(log.Worked("check3.txt", start + 160s), std::vector<std::string>{});
  // Once it works, the next failure is news again.
  EXPECT_EQ(log.Failed("check3.txt", kMissing, kMissing, start + 200s),
            std::vector<std::string>{kMissing});
  EXPECT_TRUE(log.Failed("check3.txt", kMissing, kMissing, start + 240s).empty());
  EXPECT_EQ(log.Worked("check3.txt", start + 280s),
            std::vector<std::string>{std::string(kMissing) + " (again 1 time in the last 80 s)"});
}

TEST(TickLogTest, EachTickIsOneLineWithItsTime) {
  feeder::TickRecord sent{.file = "check4.txt",
                          .port = "/dev/ttyS0",
                          .size = 265,
                          .written = 265,
                          .sent = true,
                          .took = 276'449'000ns};
  EXPECT_EQ(shell::DescribeTick(sent, false), "check4.txt 265 bytes sent in 276.4 ms");
  EXPECT_EQ(shell::DescribeTick({.paused = 10000ms, .pause = true}, false), "pause of 10000 ms");
  EXPECT_EQ(shell::DescribeTick({.file = "check3.txt"}, true), "check3.txt not sent: failed");
  EXPECT_EQ(shell::DescribeTick({.file = "check2.txt", .size = 1}, false),
            "check2.txt 1 byte not sent: no port");
  EXPECT_EQ(shell::DescribeTick(
                {.file = "check2.txt", .port = "/dev/ttyS0", .size = 5000, .written = 4096}, true),
            "check2.txt 4096 of 5000 bytes sent, then failed");

  const shell::WallClock::time_point when{1'796'637'620'015ms};  // 2026-12-07 10:00:20.015 UTC
  std::FILE* out = std::tmpfile();
  ASSERT_NE(out, nullptr);
  shell::TickLog(true, out).Tick(when, sent, false);
  shell::TickLog(false, out).Tick(when, sent, false);
  shell::TickLog(true, out).Note(when, "Port \"/dev/ttyS0\" is back");
  EXPECT_EQ(ReadBack(out), shell::IsoTime(when) + " check4.txt 265 bytes sent in 276.4 ms\n" +
                               shell::IsoTime(when) + " Port \"/dev/ttyS0\" is back\n");
  // Local time to the millisecond, and its offset from UTC.
  EXPECT_TRUE(std::regex_match(shell::IsoTime(when),
                               std::regex(R"(2026-12-0[67]T\d\d:\d\d:20\.015[+-]\d\d:\d\d)")))
      << shell::IsoTime(when);
}

}  // namespace
