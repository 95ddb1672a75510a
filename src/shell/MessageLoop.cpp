#include "shell/MessageLoop.h"

#include "platform/Terminal.h"

namespace drovn::shell {

namespace {
// Messages handled in one turn before the console's input is looked at: the log channel's
// posts are merged while queued, so this bound only matters under a flood of other messages.
constexpr int kMessagesPerTurn = 64;
// After a wake-up the queue is left as it is for this long before it is drained: log lines
// written meanwhile merge with the post already queued, so a busy service wakes the window once
// per batch of lines rather than once per line, and no line waits longer than this.
constexpr int kBatchMs = 5;

// The shorter of two waits, where a negative wait means none.
int sooner(int a, int b) {
  if (a < 0) return b;
  if (b < 0) return a;
  return a < b ? a : b;
}
}  // namespace

MessageLoop::MessageLoop(MainWindow& window, platform::MessageQueue& queue, platform::Clock& clock,
                         LoopClient* client)
    : window_(window),
      queue_(queue),
      clock_(clock),
      client_(client),
      nextTimer_(clock.tickCount() + kIdleTimerPeriodMs) {}

int MessageLoop::run() {
  while (!window_.state().quitPosted) turn();
  return window_.state().exitCode;
}

void MessageLoop::runUntil(const std::function<bool()>& done) {
  while (!window_.state().quitPosted && !done()) turn();
}

int MessageLoop::timerTimeout() {
  if (!window_.state().timerRunning) return -1;
  const auto left = static_cast<int32_t>(nextTimer_ - clock_.tickCount());
  return left > 0 ? left : 0;
}

void MessageLoop::fireTimerIfDue() {
  if (window_.state().quitPosted || !window_.state().timerRunning) return;
  const uint32_t now = clock_.tickCount();
  if (static_cast<int32_t>(now - nextTimer_) >= 0) {
    // A late tick is not made up for: the next one comes a full period later.
    nextTimer_ = now + kIdleTimerPeriodMs;
    window_.handleMessage(platform::events::Timer{kIdleTimerId});
  }
}

void MessageLoop::dispatch(platform::MessageQueue::Taken& taken) {
  const intptr_t result = window_.handleMessage(taken.message);
  if (taken.reply) platform::MessageQueue::answer(taken, result);
}

void MessageLoop::turn() {
  if (client_ != nullptr) {
    turnWithClient();
    return;
  }
  if (platform::waitForInput(queue_.readyFd(), -1, timerTimeout()).queue) {
    (void)platform::waitForInput(-1, -1, kBatchMs);
    drainQueue();
  }
  fireTimerIfDue();
}

void MessageLoop::drainQueue() {
  platform::MessageQueue::Taken taken;
  for (int n = 0; n < kMessagesPerTurn && !window_.state().quitPosted; ++n) {
    if (!queue_.take(taken, 0)) break;
    dispatch(taken);
  }
}

void MessageLoop::turnWithClient() {
  const int timeout = inputPending_ ? 0 : sooner(timerTimeout(), clientDueMs_);
  const platform::InputReady ready =
      platform::waitForInput(queue_.readyFd(), inputGone_ ? -1 : client_->inputFd(), timeout);
  if (ready.inputHungUp && !inputGone_) {
    // Waiting on it again would return at once, every time.
    inputGone_ = true;
    client_->inputHungUp();
  }
  if (ready.queue) {
    // Typing during the pause ends it: the keys are handled in this turn.
    (void)platform::waitForInput(-1, inputGone_ ? -1 : client_->inputFd(), kBatchMs);
    drainQueue();
  }
  // Looked at on every turn, not only when the descriptor is readable: a terminal's size
  // change arrives as a signal, and the terminal library reports it only when asked for input.
  if (!window_.state().quitPosted) inputPending_ = client_->pumpInput();
  fireTimerIfDue();
  clientDueMs_ = client_->afterTurn();
}

int runMessageLoop(MainWindow& window, platform::MessageQueue& queue, platform::Clock& clock) {
  return MessageLoop(window, queue, clock).run();
}

}  // namespace drovn::shell
