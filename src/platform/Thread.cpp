#include "platform/Thread.h"

#include <pthread.h>

#include <cerrno>
#include <memory>
#include <new>
#include <utility>

#include "platform/ErrorCodes.h"

namespace drovn::platform {

namespace {

// What a new thread owns until its body has run.
struct Start {
  std::function<void()> body;
  std::shared_ptr<Completion> done;
};

// A plain entry function rather than std::thread: its type-erased state is called through a
// virtual function, and UBSan checks that call by probing memory through a pipe, which fails
// exactly when a session thread starts with every descriptor in use.
extern "C" void* threadEntry(void* arg) {
  std::unique_ptr<Start> start(static_cast<Start*>(arg));
  try {
    start->body();
  } catch (...) {
    // The entry functions catch and log their own failures; nothing is left to report.
  }
  // Release what the body captured before saying it is finished, so an owner that sees the
  // thread finished also sees the body's shared objects let go.
  std::shared_ptr<Completion> done = std::move(start->done);
  start.reset();
  done->signal();
  return nullptr;
}

// Every thread here runs a session or a loop whose frames are small: texts of a few KiB, with
// transfer buffers on the heap. The system's default of 8 MiB per thread is more than the
// C library keeps for reuse, so fifty sessions would map and unmap a stack each, and unmapping
// stops every processor to flush its address cache. A sanitizer's frames are several times
// larger.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr std::size_t kStackBytes = std::size_t{8} << 20;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
constexpr std::size_t kStackBytes = std::size_t{8} << 20;
#else
constexpr std::size_t kStackBytes = std::size_t{512} << 10;
#endif
#else
constexpr std::size_t kStackBytes = std::size_t{512} << 10;
#endif

// Sets the stack size on a fresh attribute; the default stays when the system refuses it.
struct ThreadAttributes {
  pthread_attr_t attr;
  ThreadAttributes() {
    (void)pthread_attr_init(&attr);
    (void)pthread_attr_setstacksize(&attr, kStackBytes);
  }
  ~ThreadAttributes() { (void)pthread_attr_destroy(&attr); }
  ThreadAttributes(const ThreadAttributes&) = delete;
  ThreadAttributes& operator=(const ThreadAttributes&) = delete;
};

}  // namespace

Thread Thread::start(std::function<void()> body, std::error_code& error) {
  error.clear();
  Thread t;
  try {
    auto start = std::make_unique<Start>(Start{std::move(body), std::make_shared<Completion>()});
    std::shared_ptr<Completion> done = start->done;
    pthread_t id;
    ThreadAttributes attributes;
    if (pthread_create(&id, &attributes.attr, threadEntry, start.get()) != 0) {
      error = errnoError(ENOMEM);
      return t;
    }
    start.release();  // the thread owns it now
    (void)pthread_detach(id);
    t.done_ = std::move(done);
  } catch (const std::bad_alloc&) {
    error = errnoError(ENOMEM);
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
