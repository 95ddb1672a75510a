// Worker threads that are never killed: a thread runs detached, its owner can wait for its end
// for a bounded time, and gives up waiting (abandons it) when that time runs out. Whatever the
// body touches must therefore be kept alive by the body itself (shared ownership).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <system_error>

#include "platform/Clock.h"

namespace drovn::platform {

class Thread {
 public:
  Thread() = default;
  Thread(Thread&&) noexcept = default;
  Thread& operator=(Thread&&) noexcept = default;
  Thread(const Thread&) = delete;
  Thread& operator=(const Thread&) = delete;

  // Starts body on a new thread and clears error. On failure returns an empty Thread and sets
  // error to ENOMEM: the system lacks the memory or another resource for a new thread.
  // Exceptions that escape body are swallowed; the thread's entry functions are expected to
  // catch their own. What body holds is released before the thread counts as finished.
  static Thread start(std::function<void()> body, std::error_code& error);

  explicit operator bool() const noexcept { return done_ != nullptr; }
  // True once the body has returned (or when there is no thread).
  bool finished() const;
  // Waits up to ms (on the given clock) for the body to return; true when it has.
  bool waitFor(Clock& clock, uint32_t ms);
  // Forgets the thread without waiting; it runs on until its body returns.
  void reset() noexcept { done_.reset(); }

 private:
  std::shared_ptr<Completion> done_;
};

}  // namespace drovn::platform
