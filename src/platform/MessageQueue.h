// The main window's message queue. Any thread posts to it or sends to it and waits for the
// answer; the main thread takes the messages one by one and answers those that were sent.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <variant>

#include "platform/Mutex.h"

namespace drovn::platform {

// The menu's Close command, also asked for by SIGINT, SIGTERM and SIGHUP.
inline constexpr intptr_t kCloseCommandId = 32791;

// What the main thread is told or asked, each a type of its own. Equal events are equal values:
// a post equal to one still queued is dropped.
namespace events {
// Log text is pending. `progress`: a transfer asks for its progress row to be drawn again.
struct LogTextReady {
  bool progress = false;
  bool operator==(const LogTextReady&) const = default;
};
struct ServiceStateChanged {
  bool operator==(const ServiceStateChanged&) const = default;
};
// Sent by the service before it waits for a network: the answer is 1 when the main thread
// switched the wireless adapter on. `networkFound`: an address other than loopback was found.
struct NetworkCheck {
  bool networkFound = false;
  bool operator==(const NetworkCheck&) const = default;
};
// A menu or soft-key command, by its id.
struct Command {
  intptr_t id = 0;
  bool operator==(const Command&) const = default;
};
struct Timer {
  int id = 0;
  bool operator==(const Timer&) const = default;
};
// Another instance asked this one to come to the front.
struct BringToFront {
  bool operator==(const BringToFront&) const = default;
};
}  // namespace events

using Message =
    std::variant<events::LogTextReady, events::ServiceStateChanged, events::NetworkCheck,
                 events::Command, events::Timer, events::BringToFront>;

class MessageQueue {
 public:
  struct Reply;
  // A message taken by the main thread; answer it with answer() if it was sent.
  struct Taken {
    Message message;
    std::shared_ptr<Reply> reply;  // null for a posted message
  };

  // Throws std::system_error when the wake-up descriptor cannot be made.
  MessageQueue();
  ~MessageQueue();
  MessageQueue(const MessageQueue&) = delete;
  MessageQueue& operator=(const MessageQueue&) = delete;

  // Posts without waiting. A post identical to one still queued is dropped: the handlers act on
  // state, not on the number of posts. Sent messages are never merged.
  void post(const Message& m);
  // Sends and waits for the answer. keepWaiting is asked every 100 ms (an empty function: wait
  // without limit); once it says false the sender stops waiting and gets `fallback` (the
  // answer, if it comes later, is dropped). Must not be called by the thread that takes the
  // messages: nobody would answer.
  intptr_t send(const Message& m, const std::function<bool()>& keepWaiting, intptr_t fallback);
  // Main thread: waits up to timeoutMs (negative: without limit) for a message, in the order
  // posted or sent; a Close asked for by a signal comes first. False on time-out.
  bool take(Taken& out, int timeoutMs);
  // Answers a sent message (a second answer, or one for a posted message, does nothing).
  static void answer(Taken& t, intptr_t result);

  // A descriptor that is readable while messages are waiting, for a loop that also waits on
  // other input (the terminal). Read it only through take().
  int readyFd() const noexcept { return eventFd_; }
  // Async-signal-safe: makes the next take() return a Close command (kCommand,
  // kCloseCommandId, 0).
  void requestCloseFromSignal() noexcept;

 private:
  // Queues t unless it is a post identical to one still queued; true when the queue was empty
  // and the main thread must be woken.
  bool push(Taken t);
  void wake() noexcept;
  void drainWake() noexcept;

  Mutex m_;
  std::deque<Taken> queue_ GUARDED_BY(m_);
  std::atomic<bool> closeRequested_{false};
  int eventFd_ = -1;
};

// Installs SIGINT, SIGTERM and SIGHUP handlers that ask q for the Close command. SIGPIPE is
// ignored.
// One queue at a time: a later call replaces the earlier queue; after q's destructor the
// signals are still caught but ask nothing.
void installCloseSignals(MessageQueue& q);

}  // namespace drovn::platform
