#include "shell/MessageLoop.h"

#include <cstdint>

namespace drovn::shell {

int runMessageLoop(MainWindow& window, platform::MessageQueue& queue, platform::Clock& clock) {
  uint32_t nextTimer = clock.tickCount() + kIdleTimerPeriodMs;
  while (!window.state().quitPosted) {
    int timeout = -1;
    if (window.state().timerRunning) {
      const auto left = static_cast<int32_t>(nextTimer - clock.tickCount());
      timeout = left > 0 ? left : 0;
    }
    platform::MessageQueue::Taken taken;
    if (queue.take(taken, timeout)) {
      const intptr_t result = window.handleMessage(taken.message);
      if (taken.reply) platform::MessageQueue::answer(taken, result);
    }
    if (window.state().quitPosted || !window.state().timerRunning) continue;
    const uint32_t now = clock.tickCount();
    if (static_cast<int32_t>(now - nextTimer) >= 0) {
      // A late tick is not made up for: the next one comes a full period later.
      nextTimer = now + kIdleTimerPeriodMs;
      window.handleMessage(platform::Message{platform::kTimer, kIdleTimerId, 0});
    }
  }
  return window.state().exitCode;
}

}  // namespace drovn::shell
