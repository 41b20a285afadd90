#include <gtest/gtest.h>

#include <cstdio>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "os/Error.h"
#include "shell/FailureLog.h"
#include "shell/FailureTally.h"
#include "shell/PortAdvice.h"
#include "shell/Reporter.h"
#include "shell/TickTimer.h"
#include "tests/Support.h"

namespace {

using namespace std::chrono_literals;
using shell::FailureLog;

// What was written to `out`, which is then closed.
std::string ReadBack(std::FILE* out) {
  std::rewind(out);
  std::string text(65536, '\0');
  text.resize(std::fread(text.data(), 1, text.size(), out));
  std::fclose(out);
  return text;
}

// "2026-12-07T10:00:20.015+01:00 ", the time every line of the log begins with.
const std::string kStamp = R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}[+-]\d\d:\d\d )";

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
  shell::Reporter(true, out, stderr).Tick(when, sent, false);
  shell::Reporter(false, out, stderr).Tick(when, sent, false);
  shell::Reporter(true, out, stderr).Note(when, "Port \"/dev/ttyS0\" is back");
  EXPECT_EQ(ReadBack(out), shell::IsoTime(when) + " check4.txt 265 bytes sent in 276.4 ms\n" +
                               shell::IsoTime(when) + " Port \"/dev/ttyS0\" is back\n");
  // Local time to the millisecond, and its offset from UTC.
  EXPECT_TRUE(std::regex_match(shell::IsoTime(when),
                               std::regex(R"(2026-12-0[67]T\d\d:\d\d:20\.015[+-]\d\d:\d\d)")))
      << shell::IsoTime(when);
}

TEST(ReporterTest, TheLogGetsTheRecordAndEveryFailureEachWithItsTimeAppended) {
  testing_support::ScratchDirectory scratch;
  testing_support::WriteFile("run.log", "an earlier run\n");
  shell::AppendFile log;
  ASSERT_EQ(log.Open("run.log").Why(), "");
  std::FILE* out = std::tmpfile();
  std::FILE* errors = std::tmpfile();
  ASSERT_NE(out, nullptr);
  ASSERT_NE(errors, nullptr);
  {
    // Without --verbose: nothing on stdout, the record in the log all the same.
    shell::Reporter reporter(false, out, errors, &log);
    reporter.Tick(shell::WallClock::now(), {.file = "check3.txt"}, true);
    reporter.Failure(kMissing);
    reporter.Note(shell::WallClock::now(), "Port \"COM3\" is back");
  }
  EXPECT_EQ(ReadBack(out), "");
  EXPECT_EQ(ReadBack(errors), "checkfeed: " + std::string(kMissing) + "\n");
  EXPECT_TRUE(
      std::regex_match(testing_support::ReadText("run.log"),
                       std::regex("an earlier run\n" + kStamp + "check3.txt not sent: failed\n" +
                                  kStamp + "checkfeed: Cannot open file \"check3\\.txt\": .*\n" +
                                  kStamp + "Port \"COM3\" is back\n")))
      << testing_support::ReadText("run.log");

  // A log that cannot be opened says why; a folder is no log.
  shell::AppendFile folder;
  EXPECT_NE(folder.Open(".").Why(), "");
  EXPECT_FALSE(folder);
}

TEST(FailureTallyTest, FailuresAreCountedAndAPortThatIsBackTakesItsOwnOffTheBox) {
  shell::FailureTally tally;
  EXPECT_FALSE(tally.Worked("COM3", "Port \"COM3\" is back"));  // it never failed: no news
  tally.Failed("check1.txt", "Cannot open file \"check1.txt\"");
  tally.Failed("COM3", "Port \"COM3\" lost");
  tally.Failed("check1.txt", "Cannot open file \"check1.txt\"");
  EXPECT_EQ(tally.Title(), "checkfeed: 3 failures");
  EXPECT_EQ(tally.Text("\n"), "Cannot open file \"check1.txt\" (2 times)\nPort \"COM3\" lost");

  EXPECT_TRUE(tally.Worked("COM3", "Port \"COM3\" is back"));
  EXPECT_EQ(tally.Title(), "checkfeed: 2 failures");
  EXPECT_EQ(tally.Text("\n"), "Cannot open file \"check1.txt\" (2 times)\nPort \"COM3\" is back");

  // Answered: a new box. A port that fails again and comes back says so in a box of its own,
  // with nothing else left in it.
  tally.Dismissed();
  tally.Failed("COM3", "Port \"COM3\" lost");
  tally.Dismissed();
  EXPECT_TRUE(tally.Worked("COM3", "Port \"COM3\" is back"));
  EXPECT_EQ(tally.Title(), "checkfeed: working again");
  EXPECT_EQ(tally.Text("\n"), "Port \"COM3\" is back");
}

