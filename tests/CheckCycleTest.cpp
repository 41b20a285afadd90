// The rotation, the pause, files that cannot be sent, a port that is absent, lost or back, and
// pacing: the neutral heart of the program, run against a stand-in port on every build.

#include <gtest/gtest.h>

#include <filesystem>
#include <vector>

#include "feeder/CheckCycle.h"
#include "feeder/CheckFile.h"
#include "os/Error.h"
#include "os/Timer.h"

#include "tests/Support.h"

namespace {

using namespace testing_support;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

// The system's words for a file that is not there, whatever the system.
std::string MissingFileReason() {
  const feeder::CheckFile probe("checkfeed-no-such-file.txt");
  return os::ErrorText(probe.OpenError());
}

// An error that means the device went away, on either system (Linux's EIO).
constexpr int kGone = 5;

class CheckCycleTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(link_.Open({.device = "COM1"}).Why(), ""); }

  void WriteCheckFiles() {
    for (int n = 1; n <= 6; ++n) {
      WriteFile(feeder::CheckFileName(n), "file " + std::to_string(n) + "\r\n");
    }
  }

  // Runs one tick and returns what it wrote to the port.
  std::string Tick() {
    const std::size_t before = device_.pieces.size();
    cycle_.TimerTimer();
    std::string written;
    for (std::size_t i = before; i < device_.pieces.size(); ++i) {
      written += device_.pieces[i].bytes;
    }
    return written;
  }

  // Runs one tick that must fail, returns its message, and checks that nothing was sent.
  std::string FailingTick() {
    const std::size_t before = device_.pieces.size();
    try {
      cycle_.TimerTimer();
    } catch (const feeder::TickFailure& failure) {
      EXPECT_EQ(device_.pieces.size(), before) << "a failing tick sent something";
      return failure.what();
    }
    ADD_FAILURE() << "the tick did not fail";
    return {};
  }

  ScratchDirectory scratch_;
  StandInDevice device_;
  serial::SerialLink link_{device_.Opener()};
  std::vector<std::chrono::milliseconds> pauses_;
  feeder::CheckCycle cycle_{
      link_, 10000ms, [this](std::chrono::milliseconds length) { pauses_.push_back(length); }};
};

TEST_F(CheckCycleTest, RotatesThroughSixFilesSentExactlyAndPausesAfterTheSixth) {
  WriteCheckFiles();
  std::string every(256, '\0');
  for (int value = 0; value < 256; ++value) {
    every[static_cast<std::size_t>(value)] = static_cast<char>(value);
  }
  WriteFile("check1.txt", every + std::string("\r\n\n\r\0\x1A\x13\x11", 8));
  for (int rotation = 0; rotation < 2; ++rotation) {
    EXPECT_EQ(Tick(), every + std::string("\r\n\n\r\0\x1A\x13\x11", 8));
    for (int n = 2; n <= 6; ++n) {
      EXPECT_EQ(Tick(), "file " + std::to_string(n) + "\r\n");
      EXPECT_EQ(cycle_.CheckNumber(), n);
    }
    // The seventh tick sends nothing and pauses.
    EXPECT_EQ(Tick(), "");
    EXPECT_TRUE(cycle_.LastTick().pause);
    EXPECT_EQ(cycle_.CheckNumber(), 0);
    EXPECT_EQ(pauses_, std::vector<std::chrono::milliseconds>(
                           static_cast<std::size_t>(rotation + 1), 10000ms));
  }
  // One write per file, each whole; the port was opened once and never again.
  EXPECT_EQ(device_.pieces.size(), 12U);
  EXPECT_EQ(device_.attempts.size(), 1U);
}

