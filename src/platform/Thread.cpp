#include "platform/Thread.h"

#include <new>
#include <system_error>
#include <thread>
#include <utility>

#include "platform/ErrorCodes.h"

namespace drovn::platform {

Thread Thread::start(std::function<void()> body, uint32_t& error) {
  error = 0;
  Thread t;
  try {
    auto done = std::make_shared<Completion>();
    std::thread worker([body = std::move(body), done]() mutable {
      try {
        body();
      } catch (...) {
        // The entry functions catch and log their own failures; nothing is left to report.
      }
      // Release what the body captured before saying it is finished, so an owner that sees the
      // thread finished also sees the body's shared objects let go.
      body = nullptr;
      done->signal();
    });
    worker.detach();
    t.done_ = std::move(done);
  } catch (const std::system_error&) {
    error = kErrorNotEnoughMemory;
  } catch (const std::bad_alloc&) {
    error = kErrorNotEnoughMemory;
  }
  return t;
}

bool Thread::finished() const {
  return !done_ || done_->isSignalled();
}

bool Thread::waitFor(Clock& clock, uint32_t ms) {
  if (!done_) return true;
  return clock.waitFor(*done_, ms);
}

}  // namespace drovn::platform
