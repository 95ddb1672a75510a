// A clock for tests. Fake time runs `speed` times faster than real time, so the two-second
// launch delay and the ten-second waits of the service take milliseconds. At speed 0 it stands
// still: only advance() and setTick() move it, while sleeps and waits still take a tenth of
// their length in real time, so that polling threads do not spin. The calendar can be set.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <thread>

#include "platform/Clock.h"

namespace drovn::test {

class FakeClock final : public platform::Clock {
 public:
  explicit FakeClock(uint32_t speed = 100, uint32_t startTick = 1000);

  uint32_t tickCount() override;
  // Real sleep of ms / speed; fake time moves by ms unless the clock stands still.
  void sleep(uint32_t ms) override;
  // Waits ms / speed of real time, at least 1 ms.
  bool waitFor(platform::Completion& c, uint32_t ms) override;
  platform::CalendarTime localNow() override;

  void advance(uint32_t ms);
  void setTick(uint32_t tick);
  void setNow(const platform::CalendarTime& now);
  // Total fake milliseconds spent in sleep() so far.
  uint64_t sleptMs() const { return slept_.load(); }
  // How many sleeps the thread has begun so far.
  int sleepsOf(std::thread::id thread);
  // Every sleep from now on stays in place until the next waitFor: the thread waited for is let
  // go on, and a test can stop the service while its threads are surely asleep.
  void holdSleeps();

 private:
  uint32_t realPart();
  std::chrono::microseconds realLength(uint32_t ms) const;

  const uint32_t speed_;
  const std::chrono::steady_clock::time_point start_;
  std::atomic<uint32_t> offset_;
  std::atomic<uint64_t> slept_{0};
  std::mutex m_;
  std::condition_variable released_;
  bool held_ = false;
  std::map<std::thread::id, int> sleeps_;
  platform::CalendarTime now_{2026, 12, 7, 12, 0, 0};
};

}  // namespace drovn::test