TEST_F(CheckCycleTest, FilesThatCannotBeSentFailTheirTickAndTheRotationGoesOn) {
  WriteCheckFiles();
  fs::remove("check3.txt");
  fs::remove("check5.txt");
  fs::create_directory("check5.txt");
  for (int rotation = 0; rotation < 2; ++rotation) {
    EXPECT_EQ(Tick(), "file 1\r\n");
    EXPECT_EQ(Tick(), "file 2\r\n");
    EXPECT_EQ(FailingTick(), "Cannot open file \"check3.txt\": " + MissingFileReason());
    EXPECT_EQ(cycle_.CheckNumber(), 3);  // skipped, not retried
    EXPECT_EQ(Tick(), "file 4\r\n");
    EXPECT_EQ(FailingTick(), "Cannot send file \"check5.txt\": not a regular file");
    EXPECT_EQ(Tick(), "file 6\r\n");
    EXPECT_EQ(Tick(), "");
  }

  // An empty file is a write of nothing; a file of exactly the buffer goes out whole, in one
  // write; one byte more is refused unsent.
  WriteFile("check1.txt", "");
  EXPECT_EQ(Tick(), "");
  EXPECT_EQ(device_.pieces.back().bytes, "");
  const std::string full = PatternBytes(feeder::SendBufferSize, 11);
  WriteFile("check2.txt", full);
  EXPECT_TRUE(Tick() == full);
  EXPECT_EQ(device_.pieces.back().bytes.size(), feeder::SendBufferSize);
  WriteFile("check3.txt", full + "x");
  EXPECT_EQ(FailingTick(),
            "Cannot send file \"check3.txt\": 1048577 bytes is more than the 1048576 bytes one "
            "send can hold");
}

TEST_F(CheckCycleTest, EachTickReadsItsFileAfresh) {
  WriteCheckFiles();
  EXPECT_EQ(Tick(), "file 1\r\n");
  WriteFile("check2.txt", "rewritten, and longer than before");
  EXPECT_EQ(Tick(), "rewritten, and longer than before");
  for (int tick = 3; tick <= 7; ++tick) {
    Tick();
  }
  WriteFile("check1.txt", "1");
  EXPECT_EQ(Tick(), "1");
}

TEST_F(CheckCycleTest, WithoutAPortFilesAreStillReadAndNothingIsSentOrTriedAgain) {
  link_.Close();
  device_.refuse = "in use by another program";
  EXPECT_EQ(link_.Open({.device = "COM1"}).Why(),
            "Cannot open port \"COM1\": in use by another program");
  EXPECT_EQ(link_.PortHandle(), nullptr);
  WriteCheckFiles();
  fs::remove("check2.txt");
  EXPECT_EQ(Tick(), "");
  EXPECT_EQ(cycle_.LastTick().size, 8U);  // read all the same
  EXPECT_EQ(FailingTick(), "Cannot open file \"check2.txt\": " + MissingFileReason());
  device_.refuse.clear();  // free now: without reconnect it is never opened again
  EXPECT_EQ(Tick(), "");
  EXPECT_EQ(device_.attempts.size(), 2U);
}

TEST_F(CheckCycleTest, ADeviceThatGoesAwayFailsEachSendingTickAndIsKeptWithoutReconnect) {
  WriteCheckFiles();
  EXPECT_EQ(Tick(), "file 1\r\n");
  device_.FailWrites(kGone, true);
  const std::string reason = os::ErrorText(kGone);
  for (int n = 2; n <= 3; ++n) {
    try {
      cycle_.TimerTimer();
      ADD_FAILURE() << "tick " << n << " did not fail";
    } catch (const feeder::TickFailure& failure) {
      // What --reconnect would do is said once; the port is kept and never reopened.
      EXPECT_EQ(std::string(failure.what()),
                "Cannot send file \"check" + std::to_string(n) +
                    ".txt\" to port \"COM1\": " + reason + " (0 of 8 bytes sent)" +
                    (n == 2 ? "; the device went away: --reconnect would reopen it when it comes "
                              "back"
                            : ""));
      EXPECT_EQ(failure.Subject(), "COM1");
      EXPECT_EQ(failure.Summary(), "Cannot send to port \"COM1\": " + reason);
    }
    EXPECT_NE(link_.PortHandle(), nullptr);
  }
  // A failure that is not the device going away never hints at --reconnect.
  device_.FailWrites(kGone, false);
  EXPECT_EQ(FailingTick(),
            "Cannot send file \"check4.txt\" to port \"COM1\": " + reason + " (0 of 8 bytes sent)");
  EXPECT_EQ(device_.attempts.size(), 1U);
  EXPECT_EQ(device_.closes, 0);
}

