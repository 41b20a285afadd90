#include <gtest/gtest.h>

#include <thread>

#include "serial/Wait.h"
#include "shell/TickTimer.h"

namespace {

using namespace std::chrono_literals;

TEST(TickTimerTest, TicksMissedWhileBusyComeAsOneTickAndTheGridHolds) {
  shell::TickTimer timer(20ms);
  const auto created = shell::Clock::now();
  EXPECT_FALSE(timer.TakeTick());  // nothing due yet

  std::this_thread::sleep_for(75ms);  // busy through three periods
  ASSERT_TRUE(timer.TakeTick());
  EXPECT_FALSE(timer.TakeTick());  // one tick, not a burst
  const auto due = timer.Due();
  EXPECT_LE(due, shell::Clock::now());
  EXPECT_GT(due, created + 40ms);  // the latest point of the grid that passed, not the first

  // The next tick is due exactly one period later, however late this one ran.
  ASSERT_TRUE(shell::WaitUntil(due + 25ms, serial::WakeHandle()));
  ASSERT_TRUE(timer.TakeTick());
  EXPECT_EQ(timer.Due() - due, 20ms);
}

TEST(TickTimerTest, AWaitEndsEarlyWhenStopIsRequested) {
  serial::WakeEvent stop;
  EXPECT_TRUE(shell::WaitUntil(shell::Clock::now() + 5ms, stop.Handle()));

  stop.Raise();
  EXPECT_FALSE(shell::WaitUntil(shell::Clock::now() + 60s, stop.Handle()));
}

}  // namespace
