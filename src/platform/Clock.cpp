#include "platform/Clock.h"

#include <cerrno>
#include <ctime>

namespace drovn::platform {

void Completion::signal() {
  {
    MutexLock lock(m_);
    done_ = true;
  }
  cv_.notifyAll();
}

bool Completion::isSignalled() const {
  MutexLock lock(m_);
  return done_;
}

bool Completion::waitReal(std::chrono::milliseconds real) {
  const auto deadline = std::chrono::steady_clock::now() + real;
  MutexLock lock(m_);
  while (!done_ && cv_.waitUntil(m_, deadline)) {
  }
  return done_;
}

uint32_t LinuxClock::tickCount() {
  timespec now{};
  // CLOCK_MONOTONIC cannot fail with a valid clock id and pointer.
  (void)clock_gettime(CLOCK_MONOTONIC, &now);
  uint64_t ms =
      static_cast<uint64_t>(now.tv_sec) * 1000u + static_cast<uint64_t>(now.tv_nsec) / 1000000u;
  return static_cast<uint32_t>(ms);  // wraps like the device's tick counter
}

namespace {

void sleepForMicros(uint64_t us) {
  // An absolute deadline, so a signal that interrupts the sleep does not lengthen it.
  timespec until{};
  (void)clock_gettime(CLOCK_MONOTONIC, &until);
  until.tv_sec += static_cast<time_t>(us / 1000000u);
  until.tv_nsec += static_cast<long>(us % 1000000u) * 1000L;
  if (until.tv_nsec >= 1000000000L) {
    until.tv_sec += 1;
    until.tv_nsec -= 1000000000L;
  }
  while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, nullptr) == EINTR) {
  }
}

}  // namespace

void LinuxClock::sleep(uint32_t ms) {
  sleepForMicros(uint64_t{ms} * 1000u);
}

void LinuxClock::sleepMicros(uint32_t us) {
  sleepForMicros(us);
}

bool LinuxClock::waitFor(Completion& c, uint32_t ms) {
  return c.waitReal(std::chrono::milliseconds(ms));
}

CalendarTime LinuxClock::localNow() {
  time_t now = time(nullptr);
  tm local{};
  CalendarTime out;
  if (localtime_r(&now, &local) == nullptr) return out;  // the epoch rather than garbage
  out.year = local.tm_year + 1900;
  out.month = local.tm_mon + 1;
  out.day = local.tm_mday;
  out.hour = local.tm_hour;
  out.minute = local.tm_min;
  out.second = local.tm_sec;
  return out;
}

}  // namespace drovn::platform
