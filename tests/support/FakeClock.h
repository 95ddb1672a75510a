// A clock for tests. Fake time runs `speed` times faster than real time, so the two-second
// launch delay and the ten-second waits of the service take milliseconds. At speed 0 it stands
// still: only advance() moves it, while sleeps and waits still take a tenth of
// their length in real time, so that polling threads do not spin. The calendar can be set.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <thread>

#include "platform/Clock.h"

namespace drovn::test {

class FakeClock final : public platform::Clock {
 public:
  explicit FakeClock(uint32_t speed = 100, uint32_t startTick = 1000)
      : speed_(speed), offset_(startTick) {}

  uint32_t tickCount() override { return offset_.load() + realPart(); }
  void sleep(uint32_t ms) override;
  // Waits ms / speed of real time, at least 1 ms.
  bool waitFor(platform::Completion& c, uint32_t ms) override;
  platform::CalendarTime localNow() override { return locked(now_); }

  void advance(uint32_t ms) { offset_ += ms; }
  void setNow(const platform::CalendarTime& now) { locked(now_) = now; }
  // Total fake milliseconds spent in sleep() so far.
  uint64_t sleptMs() const { return slept_.load(); }
  // How many sleeps the thread has begun so far.
  int sleepsOf(std::thread::id thread) { return locked(sleeps_)[thread]; }
  // Every sleep from now on stays in place until the next waitFor: a test can stop the service
  // while its threads surely sleep, and the thread waited for goes on.
  void holdSleeps() { locked(held_) = true; }

 private:
  // The member, under the lock until the end of the caller's statement.
  template <typename T>
  T& locked(T& member, std::unique_lock<std::mutex>&& lock = {}) {
    lock = std::unique_lock(m_);
    return member;
  }
  uint32_t realPart() const;

  const uint32_t speed_;
  const std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
  std::atomic<uint32_t> offset_;
  std::atomic<uint64_t> slept_{0};
  std::mutex m_;
  std::condition_variable released_;
  bool held_ = false;
  std::map<std::thread::id, int> sleeps_;
  platform::CalendarTime now_{2026, 12, 7, 12, 0, 0};
};

}  // namespace drovn::test
