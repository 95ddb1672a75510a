// The main thread's message loop: takes the window's messages one by one, answers those that
// were sent, and fires timer 1 every two seconds while it runs. Ends once Close has posted the
// quit. A console adds its terminal to the wait, and runs its modal dialogs in nested turns of
// the same loop, so the main window's messages and the timer go on behind a dialog.
#pragma once

#include <cstdint>
#include <functional>

#include "platform/Clock.h"
#include "platform/MessageQueue.h"
#include "shell/MainWindow.h"

namespace drovn::shell {

// What a front end with input of its own adds to the loop.
class LoopClient {
 public:
  virtual ~LoopClient() = default;
  // Readable while input waits; -1: nothing to wait on.
  virtual int inputFd() const = 0;
  // Handles the input that waits, if any; called on every turn (a resize comes as a signal, not
  // as readable input). True when it stopped with input possibly left (after a key that asked
  // the main window for a command, so the command runs before the keys typed after it); the
  // loop then comes back at once, after the messages now queued.
  virtual bool pumpInput() = 0;
  // The input's other end is gone (the terminal hung up); the loop stops waiting on it.
  virtual void inputHungUp() = 0;
  // After every turn: draws what changed and runs what is due. Gives the milliseconds after
  // which it wants to be called again, -1 when it waits for nothing.
  virtual int afterTurn() = 0;
};

class MessageLoop {
 public:
  // client may be null (the headless window): the loop then waits on the queue alone.
  MessageLoop(MainWindow& window, platform::MessageQueue& queue, platform::Clock& clock,
              LoopClient* client = nullptr);

  // Until Close has posted the quit; gives the quit code.
  int run();
  // Nested turns until done() is true or the quit is posted (a modal dialog).
  void runUntil(const std::function<bool()>& done);

 private:
  void turn();
  void turnWithClient();
  // Takes and handles what is queued, up to a turn's worth.
  void drainQueue();
  int timerTimeout();
  void fireTimerIfDue();
  void dispatch(platform::MessageQueue::Taken& taken);

  MainWindow& window_;
  platform::MessageQueue& queue_;
  platform::Clock& clock_;
  LoopClient* client_;
  uint32_t nextTimer_;
  bool inputPending_ = false;
  bool inputGone_ = false;
  int clientDueMs_ = -1;
};

// The loop of a window without input of its own. Gives the quit code.
int runMessageLoop(MainWindow& window, platform::MessageQueue& queue, platform::Clock& clock);

}  // namespace drovn::shell
