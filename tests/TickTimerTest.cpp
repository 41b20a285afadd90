#include <gtest/gtest.h>

#include <thread>

#include "serial/Wait.h"
#include "shell/TickTimer.h"

namespace {

using namespace std::chrono_literals;

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
  ASSERT_TRUE(shell::WaitUntil(due + kPeriod + kPeriod / 4, serial::WakeHandle()));
  ASSERT_TRUE(timer.TakeTick());
  EXPECT_GE(timer.Due() - due, kPeriod);
  EXPECT_EQ((timer.Due() - due) % kPeriod, shell::Clock::duration::zero());
}

TEST(TickTimerTest, AWaitEndsEarlyWhenStopIsRequested) {
  serial::WakeEvent stop;
  EXPECT_TRUE(shell::WaitUntil(shell::Clock::now() + 5ms, stop.Handle()));

  stop.Raise();
  EXPECT_FALSE(shell::WaitUntil(shell::Clock::now() + 60s, stop.Handle()));
}

}  // namespace
