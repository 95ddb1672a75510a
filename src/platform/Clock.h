// Time as the service sees it: a wrapping 32-bit millisecond tick, sleeps, bounded waits for a
// thread's end, and the calendar. Behind an interface so tests can run the long waits fast.
#pragma once

#include <chrono>
#include <cstdint>

#include "platform/Mutex.h"

namespace drovn::platform {

// Calendar fields; month 1-12, day 1-31.
struct CalendarTime {
  int year = 1970;
  int month = 1;
  int day = 1;
  int hour = 0;
  int minute = 0;
  int second = 0;
};

// A one-shot signal, raised once (for instance when a thread's body has returned).
class Completion {
 public:
  void signal();
  bool isSignalled() const;
  // Waits up to `real` of real time; true when signalled.
  bool waitReal(std::chrono::milliseconds real);

 private:
  mutable Mutex m_;
  Condition cv_;
  bool done_ GUARDED_BY(m_) = false;
};

class Clock {
 public:
  virtual ~Clock() = default;
  // Milliseconds since an arbitrary start; wraps after about 49.7 days.
  virtual uint32_t tickCount() = 0;
  virtual void sleep(uint32_t ms) = 0;
  // For waits that are usually over within microseconds.
  virtual void sleepMicros(uint32_t us) = 0;
  // Waits up to ms for c; true when c was signalled in time.
  virtual bool waitFor(Completion& c, uint32_t ms) = 0;
  // The device clock: local wall-clock time.
  virtual CalendarTime localNow() = 0;
};

class LinuxClock final : public Clock {
 public:
  uint32_t tickCount() override;
  void sleep(uint32_t ms) override;
  void sleepMicros(uint32_t us) override;
  bool waitFor(Completion& c, uint32_t ms) override;
  CalendarTime localNow() override;
};

}  // namespace drovn::platform
