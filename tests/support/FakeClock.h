// A clock for tests. Fake time runs `speed` times faster than real time, so the service's
// seconds-long delays take milliseconds. At speed 0 only advance() moves it, while sleeps and
// waits still take a tenth of their length in real time, so that polling threads do not spin.
#pragma once

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <thread>

#include "platform/Clock.h"

namespace drovn::test {

using namespace std::chrono_literals;

class FakeClock final : public platform::Clock {
 public:
  explicit FakeClock(uint32_t speed = 100, uint32_t startTick = 1000)
      : speed_(speed), offset_(startTick) {}

  uint32_t tickCount() override {
    const auto real = std::chrono::steady_clock::now() - start_;
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(real).count();
    return offset_.load() + static_cast<uint32_t>(static_cast<uint64_t>(ms) * speed_);
  }
  void sleep(uint32_t ms) override {
    slept_ += ms;
    std::unique_lock lock(m_);
    ++sleeps_[std::this_thread::get_id()];
    // Bounded, so that a test that never waits for a thread cannot hang here.
    released_.wait_for(lock, 60s, [this] { return !held_; });
    lock.unlock();
    std::this_thread::sleep_for(realLength(ms));
  }
  // Whole fake milliseconds, so that short pauses count in sleptMs and hold like the others.
  void sleepMicros(uint32_t us) override { sleep((us + 999) / 1000); }
  bool waitFor(platform::Completion& c, uint32_t ms) override {  // at least 1 ms
    locked(held_) = false;
    released_.notify_all();
    const auto real = std::chrono::duration_cast<std::chrono::milliseconds>(realLength(ms));
    return c.waitReal(std::max<std::chrono::milliseconds>(real, 1ms));
  }
  platform::CalendarTime localNow() override { return locked(now_); }

  void advance(uint32_t ms) { offset_ += ms; }
  void setNow(const platform::CalendarTime& now) { locked(now_) = now; }
  uint64_t sleptMs() const { return slept_.load(); }  // by all threads so far
  int sleepsOf(std::thread::id thread) { return locked(sleeps_)[thread]; }
  // Every sleep from now on stays in place until the next waitFor: a test can stop the service
  // while its threads surely sleep, and the thread waited for goes on.
  void holdSleeps() { locked(held_) = true; }

 private:
  // A clock that stands still lets its sleeps and waits go by ten times as fast as real time.
  std::chrono::microseconds realLength(uint32_t ms) const {
    return std::chrono::microseconds(uint64_t{ms} * 1000 / (speed_ == 0 ? 10 : speed_));
  }
  // The member, under the lock until the end of the caller's statement.
  template <typename T>
  T& locked(T& member, std::unique_lock<std::mutex>&& lock = {}) {
    lock = std::unique_lock(m_);
    return member;
  }

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
