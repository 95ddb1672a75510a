#include "support/FakeClock.h"

#include <algorithm>

namespace drovn::test {

using namespace std::chrono_literals;

namespace {

// A clock that stands still lets its sleeps and waits go by ten times as fast as real time.
std::chrono::microseconds realLength(uint32_t ms, uint32_t speed) {
  return std::chrono::microseconds(uint64_t{ms} * 1000 / (speed == 0 ? 10 : speed));
}

}  // namespace

uint32_t FakeClock::realPart() const {
  const auto real = std::chrono::steady_clock::now() - start_;
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(real).count();
  return static_cast<uint32_t>(static_cast<uint64_t>(ms) * speed_);
}

void FakeClock::sleep(uint32_t ms) {
  slept_ += ms;
  {
    std::unique_lock lock(m_);
    ++sleeps_[std::this_thread::get_id()];
    // Bounded, so that a test that never waits for a thread cannot hang here.
    released_.wait_for(lock, 60s, [this] { return !held_; });
  }
  std::this_thread::sleep_for(realLength(ms, speed_));
}

bool FakeClock::waitFor(platform::Completion& c, uint32_t ms) {
  locked(held_) = false;
  released_.notify_all();
  const auto real = std::chrono::duration_cast<std::chrono::milliseconds>(realLength(ms, speed_));
  return c.waitReal(std::max<std::chrono::milliseconds>(real, 1ms));
}

}  // namespace drovn::test
