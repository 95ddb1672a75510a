#include "support/FakeClock.h"

#include <algorithm>
#include <thread>

namespace drovn::test {

FakeClock::FakeClock(uint32_t speed, uint32_t startTick)
    : speed_(speed), start_(std::chrono::steady_clock::now()), offset_(startTick) {}

uint32_t FakeClock::realPart() {
  if (speed_ == 0) return 0;
  auto real = std::chrono::duration_cast<std::chrono::milliseconds>(
                  std::chrono::steady_clock::now() - start_)
                  .count();
  return static_cast<uint32_t>(static_cast<uint64_t>(real) * speed_);
}

uint32_t FakeClock::tickCount() { return offset_.load() + realPart(); }

void FakeClock::sleep(uint32_t ms) {
  slept_ += ms;
  if (speed_ == 0) {
    offset_ += ms;
    std::this_thread::yield();
    return;
  }
  std::this_thread::sleep_for(std::chrono::microseconds(uint64_t{ms} * 1000 / speed_));
}

bool FakeClock::waitFor(platform::Completion& c, uint32_t ms) {
  uint32_t real = speed_ == 0 ? std::min<uint32_t>(ms, 20) : std::max<uint32_t>(1, ms / speed_);
  bool done = c.waitReal(std::chrono::milliseconds(real));
  if (!done && speed_ == 0) offset_ += ms;
  return done;
}

platform::CalendarTime FakeClock::localNow() {
  std::scoped_lock lock(nowLock_);
  return now_;
}

void FakeClock::advance(uint32_t ms) { offset_ += ms; }

void FakeClock::setTick(uint32_t tick) { offset_ = tick - realPart(); }

void FakeClock::setNow(const platform::CalendarTime& now) {
  std::scoped_lock lock(nowLock_);
  now_ = now;
}

}  // namespace drovn::test
