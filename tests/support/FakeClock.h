// A clock for tests. Fake time runs `speed` times faster than real time (speed 0: it moves only
// when a test advances it or something sleeps), so the two-second launch delay and the
// ten-second waits of the service take milliseconds. The calendar can be set.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>

#include "platform/Clock.h"

namespace drovn::test {

class FakeClock final : public platform::Clock {
 public:
  explicit FakeClock(uint32_t speed = 100, uint32_t startTick = 1000);

  uint32_t tickCount() override;
  // Real sleep of ms / speed (none at speed 0); fake time moves by ms either way.
  void sleep(uint32_t ms) override;
  // Waits ms / speed of real time (at least 1 ms, at most ms); at speed 0 a short real wait.
  bool waitFor(platform::Completion& c, uint32_t ms) override;
  platform::CalendarTime localNow() override;

  void advance(uint32_t ms);
  void setTick(uint32_t tick);
  void setNow(const platform::CalendarTime& now);
  // Total fake milliseconds spent in sleep() so far.
  uint64_t sleptMs() const { return slept_.load(); }

 private:
  uint32_t realPart();

  const uint32_t speed_;
  const std::chrono::steady_clock::time_point start_;
  std::atomic<uint32_t> offset_;
  std::atomic<uint64_t> slept_{0};
  std::mutex nowLock_;
  platform::CalendarTime now_{2026, 12, 7, 12, 0, 0};
};

}  // namespace drovn::test
