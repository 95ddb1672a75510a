#include "support/FakeClock.h"

#include <algorithm>

namespace drovn::test {

namespace {

using namespace std::chrono_literals;

// How much faster than real time a clock that stands still lets its sleeps and waits go by.
constexpr uint32_t kStillPace = 10;
// A held sleep gives up after this long, so that a test that never waits cannot hang.
constexpr auto kLongestHold = 60s;

}  // namespace

FakeClock::FakeClock(uint32_t speed, uint32_t startTick)
    : speed_(speed), start_(std::chrono::steady_clock::now()), offset_(startTick) {}

uint32_t FakeClock::realPart() {
  if (speed_ == 0) return 0;
  auto real = std::chrono::duration_cast<std::chrono::milliseconds>(
                  std::chrono::steady_clock::now() - start_)
                  .count();
  return static_cast<uint32_t>(static_cast<uint64_t>(real) * speed_);
}

std::chrono::microseconds FakeClock::realLength(uint32_t ms) const {
  return std::chrono::microseconds(uint64_t{ms} * 1000 / (speed_ == 0 ? kStillPace : speed_));
}

uint32_t FakeClock::tickCount() { return offset_.load() + realPart(); }

void FakeClock::sleep(uint32_t ms) {
  slept_ += ms;
  {
    std::unique_lock lock(m_);
    ++sleeps_[std::this_thread::get_id()];
    released_.wait_for(lock, kLongestHold, [this] { return !held_; });
  }
  std::this_thread::sleep_for(realLength(ms));
}

bool FakeClock::waitFor(platform::Completion& c, uint32_t ms) {
  {
    std::scoped_lock lock(m_);
    held_ = false;
  }
  released_.notify_all();
  const auto real = std::chrono::duration_cast<std::chrono::milliseconds>(realLength(ms));
  return c.waitReal(std::max<std::chrono::milliseconds>(real, 1ms));
}

platform::CalendarTime FakeClock::localNow() {
  std::scoped_lock lock(m_);
  return now_;
}

void FakeClock::advance(uint32_t ms) { offset_ += ms; }

void FakeClock::setTick(uint32_t tick) { offset_ = tick - realPart(); }

void FakeClock::setNow(const platform::CalendarTime& now) {
  std::scoped_lock lock(m_);
  now_ = now;
}

int FakeClock::sleepsOf(std::thread::id thread) {
  std::scoped_lock lock(m_);
  return sleeps_[thread];
}

void FakeClock::holdSleeps() {
  std::scoped_lock lock(m_);
  held_ = true;
}

}  // namespace drovn::test
