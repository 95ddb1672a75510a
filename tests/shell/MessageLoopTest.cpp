#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "config/Settings.h"
#include "protocol/TransferMeter.h"
#include "shell/MainWindow.h"
#include "shell/MessageLoop.h"
#include "shell/ShellTestSupport.h"
#include "support/FakeClock.h"
#include "support/FakePower.h"

namespace drovn::shell {
namespace {

TEST(MessageLoop, AnswersSentMessagesAndEndsAfterClose) {
  test::FakeClock clock(100);
  test::TestPlatform tp(clock);
  config::SettingsStore settings;
  protocol::TransferMeter meter;
  test::TestWindow view;
  test::FakePower power;
  MainWindow window(tp.platform, settings, meter, view, power.devices());

  std::atomic<intptr_t> answer{-1};
  std::jthread other([&] {
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    answer = tp.queue.send(
        platform::kNetworkCheck, 1, 0, [&] { return std::chrono::steady_clock::now() < until; },
        99);
    tp.queue.post(platform::kBringToFront, 0, 0);
    tp.queue.post(platform::kCommand, kCmdClose, 0);
  });
  EXPECT_EQ(runMessageLoop(window, tp.queue, clock), 0);
  other.join();
  EXPECT_EQ(answer.load(), 0);
  EXPECT_EQ(view.broughtToFront, 1);
  EXPECT_FALSE(window.state().timerRunning);
}

TEST(MessageLoop, ASignalEndsTheLoopThroughClose) {
  test::FakeClock clock(100);
  test::TestPlatform tp(clock);
  config::SettingsStore settings;
  protocol::TransferMeter meter;
  test::TestWindow view;
  test::FakePower power;
  MainWindow window(tp.platform, settings, meter, view, power.devices());
  tp.queue.requestCloseFromSignal();
  EXPECT_EQ(runMessageLoop(window, tp.queue, clock), 0);
  EXPECT_TRUE(window.state().quitPosted);
}

}  // namespace
}  // namespace drovn::shell
