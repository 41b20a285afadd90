// The port on Linux written to: every byte once and in order, paced, through signals, until a
// hang-up or a cancel request.

#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "tests/posix/TestSupport.h"

namespace {

using namespace testing_support;
namespace fs = std::filesystem;

TEST_F(SerialPortTest, WritesEveryByteThroughASignalStorm) {
  // A handler without SA_RESTART makes every signal interrupt the write or its wait.
  struct sigaction action {};
  action.sa_handler = [](int) {};
  struct sigaction previous {};
  ::sigaction(SIGUSR1, &action, &previous);

  ASSERT_EQ(link_.Open({.device = pty_.SlavePath()}).Why(), "");
  const std::string data = PatternBytes(1 << 20, 7);
  BackgroundReader reader(pty_.Master(), 1024, 300us);
  std::atomic<bool> writing{true};
  const pthread_t writer = ::pthread_self();
  int sent = 0;
  std::thread storm([&] {
    while (writing) {
      ::pthread_kill(writer, SIGUSR1);
      ++sent;
      std::this_thread::sleep_for(50us);
    }
  });
  const serial::WriteResult result = link_.PortHandle()->Write(AsBytes(data));
  writing = false;
  storm.join();
  ::sigaction(SIGUSR1, &previous, nullptr);

  EXPECT_GT(sent, 1000);
  EXPECT_EQ(result.error, 0);
  EXPECT_FALSE(result.cancelled);
  EXPECT_EQ(result.written, data.size());
  EXPECT_TRUE(reader.WaitFor(data.size()) == data);
}

TEST_F(SerialPortTest, AHangUpIsReportedAsTheWritesFailure) {
  ASSERT_EQ(link_.Open({.device = pty_.SlavePath()}).Why(), "");
  pty_.HangUp();
  const std::string data = PatternBytes(100000, 3);
  const serial::WriteResult result = link_.PortHandle()->Write(AsBytes(data));
  EXPECT_EQ(result.error, EIO);
  EXPECT_LT(result.written, data.size());
  // Every later write fails the same way; the port is still held, never reopened.
  EXPECT_EQ(link_.PortHandle()->Write(AsBytes(data)).error, EIO);
  link_.Close();
  EXPECT_FALSE(fs::exists(lockFile_));
}

TEST_F(SerialPortTest, PacedBytesArriveOnceAndInOrderAndSignalsCutNoGapShort) {
  // Each gap is timed where the program keeps it, by the stand-in in PacingTest. Here the real
  // line: every byte arrives once and in order (a reader may see several at once), and the whole
  // send lasts at least its gaps, under a storm of signals that would cut a gap short if a wait
  // ended on one.
  using Clock = std::chrono::steady_clock;
  serial::PortOptions options{.device = pty_.SlavePath()};
  options.pacing.afterByte = 5ms;
  options.pacing.afterLineFeed = 20ms;
  ASSERT_EQ(link_.Open(options).Why(), "");
  const std::string bytes = "AB\nCD" + PatternBytes(45, 9);
  const auto lineFeeds = static_cast<long>(std::count(bytes.begin(), bytes.end(), '\n'));
  BackgroundReader reader(pty_.Master());
  struct sigaction action {};
  action.sa_handler = [](int) {};
  struct sigaction previous {};
  ::sigaction(SIGUSR1, &action, &previous);
  std::atomic<bool> writing{true};
  const pthread_t writer = ::pthread_self();
  std::thread storm([&] {
    while (writing) {
      ::pthread_kill(writer, SIGUSR1);
      std::this_thread::sleep_for(200us);
    }
  });
  const auto started = Clock::now();
  const serial::WriteResult result = link_.PortHandle()->Write(AsBytes(bytes));
  const auto took = Clock::now() - started;
  writing = false;
  storm.join();
  ::sigaction(SIGUSR1, &previous, nullptr);
  EXPECT_EQ(result.written, bytes.size());
  EXPECT_EQ(reader.WaitFor(bytes.size()), bytes);
  // A gap after every byte, the last one too, and more after each line feed.
  EXPECT_GE(took, 5ms * bytes.size() + 20ms * lineFeeds);
}

TEST_F(SerialPortTest, ACancelRequestEndsABlockedWrite) {
  os::WakeEvent cancel;
  ASSERT_EQ(link_.Open({.device = pty_.SlavePath()}, cancel.Handle()).Why(), "");
  // Nobody reads the master, so the write blocks once the pty is full.
  std::thread stopper([&] {
    std::this_thread::sleep_for(200ms);
    cancel.Raise();
  });
  const std::string data = PatternBytes(1 << 20, 5);
  const serial::WriteResult result = link_.PortHandle()->Write(AsBytes(data));
  stopper.join();
  EXPECT_TRUE(result.cancelled);
  EXPECT_EQ(result.error, 0);
  EXPECT_GT(result.written, 0U);
  EXPECT_LT(result.written, data.size());
  link_.Close();

  // A paced write ends at its next gap, not after the gaps of the whole file.
  pty_.ReadAvailable(50ms);
  cancel.Clear();
  serial::PortOptions paced{.device = pty_.SlavePath()};
  paced.pacing.afterByte = 1000ms;
  ASSERT_EQ(link_.Open(paced, cancel.Handle()).Why(), "");
  std::thread slowStopper([&] {
    std::this_thread::sleep_for(100ms);
    cancel.Raise();
  });
  const auto started = std::chrono::steady_clock::now();
  const serial::WriteResult stopped = link_.PortHandle()->Write(AsBytes("paced for a minute"));
  slowStopper.join();
  EXPECT_TRUE(stopped.cancelled);
  EXPECT_EQ(stopped.written, 1U);
  EXPECT_LT(std::chrono::steady_clock::now() - started, 900ms);
  EXPECT_EQ(pty_.ReadAvailable(20ms), "p");
}

TEST_F(SerialPortTest, WhatTheDeviceSentAndNobodyReadNeverHoldsASend) {
  // The drain waits for the driver's output queue, and bytes waiting in its input queue are no
  // part of it: a device that answers does not hold the line.
  serial::PortOptions options{.device = pty_.SlavePath()};
  options.heldAfter = 50ms;
  os::WakeEvent stop;
  std::vector<std::string> told;
  link_.TellHeld([&](const std::string& line, bool) {
    told.push_back(line);
    stop.Raise();
  });
  ASSERT_EQ(link_.Open(options, stop.Handle()).Why(), "");
  const std::string answer(100, 'y');
  ASSERT_EQ(::write(pty_.Master(), answer.data(), answer.size()), 100);
  std::this_thread::sleep_for(20ms);
  const serial::WriteResult result = link_.PortHandle()->Write(AsBytes("x"));
  EXPECT_FALSE(result.cancelled);
  EXPECT_EQ(result.written, 1U);
  EXPECT_EQ(told, std::vector<std::string>{});
  EXPECT_EQ(pty_.ReadAvailable(20ms), "x");
}

}  // namespace