TEST_F(CheckCycleTest, WithReconnectALostPortIsLetGoAndTakenBackWithItsSettings) {
  link_.Close();
  serial::PortOptions options{.device = "COM7", .reconnect = true};
  options.line.baudRate = 19200;
  options.line.stopBits = 2;
  ASSERT_EQ(link_.Open(options).Why(), "");
  WriteCheckFiles();
  EXPECT_EQ(Tick(), "file 1\r\n");

  // Unplugged: the send fails, and the port is let go at once.
  device_.FailWrites(kGone, true);
  device_.refuse = "No such file or directory";
  EXPECT_EQ(FailingTick(),
            "Port \"COM7\" lost: " + os::ErrorText(kGone) + "; reopening when it comes back");
  EXPECT_EQ(link_.PortHandle(), nullptr);
  EXPECT_EQ(device_.openPorts, 0);
  const std::size_t attempts = device_.attempts.size();

  // Away: each sending tick tries once, quietly, and still reads its file; the pause tries not.
  EXPECT_EQ(Tick(), "");
  EXPECT_EQ(cycle_.LastTick().size, 8U);
  EXPECT_EQ(cycle_.LastTick().portNotice, "");
  device_.refuse = "in use by another program";  // a modem manager probing it: not back yet
  EXPECT_EQ(Tick(), "");
  EXPECT_EQ(device_.attempts.size(), attempts + 2);

  // Back, with every setting it had, and that tick's file goes out.
  device_.refuse.clear();
  device_.Heal();
  device_.mismatch = "speed 19231 (wanted 19200)";
  EXPECT_EQ(Tick(), "file 5\r\n");
  EXPECT_EQ(cycle_.LastTick().portNotice,
            "Port \"COM7\" is back, but did not take every setting: speed 19231 (wanted 19200)");
  ASSERT_EQ(device_.attempts.size(), attempts + 3);
  const serial::PortOptions& again = device_.attempts.back();
  EXPECT_EQ(again.device, "COM7");
  EXPECT_EQ(again.line.baudRate, 19200U);
  EXPECT_EQ(again.line.stopBits, 2U);
  EXPECT_EQ(Tick(), "file 6\r\n");
  EXPECT_EQ(cycle_.LastTick().portNotice, "");
  EXPECT_EQ(device_.openPorts, 1);
}

// Pacing, timed where the program controls it: when each piece left the port (the stand-in's
// WriteDrained returned) and when the next began. The gaps are waited on the system's timers,
// which never end a wait early, so these lower bounds hold on any machine, however busy.
TEST(PacingTest, PiecesLeaveOneAtATimeWithTheirGapsAfterThem) {
  const auto gapsOf = [](const std::vector<StandInDevice::Piece>& pieces) {
    std::vector<StandInDevice::Clock::duration> gaps;
    for (std::size_t i = 1; i < pieces.size(); ++i) {
      gaps.push_back(pieces[i].began - pieces[i - 1].left);
    }
    return gaps;
  };

  StandInDevice device;
  serial::SerialLink link(device.Opener());
  serial::PortOptions options{.device = "COM1"};
  options.pacing.afterByte = 3ms;
  options.pacing.afterLineFeed = 7ms;
  ASSERT_EQ(link.Open(options).Why(), "");
  const std::string text = "AB\nC";
  const serial::WriteResult result = link.PortHandle()->Write(AsBytes(text));
  const auto returned = StandInDevice::Clock::now();
  EXPECT_EQ(result.written, text.size());
  ASSERT_EQ(device.pieces.size(), 4U);  // a byte at a time
  EXPECT_EQ(device.Sent(), text);
  const auto gaps = gapsOf(device.pieces);
  EXPECT_GE(gaps[0], 3ms);
  EXPECT_GE(gaps[1], 3ms);
  EXPECT_GE(gaps[2], 3ms + 7ms);  // after the line feed, both
  // After the last byte too, before the write returns.
  EXPECT_GE(returned - device.pieces.back().left, 3ms);

  // A line at a time: each line whole, then its gap.
  link.Close();
  device.pieces.clear();
  options.pacing = {.afterByte = 0ms, .afterLineFeed = 10ms};
  ASSERT_EQ(link.Open(options).Why(), "");
  const std::string lines = "first line\r\nsecond\n\nlast, no line feed";
  EXPECT_EQ(link.PortHandle()->Write(AsBytes(lines)).written, lines.size());
  ASSERT_EQ(device.pieces.size(), 4U);
  EXPECT_EQ(device.pieces[0].bytes, "first line\r\n");
  EXPECT_EQ(device.pieces[2].bytes, "\n");
  for (const auto gap : gapsOf(device.pieces)) {
    EXPECT_GE(gap, 10ms);
  }

  // A piece that fails ends the write: no more pieces, and the failure is the write's.
  link.Close();
  device.pieces.clear();
  ASSERT_EQ(link.Open(options).Why(), "");
  device.FailWrites(kGone, true);
  const serial::WriteResult failed = link.PortHandle()->Write(AsBytes(lines));
  EXPECT_EQ(failed.error, kGone);
  EXPECT_TRUE(failed.gone);
  EXPECT_EQ(failed.written, 0U);
  EXPECT_TRUE(device.pieces.empty());
}

