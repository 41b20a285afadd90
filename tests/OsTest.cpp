#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <future>
#include <span>
#include <system_error>
#include <vector>

#include "os/Aside.h"
#include "os/Timer.h"
#include "os/Wait.h"

namespace {

using namespace std::chrono_literals;

TEST(TimerTest, TheTimerKeepsItsGridWithoutDrift) {
  // A period a millisecond too long would ring each tick a millisecond later than the last: 20 ms
  // late by the twentieth. A busy machine wakes a waiter late now and then, never the timer
  // early: the earliest of the last five shows where the grid is.
  constexpr auto kPeriod = 50ms;
  os::Timer timer;
  const auto first = os::Clock::now() + kPeriod;
  timer.Arm(first, kPeriod);
  const os::WakeHandle wake = timer.Wake();
  std::uint64_t passed = 0;
  auto earliest = os::Clock::duration::max();
  for (int tick = 0; tick < 25; ++tick) {
    ASSERT_TRUE(os::WaitForAny(std::span(&wake, 1), os::Clock::now() + 10 * kPeriod));
    const auto rang = os::Clock::now();
    passed += timer.Take();
    if (tick >= 20) {
      const auto late = rang - (first + kPeriod * static_cast<long>(passed - 1));
      earliest = std::min<os::Clock::duration>(earliest, late);
    }
  }
  EXPECT_LT(earliest, 10ms);
}

TEST(WaitTest, AWaitEndsEarlyWhenStopIsRequested) {
  os::WakeEvent stop;
  EXPECT_TRUE(os::WaitUntil(os::Clock::now() + 5ms, stop.Handle()));

  stop.Raise();
  EXPECT_FALSE(os::WaitUntil(os::Clock::now() + 60s, stop.Handle()));
}

TEST(WaitTest, TheHeartbeatComesInOneLongWaitAndAcrossManyShortOnes) {
  std::vector<os::Clock::time_point> beats;
  os::SetHeartbeat(20ms, [&beats] { beats.push_back(os::Clock::now()); });
  os::WakeEvent never;
  EXPECT_TRUE(os::WaitUntil(os::Clock::now() + 110ms, never.Handle()));
  const std::size_t inTheLongOne = beats.size();
  // A send that looks at its line again and again, each look shorter than the beat's time.
  const auto started = os::Clock::now();
  while (os::Clock::now() - started < 110ms) {
    EXPECT_TRUE(os::WaitUntil(os::Clock::now() + 5ms, never.Handle()));
    EXPECT_FALSE(os::IsReady(never.Handle()));
  }
  os::SetHeartbeat(0ms, nullptr);
  // Five beats' time each: at least two, however late a busy machine wakes the waiter.
  EXPECT_GE(inTheLongOne, 2U);
  EXPECT_GE(beats.size() - inTheLongOne, 2U);
}

TEST(WaitTest, TheReadyOneIsNamedNullHandlesNeverAreAndAClosedOneIsAnError) {
  os::WakeEvent quiet;
  os::WakeEvent raised;
  raised.Raise();
  // Whichever way a raised event is waited for, it is ready; a null handle never is, and the
  // index is the ready one's among all given.
  const std::array<os::Waited, 3> waited{
      {{.handle = os::WakeHandle()},
       {.handle = quiet.Handle()},
       {.handle = raised.Handle(), .ready = os::Waited::For::Writing}}};
  EXPECT_EQ(os::WaitForAny(waited, os::Clock::now() + 10s), 2U);
  // A deadline already past: nothing ready is nothing, at once.
  const auto before = os::Clock::now();
  EXPECT_EQ(os::WaitForAny(std::span(waited).first(2), before - 1s), std::nullopt);
  EXPECT_LT(os::Clock::now() - before, 1s);
  // A handle that is closed is an error, not a wait that never ends or spins.
  os::WakeHandle closed;
  {
    const os::WakeEvent gone;
    closed = gone.Handle();
  }
  EXPECT_THROW(os::WaitForAny(std::span(&closed, 1), os::Clock::now() + 10s), std::system_error);
}

// A call that blocks for as long as it likes (a DNS lookup that gets no answer): the waits for it
// end at a stop or a deadline, at once, and the call runs on to give its answer to a later wait.
TEST(AsideTest, AStopOrADeadlineEndsTheWaitAtOnceAndTheAnswerComesLater) {
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  const os::Aside<int> call([released] {
    released.wait();
    return 42;
  });
  os::WakeEvent stop;
  stop.Raise();
  auto began = os::Clock::now();
  EXPECT_EQ(call.Wait(began + 60s, stop.Handle()), os::Aside<int>::Waited::Stopped);
  EXPECT_LT(os::Clock::now() - began, 1s);
  stop.Clear();
  began = os::Clock::now();
  EXPECT_EQ(call.Wait(began + 20ms, stop.Handle()), os::Aside<int>::Waited::Time);
  EXPECT_LT(os::Clock::now() - began, 1s);
  EXPECT_EQ(call.Answer(), std::nullopt);
  release.set_value();
  EXPECT_EQ(call.Wait(os::Clock::now() + 10s, stop.Handle()), os::Aside<int>::Waited::Done);
  EXPECT_EQ(call.Answer(), 42);
}

}  // namespace
