#include "platform/MessageQueue.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <csignal>
#include <system_error>
#include <utility>

namespace drovn::platform {

struct MessageQueue::Reply {
  Mutex m;
  Condition cv;
  bool answered GUARDED_BY(m) = false;
  intptr_t result GUARDED_BY(m) = 0;
};

namespace {

// A signal handler cannot be given an argument, so the queue that SIGINT and SIGTERM ask for
// the Close command is kept here: the one process-wide pointer of the platform layer, set by
// installCloseSignals and cleared by that queue's destructor.
std::atomic<MessageQueue*> closeSignalQueue{nullptr};
static_assert(std::atomic<MessageQueue*>::is_always_lock_free);

extern "C" void onCloseSignal(int) {
  int saved = errno;  // the handler must not change errno under the interrupted code
  MessageQueue* q = closeSignalQueue.load();
  if (q != nullptr) q->requestCloseFromSignal();
  errno = saved;
}

constexpr std::chrono::milliseconds kKeepWaitingPoll{100};

}  // namespace

MessageQueue::MessageQueue() {
  eventFd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (eventFd_ < 0) throw std::system_error(errno, std::generic_category(), "eventfd");
}

MessageQueue::~MessageQueue() {
  MessageQueue* self = this;
  closeSignalQueue.compare_exchange_strong(self, nullptr);
  (void)::close(eventFd_);  // nothing is left to report a failure to
}

void MessageQueue::wake() noexcept {
  uint64_t one = 1;
  // Fails only when the counter is at its maximum, and then the descriptor is readable anyway.
  (void)!::write(eventFd_, &one, sizeof one);
}

void MessageQueue::drainWake() noexcept {
  uint64_t count = 0;
  // EAGAIN when already drained: the wanted state.
  (void)!::read(eventFd_, &count, sizeof count);
  // A close request that arrived meanwhile keeps the descriptor readable.
  if (closeRequested_.load()) wake();
}

void MessageQueue::post(const Message& m) {
  if (push(Taken{m, nullptr})) wake();
}

bool MessageQueue::push(Taken t) {
  MutexLock lock(m_);
  if (!t.reply) {
    for (const Taken& queued : queue_) {
      if (!queued.reply && queued.message == t.message) return false;
    }
  }
  // Only the message that ends an empty queue needs the wake-up: the descriptor is drained only
  // while the queue is empty, so behind any waiting message a wake-up is already given or
  // about to be. It is given after the lock is let go, so the main thread taking a message
  // never waits for a poster's write.
  const bool wasEmpty = queue_.empty();
  queue_.push_back(std::move(t));
  return wasEmpty;
}

intptr_t MessageQueue::send(const Message& m, const std::function<bool()>& keepWaiting,
                            intptr_t fallback) {
  auto reply = std::make_shared<Reply>();
  if (push(Taken{m, reply})) wake();
  for (;;) {
    {
      MutexLock lock(reply->m);
      const auto until = std::chrono::steady_clock::now() + kKeepWaitingPoll;
      while (!reply->answered && reply->cv.waitUntil(reply->m, until)) {
      }
      if (reply->answered) return reply->result;
    }
    const bool keep = !keepWaiting || keepWaiting();  // asked without the reply's lock held
    MutexLock lock(reply->m);
    if (reply->answered) return reply->result;
    if (!keep) return fallback;
  }
}

bool MessageQueue::take(Taken& out, int timeoutMs) {
  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs < 0 ? 0 : timeoutMs);
  for (;;) {
    if (closeRequested_.exchange(false)) {
      out = Taken{events::Command{kCloseCommandId}, nullptr};
      MutexLock lock(m_);
      if (queue_.empty()) drainWake();
      return true;
    }
    {
      MutexLock lock(m_);
      if (!queue_.empty()) {
        out = std::move(queue_.front());
        queue_.pop_front();
        if (queue_.empty()) drainWake();
        return true;
      }
      // Nothing waits: clear a wake left over from a close request already taken, so the wait
      // below does not return at once.
      drainWake();
    }
    int wait = -1;
    if (timeoutMs >= 0) {
      auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
      if (left <= 0) return false;
      wait = left > INT_MAX ? INT_MAX : static_cast<int>(left);
    }
    pollfd p{};
    p.fd = eventFd_;
    p.events = POLLIN;
    // EINTR: a signal (perhaps the close signal) came; look at the queue and the flag again.
    (void)::poll(&p, 1, wait);
  }
}

void MessageQueue::answer(Taken& t, intptr_t result) {
  if (!t.reply) return;
  {
    MutexLock lock(t.reply->m);
    if (!t.reply->answered) {
      t.reply->answered = true;
      t.reply->result = result;
    }
  }
  t.reply->cv.notifyAll();
  t.reply.reset();
}

void MessageQueue::requestCloseFromSignal() noexcept {
  closeRequested_.store(true);
  wake();
}

void installCloseSignals(MessageQueue& q) {
  closeSignalQueue.store(&q);
  struct sigaction sa {};
  sa.sa_handler = onCloseSignal;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = SA_RESTART;
  // With valid arguments sigaction cannot fail.
  (void)::sigaction(SIGINT, &sa, nullptr);
  (void)::sigaction(SIGTERM, &sa, nullptr);
  // A terminal that hangs up closes the server in order too, rather than ending it mid-save.
  (void)::sigaction(SIGHUP, &sa, nullptr);
  struct sigaction ignore {};
  ignore.sa_handler = SIG_IGN;
  sigemptyset(&ignore.sa_mask);
  (void)::sigaction(SIGPIPE, &ignore, nullptr);
}

}  // namespace drovn::platform