// A held line: what the drain says of the driver's queue and the device, through stand-ins of
// both. Short hold times stand in for the 2 s of a real port.
class HeldLineTest : public ::testing::Test {
 protected:
  using Clock = StandInDevice::Clock;

  serial::HeldLine Watch(std::chrono::milliseconds after) {
    return serial::HeldLine("COM1", after, true, false,
                            [this](const std::string& line, bool) { told_.push_back(line); });
  }

  // A look at a driver that holds `queued()` bytes; every look's time is kept. After 3 s the port
  // fails: a drain that goes on that long ends, and its test fails rather than hangs.
  std::function<serial::LineStatus()> Looks(std::function<std::size_t()> queued) {
    return [this, queued, made = Clock::now()] {
      looks_.push_back(Clock::now());
      serial::LineStatus status;
      status.queued = queued();
      if (Clock::now() - made > 3s) {
        status.reason = "looked at for too long";
      }
      return status;
    };
  }

  std::vector<std::string> told_;
  std::vector<Clock::time_point> looks_;
  os::WakeEvent stop_;
};

TEST_F(HeldLineTest, AStuckQueueIsSaidOnceWithTheTrueCountThenLookedAtTenTimesASecondAtMost) {
  serial::HeldLine held = Watch(30ms);
  held.Begin("check1.txt", 500);
  held.Handed(500);
  // The driver keeps 5 of the 500 bytes, which the line would send in 5 ms; the stop comes after
  // five looks past the notice.
  std::size_t afterNotice = 0;
  const auto look = Looks([&] {
    if (held.Held() && ++afterNotice == 5) {
      stop_.Raise();
    }
    return std::size_t{5};
  });
  EXPECT_EQ(serial::WaitForQueue(look, os::WakeHandle(), 960, stop_.Handle(), held),
            serial::Drained::Cancelled);
  ASSERT_EQ(told_.size(), 1U);
  EXPECT_EQ(told_[0],
            "Port \"COM1\" has taken no bytes for 30 ms: check1.txt, 495 of 500 bytes sent. Check "
            "the device and its cable, or start checkfeed with --flow none.");
  // Once said, a look every 100 ms and no more often, however few bytes are stuck.
  const auto firstAfter = looks_.end() - 5;
  for (auto when = firstAfter + 1; when != looks_.end(); ++when) {
    EXPECT_GE(*when - *(when - 1), serial::LookAgain);
  }

  // The next send counts afresh.
  told_.clear();
  stop_.Clear();
  afterNotice = 0;
  held.Begin("check2.txt", 300);
  held.Handed(100);
  const auto stuck = Looks([&] {
    if (held.Held()) {
      stop_.Raise();
    }
    return std::size_t{100};
  });
  EXPECT_EQ(serial::WaitForQueue(stuck, os::WakeHandle(), 960, stop_.Handle(), held),
            serial::Drained::Cancelled);
  ASSERT_EQ(told_.size(), 1U);
  EXPECT_NE(told_[0].find("check2.txt, 0 of 300 bytes sent"), std::string::npos) << told_[0];
}