TEST(PortAdviceTest, WhatToDoDependsOnWhyAndABoxNamesAFewPorts) {
  const std::vector<serial::ListedPort> ports{{"COM3", "USB Serial Port (COM3)"}, {"COM7", ""}};
  EXPECT_EQ(shell::PortListText(ports), "COM3  USB Serial Port (COM3)\nCOM7\n");
  EXPECT_EQ(shell::PortListText({}), "");
  EXPECT_EQ(shell::PortAdvice(serial::PortProblem::NotSerial, true, {}, "man checkfeed", "COM1"),
            "There are no serial ports on this computer: connect one, then start checkfeed with "
            "--port and its name (see man checkfeed).");
  EXPECT_NE(shell::PortAdvice(serial::PortProblem::Busy, false, ports, "README.txt", "COM1")
                .find("--reconnect"),
            std::string::npos);
  EXPECT_EQ(shell::PortAdvice(serial::PortProblem::None, false, ports, "README.txt", "COM1"), "");
  // A box names a few; the rest are a command away.
  std::vector<serial::ListedPort> many;
  for (int n = 1; n <= 255; ++n) {
    many.push_back({"COM" + std::to_string(n), ""});
  }
  EXPECT_EQ(shell::PortAdvice(serial::PortProblem::Absent, false, many, "README.txt", "COM256"),
            "Serial ports on this computer: COM1, COM2, COM3, COM4, COM5, COM6, COM7, COM8 and "
            "247 more (checkfeed --list-ports). Start checkfeed with --port COM1 (see "
            "README.txt).");
  // The port that failed is never suggested, by its name or by a link's target; when it is the
  // only one, there is none to suggest.
  EXPECT_EQ(shell::PortAdvice(serial::PortProblem::NotSerial, false, many, "README.txt", "COM1"),
            "Other serial ports on this computer: COM2, COM3, COM4, COM5, COM6, COM7, COM8, COM9 "
            "and 246 more (checkfeed --list-ports). Start checkfeed with --port COM2 (see "
            "README.txt).");
  EXPECT_EQ(shell::PortAdvice(
                serial::PortProblem::Absent, false,
                {{"/dev/serial/by-id/usb-FTDI-if00", "/dev/ttyUSB0"}, {"/dev/ttyS0", "COM1"}},
                "man checkfeed", "/dev/ttyUSB0"),
            "Other serial ports on this computer: /dev/ttyS0. Start checkfeed with --port "
            "/dev/ttyS0 (see man checkfeed).");
  EXPECT_EQ(shell::PortAdvice(serial::PortProblem::NotSerial, false, {{"COM1", ""}}, "README.txt",
                              "COM1"),
            "There is no other serial port on this computer: connect one, then start checkfeed "
            "with --port and its name (see README.txt).");
}

// The beat.
TEST(TickTimerTest, TicksMissedWhileBusyComeAsOneTickAndTheGridHolds) {
  // Periods long against a busy machine's scheduling delays (a few milliseconds): each check
  // below runs well within one period of the one before.
  constexpr auto kPeriod = 100ms;
  shell::TickTimer timer(kPeriod);
  const auto created = shell::Clock::now();
  EXPECT_FALSE(timer.TakeTick());  // nothing due yet

  std::this_thread::sleep_for(3 * kPeriod + kPeriod / 2);  // busy through three periods
  ASSERT_TRUE(timer.TakeTick());
  EXPECT_FALSE(timer.TakeTick());  // one tick, not a burst
  const auto due = timer.Due();
  EXPECT_LE(due, shell::Clock::now());
  EXPECT_GT(due, created + 2 * kPeriod);  // the latest point of the grid that passed, not the first

  // Later ticks stay on the grid, however late this one ran: whole periods after it.
  ASSERT_TRUE(os::WaitUntil(due + kPeriod + kPeriod / 4, os::WakeHandle()));
  ASSERT_TRUE(timer.TakeTick());
  EXPECT_GE(timer.Due() - due, kPeriod);
  EXPECT_EQ((timer.Due() - due) % kPeriod, shell::Clock::duration::zero());
}

}  // namespace
