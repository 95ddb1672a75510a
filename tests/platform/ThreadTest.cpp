#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>

#include "platform/Thread.h"
#include "support/FakeClock.h"

namespace drovn::platform {
namespace {

using namespace std::chrono_literals;

TEST(Thread, WaitForAFinishedBody) {
  test::FakeClock clock;
  std::atomic<bool> ran{false};
  uint32_t error = 99;
  Thread t = Thread::start([&] { ran = true; }, error);
  ASSERT_TRUE(t);
  EXPECT_EQ(error, 0u);
  EXPECT_TRUE(t.waitFor(clock, 10000));
  EXPECT_TRUE(ran.load());
  EXPECT_TRUE(t.finished());
}

TEST(Thread, WaitForAnUnfinishedBodyGivesUpOnTheClock) {
  test::FakeClock clock(1000);  // 8000 ms of fake time are 8 ms of real time
  Completion release;
  auto shared = std::make_shared<int>(5);
  std::weak_ptr<int> watch = shared;
  uint32_t error = 0;
  Thread t = Thread::start(
      [&release, held = std::move(shared)] { (void)release.waitReal(std::chrono::seconds(30)); },
      error);
  ASSERT_TRUE(t);
  auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(t.waitFor(clock, 8000));
  EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
  EXPECT_FALSE(t.finished());
  EXPECT_FALSE(watch.expired());  // the body still holds what it captured

  release.signal();
  EXPECT_TRUE(t.waitFor(clock, 5000000));
  EXPECT_TRUE(watch.expired());  // released before the thread counted as finished
}

TEST(Thread, EscapingExceptionIsSwallowedAndEmptyThreadIsFinished) {
  test::FakeClock clock;
  uint32_t error = 0;
  Thread t = Thread::start([] { throw 1; }, error);
  ASSERT_TRUE(t);
  EXPECT_TRUE(t.waitFor(clock, 10000));
  t.reset();
  EXPECT_FALSE(t);
  EXPECT_TRUE(t.finished());
  EXPECT_TRUE(t.waitFor(clock, 0));
}

TEST(LinuxClock, TicksAdvanceWithSleep) {
  LinuxClock clock;
  uint32_t before = clock.tickCount();
  auto start = std::chrono::steady_clock::now();
  clock.sleep(30);
  auto slept = std::chrono::steady_clock::now() - start;
  uint32_t elapsed = clock.tickCount() - before;  // unsigned: right across a wrap as well
  EXPECT_GE(slept, 30ms);
  EXPECT_GE(elapsed, 29u);
  EXPECT_LT(elapsed, 5000u);

  Completion c;
  EXPECT_FALSE(clock.waitFor(c, 10));
  c.signal();
  EXPECT_TRUE(clock.waitFor(c, 10000));
  EXPECT_TRUE(c.isSignalled());

  CalendarTime now = clock.localNow();
  EXPECT_GE(now.year, 2020);
  EXPECT_GE(now.month, 1);
  EXPECT_LE(now.month, 12);
  EXPECT_GE(now.day, 1);
  EXPECT_LE(now.day, 31);
}

}  // namespace
}  // namespace drovn::platform
