// A mutex that clang's thread-safety analysis understands. libstdc++'s std::mutex carries no
// capability attributes, so members marked GUARDED_BY a std::mutex would go unchecked; with this
// one, a read or write of a guarded member without its lock is a compile error in the clang
// build (the attributes mean nothing to g++, so there they expand to nothing).
#pragma once

#include <condition_variable>
#include <mutex>

#if defined(__clang__)
#define DROVN_THREAD_ATTRIBUTE(x) __attribute__((x))
#else
#define DROVN_THREAD_ATTRIBUTE(x)
#endif

#define CAPABILITY(x) DROVN_THREAD_ATTRIBUTE(capability(x))
#define SCOPED_CAPABILITY DROVN_THREAD_ATTRIBUTE(scoped_lockable)
#define GUARDED_BY(x) DROVN_THREAD_ATTRIBUTE(guarded_by(x))
#define REQUIRES(...) DROVN_THREAD_ATTRIBUTE(requires_capability(__VA_ARGS__))
#define ACQUIRE(...) DROVN_THREAD_ATTRIBUTE(acquire_capability(__VA_ARGS__))
#define RELEASE(...) DROVN_THREAD_ATTRIBUTE(release_capability(__VA_ARGS__))
#define EXCLUDES(...) DROVN_THREAD_ATTRIBUTE(locks_excluded(__VA_ARGS__))
#define TRY_ACQUIRE(...) DROVN_THREAD_ATTRIBUTE(try_acquire_capability(__VA_ARGS__))
#define NO_THREAD_SAFETY_ANALYSIS DROVN_THREAD_ATTRIBUTE(no_thread_safety_analysis)

namespace drovn::platform {

class CAPABILITY("mutex") Mutex {
 public:
  void lock() ACQUIRE() { m_.lock(); }
  void unlock() RELEASE() { m_.unlock(); }
  bool try_lock() TRY_ACQUIRE(true) { return m_.try_lock(); }  // for std::scoped_lock of two

 private:
  std::mutex m_;
};

// Holds a Mutex for its scope.
class SCOPED_CAPABILITY MutexLock {
 public:
  explicit MutexLock(Mutex& m) ACQUIRE(m) : m_(m) { m_.lock(); }
  ~MutexLock() RELEASE() { m_.unlock(); }
  MutexLock(const MutexLock&) = delete;
  MutexLock& operator=(const MutexLock&) = delete;

 private:
  Mutex& m_;
};

// A condition variable for Mutex. Callers wait in a loop on their own condition, with the lock
// held, so that the analysis sees every read of the guarded state under the lock:
//   MutexLock lock(m_);
//   while (!done_) cv_.wait(m_);
class Condition {
 public:
  void wait(Mutex& m) REQUIRES(m) { cv_.wait(m); }
  // False when the deadline passed (the caller still checks its condition).
  template <typename TimePoint>
  bool waitUntil(Mutex& m, const TimePoint& deadline) REQUIRES(m) {
    return cv_.wait_until(m, deadline) == std::cv_status::no_timeout;
  }
  void notifyAll() noexcept { cv_.notify_all(); }
  void notifyOne() noexcept { cv_.notify_one(); }

 private:
  std::condition_variable_any cv_;
};

}  // namespace drovn::platform