TEST_F(HeldLineTest, AQueueThatEmptiesAfterAHoldMovesAgainAndOneThatMovesIsNeverHeld) {
  serial::HeldLine held = Watch(30ms);
  held.Begin("check1.txt", 500);
  held.Handed(500);
  // Held until it was said, then gone between two looks: the last bytes moved too.
  const auto look = Looks([&] { return held.Held() ? std::size_t{0} : std::size_t{5}; });
  EXPECT_EQ(serial::WaitForQueue(look, os::WakeHandle(), 960, stop_.Handle(), held),
            serial::Drained::Empty);
  ASSERT_EQ(told_.size(), 2U);
  EXPECT_EQ(told_[1], "Port \"COM1\" takes bytes again: check1.txt, 500 of 500 bytes sent");

  // A write under way that the driver takes a byte at a time, for ten times the hold time: it
  // moves, so it is not held, however long it lasts (Windows' writes, watched until they are
  // done).
  told_.clear();
  held.Begin("check2.txt", 100);
  held.Handed(100);
  const auto start = Clock::now();
  const auto slow = Looks([&] {
    const auto gone = static_cast<std::size_t>((Clock::now() - start) / 3ms);
    if (gone >= 100) {
      stop_.Raise();  // here: the write is done
    }
    return 100 - std::min<std::size_t>(gone, 100);
  });
  EXPECT_EQ(serial::WaitForQueue(slow, stop_.Handle(), 96, os::WakeHandle(), held),
            serial::Drained::Empty);
  EXPECT_EQ(told_, std::vector<std::string>{});
}

TEST_F(HeldLineTest, AWaitForRoomLooksAgainWithinItsTimeAndSaysTheHoldWhenItComes) {
  serial::HeldLine held = Watch(3s);  // a wait that kept to it would fail, not hang
  held.Begin("check1.txt", 10);
  os::WakeEvent never;
  const os::Waited room{.handle = never.Handle(), .ready = os::Waited::For::Reading};
  const auto started = Clock::now();
  EXPECT_TRUE(serial::WaitForRoom(room, stop_.Handle(), held, [] { return serial::LineStatus{}; }));
  // A pseudo-terminal frees room without waking its writer: the wait looks again soon.
  EXPECT_LT(Clock::now() - started, 10 * serial::LookAgain);
  stop_.Raise();
  EXPECT_FALSE(
      serial::WaitForRoom(room, stop_.Handle(), held, [] { return serial::LineStatus{}; }));
}

TEST_F(HeldLineTest, AStopEndsADrainThatTheDeviceHoldsAndWhatItHeldIsThrownAway) {
  StandInDevice device;
  // The device lets go of its buffer only after 3 s: a drain that no stop ends takes that long.
  os::Timer letsGo;
  letsGo.Arm(Clock::now() + 3s, 0s);
  device.deviceSends = letsGo.Wake();
  serial::SerialLink link(device.Opener());
  serial::PortOptions options{.device = "COM1"};
  options.heldAfter = 50ms;
  link.TellHeld([&](const std::string& line, bool) {
    told_.push_back(line);
    stop_.Raise();
  });
  ASSERT_EQ(link.Open(options, stop_.Handle()).Why(), "");
  const serial::WriteResult result = link.PortHandle()->Write(AsBytes("fits in the adapter"));
  const auto stopped = Clock::now();
  EXPECT_TRUE(result.cancelled);
  EXPECT_LT(Clock::now() - stopped, 1s);
  ASSERT_EQ(told_.size(), 1U);
  EXPECT_TRUE(told_[0].starts_with("Port \"COM1\" has taken no bytes for 50 ms")) << told_[0];
  EXPECT_EQ(device.discards, 1);
  EXPECT_TRUE(device.pieces.empty());
}

TEST_F(HeldLineTest, ASlowLineIsHeldOnlyAfterTwiceTheDriversStep) {
  // 300 baud (30 bytes a second) through a driver that moves 8 bytes at a time: a step every
  // 267 ms, well past a hold time of 100 ms, and no hold for all that.
  StandInDevice device;
  device.step = 8;
  const auto start = Clock::now();
  device.queue = [&] {
    const auto steps = static_cast<std::size_t>((Clock::now() - start) / 267ms);
    return 32 - std::min<std::size_t>(8 * steps, 32);
  };
  serial::SerialLink link(device.Opener());
  serial::PortOptions options{.device = "COM1"};
  options.line.baudRate = 300;
  options.heldAfter = 100ms;
  link.TellHeld([&](const std::string& line, bool) { told_.push_back(line); });
  ASSERT_EQ(link.Open(options).Why(), "");
  EXPECT_EQ(link.PortHandle()->Held().After(), 534ms);
  EXPECT_EQ(link.PortHandle()->Write(AsBytes(std::string(32, 'x'))).written, 32U);
  EXPECT_EQ(told_, std::vector<std::string>{});
  EXPECT_EQ(device.Sent(), std::string(32, 'x'));
}

}  // namespace
