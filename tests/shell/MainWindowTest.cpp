#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "config/Settings.h"
#include "core/ServiceController.h"
#include "protocol/Dispatcher.h"
#include "protocol/TransferMeter.h"
#include "shell/MainWindow.h"
#include "shell/ShellTestSupport.h"
#include "support/FakeClock.h"
#include "support/FakePower.h"

namespace drovn::shell {
namespace {

using test::rowText;

// Records the sleeps of the main thread together with what the window looked like then.
class RecordingClock final : public platform::Clock {
 public:
  struct Sleep {
    uint32_t ms;
    bool serviceGone;
    bool quitPosted;
    std::string lastRow;
  };

  explicit RecordingClock(test::FakeClock& inner) : inner_(inner) {}
  void watch(const MainWindow* window, const MemoryLogList* list) {
    window_ = window;
    list_ = list;
  }

  uint32_t tickCount() override { return inner_.tickCount(); }
  void sleep(uint32_t ms) override {
    if (std::this_thread::get_id() == main_ && window_) {
      sleeps.push_back({ms, window_->state().service == nullptr, window_->state().quitPosted,
                        rowText(*list_, list_->rowCount() - 1)});
    }
    inner_.sleep(ms);
  }
  bool waitFor(platform::Completion& c, uint32_t ms) override { return inner_.waitFor(c, ms); }
  platform::CalendarTime localNow() override { return inner_.localNow(); }

  std::vector<Sleep> sleeps;  // main thread only

 private:
  test::FakeClock& inner_;
  const std::thread::id main_ = std::this_thread::get_id();
  const MainWindow* window_ = nullptr;
  const MemoryLogList* list_ = nullptr;
};

class MainWindowTest : public testing::Test {
 protected:
  MainWindowTest() {
    clock.watch(&window, &view.list);
    config::Settings s;
    config::setDefaultSettings(s);
    settings.replace(s);
  }

  void createService() {
    window.setService(
        core::ServiceController::create(tp.platform, settings, meter, protocol::dispatchCommand));
    ASSERT_NE(window.state().service, nullptr);
    // A port the system picks, announced on 127.0.0.1 only.
    config::Settings s = settings.snapshot();
    s.use_manualip = true;
    ASSERT_TRUE(s.bind_manualip.assign("127.0.0.1"));
    ASSERT_TRUE(s.bind_manualport.assign("0"));
    settings.replace(s);
  }

  void log(const char* utf8) { window.state().service->logChannel().writeUtf8(utf8); }
  void logLines(int n, const char* prefix = "line ") {
    for (int i = 0; i < n; ++i) log((prefix + std::to_string(i)).c_str());
  }
  int rows() const { return view.list.rowCount(); }
  std::string lastRow() const { return rowText(view.list, rows() - 1); }
  bool hasRow(const std::string& text) const {
    for (int i = 0; i < rows(); ++i) {
      if (rowText(view.list, i) == text) return true;
    }
    return false;
  }
  // Index of the first row with this text at or after `from`, -1 when none.
  int findRow(const std::string& text, int from = 0) const {
    for (int i = from; i < rows(); ++i) {
      if (rowText(view.list, i) == text) return i;
    }
    return -1;
  }

  // Runs the main thread's side of the queue until `done` or a real-time limit.
  template <typename Pred>
  bool pumpUntil(Pred done, std::chrono::milliseconds limit = std::chrono::seconds(20)) {
    const auto until = std::chrono::steady_clock::now() + limit;
    while (!done()) {
      if (std::chrono::steady_clock::now() > until) return false;
      platform::MessageQueue::Taken t;
      if (tp.queue.take(t, 50)) {
        const intptr_t r = window.handleMessage(t.message);
        if (t.reply) platform::MessageQueue::answer(t, r);
      }
    }
    return true;
  }

  // The meter following a connection whose sample is `elapsed` ms old.
  void track(int32_t total, int32_t sinceSample, int32_t elapsed) {
    meter.trackedConnection = 7;
    meter.totalBytes = total;
    meter.bytesSinceSample = sinceSample;
    meter.sampleTick = 1000;
    meter.lastIoTick = 1000 + elapsed;
  }

  test::FakeClock fake{100};
  RecordingClock clock{fake};
  test::TestPlatform tp{clock};
  config::SettingsStore settings;
  protocol::TransferMeter meter;
  test::TestWindow view;
  test::FakePower power;
  MainWindow window{tp.platform, settings, meter, view, power.devices()};
};

TEST_F(MainWindowTest, EachEntryBecomesOneRowAndEmptyLinesAreSkipped) {
  createService();
  log("a");
  log("");
  log("b");
  window.appendLogText();
  ASSERT_EQ(rows(), 2);
  EXPECT_EQ(rowText(view.list, 0), "a");
  EXPECT_EQ(rowText(view.list, 1), "b");
  EXPECT_EQ(view.list.visibleRow(), 1);
}

TEST_F(MainWindowTest, OperatorTextsArriveAsTheSameCharacters) {
  createService();
  log("服务已启动.");
  window.appendLogText();
  EXPECT_EQ(lastRow(), "服务已启动.");
}

struct LimitCase {
  int rowsBefore;
  int rowsAfter;
};

class MainWindowListLimit : public MainWindowTest, public testing::WithParamInterface<LimitCase> {};

TEST_P(MainWindowListLimit, AListPastTheLimitIsEmptiedBeforeNewLines) {
  createService();
  logLines(GetParam().rowsBefore);
  window.appendLogText();
  ASSERT_EQ(rows(), GetParam().rowsBefore);
  log("new");
  window.appendLogText();
  EXPECT_EQ(rows(), GetParam().rowsAfter);
  EXPECT_EQ(lastRow(), "new");
}

INSTANTIATE_TEST_SUITE_P(Limit, MainWindowListLimit,
                         testing::Values(LimitCase{200, 201}, LimitCase{201, 1}));

TEST_F(MainWindowTest, ALongBatchArrivesWhole) {
  createService();
  // Far more than one 2048-unit copy, yet within the channel's pending text: nothing is lost.
  const std::string longText(1500, 'x');
  for (int i = 0; i < 60; ++i) log((std::to_string(i) + longText).c_str());
  window.appendLogText();
  ASSERT_EQ(rows(), 60);
  EXPECT_EQ(rowText(view.list, 0), "0" + longText);
  EXPECT_EQ(lastRow(), "59" + longText);
}

struct SelectionCase {
  int selected;  // of 10 rows, before one line is added
  bool stillSelected;
  int visibleRow;  // after the line
};

class MainWindowSelection : public MainWindowTest,
                            public testing::WithParamInterface<SelectionCase> {};

TEST_P(MainWindowSelection, ASelectionFurtherUpHoldsTheView) {
  createService();
  logLines(10);
  window.appendLogText();
  ASSERT_EQ(view.list.visibleRow(), 9);
  view.list.ensureVisible(3);  // where the operator scrolled to
  view.list.select(GetParam().selected);
  log("more");
  window.appendLogText();
  ASSERT_EQ(rows(), 11);
  EXPECT_EQ(view.list.nextSelectedRow(-1) == GetParam().selected, GetParam().stillSelected);
  EXPECT_EQ(view.list.visibleRow(), GetParam().visibleRow);
}

INSTANTIATE_TEST_SUITE_P(
    Selection, MainWindowSelection,
    testing::Values(SelectionCase{5, true, 3},  // in the middle: the view stays
                    SelectionCase{7, true, 3},  // third-last before the line, still held
                    SelectionCase{8, false, 10}, SelectionCase{9, false, 10},
                    // Row 0 is never seen as selected: the view follows the new lines.
                    SelectionCase{0, true, 10}));

TEST_F(MainWindowTest, ProgressRowShowsTheMeterAndStaysLast) {
  createService();
  logLines(3);
  window.appendLogText();

  track(2047, 2047, 100);
  window.appendLogText();  // nothing pending: the refresh alone
  ASSERT_EQ(rows(), 4);
  EXPECT_EQ(lastRow(), "正在传输: 2047 Bytes");
  EXPECT_EQ(view.list.rows().back().kind, RowKind::Progress);
  EXPECT_EQ(window.state().progressRow, 3);
  EXPECT_EQ(view.list.visibleRow(), 3);

  // New lines take the progress row's place; the refresh puts a fresh one at the end.
  meter.totalBytes = 4096;
  meter.lastIoTick = 1200;
  log("x");
  log("y");
  window.appendLogText();
  ASSERT_EQ(rows(), 6);
  EXPECT_EQ(rowText(view.list, 3), "x");
  EXPECT_EQ(view.list.rows()[3].kind, RowKind::Log);
  EXPECT_EQ(rowText(view.list, 4), "y");
  EXPECT_EQ(lastRow(), "正在传输: 4 KB");
  EXPECT_EQ(window.state().progressRow, 5);

  // The connection closes: the row goes at the next refresh.
  meter.trackedConnection = 0;
  log("226 Transfer completed.");
  window.appendLogText();
  ASSERT_EQ(rows(), 6);
  EXPECT_EQ(lastRow(), "226 Transfer completed.");
  EXPECT_EQ(window.state().progressRow, -1);
}

TEST_F(MainWindowTest, AProgressRowTakenOverByALineComesBackOnlyAfterMoreData) {
  createService();
  track(5000, 5000, 100);
  ASSERT_TRUE(window.refreshProgressRow());
  meter.sampleTick = meter.lastIoTick.load();  // a sample was taken: nothing new since
  log("line");
  window.appendLogText();
  ASSERT_EQ(rows(), 1);
  EXPECT_EQ(lastRow(), "line");
  EXPECT_EQ(window.state().progressRow, -1);
}

TEST_F(MainWindowTest, SpeedIsSampledEveryTwoSeconds) {
  createService();
  track(1048576, 1048576, 2500);
  ASSERT_TRUE(window.refreshProgressRow());
  EXPECT_EQ(lastRow(), "正在传输: 1024 KB (409 KB/s)");
  EXPECT_EQ(meter.speedKBps.load(), 409);
  EXPECT_EQ(meter.bytesSinceSample.load(), 0);
  EXPECT_EQ(meter.sampleTick.load(), 3500);

  // Nothing moved since that sample.
  EXPECT_FALSE(window.refreshProgressRow());
  EXPECT_EQ(rows(), 1);

  // Within two seconds of the sample the speed is kept.
  meter.totalBytes = 2097152;
  meter.bytesSinceSample = 100;
  meter.lastIoTick = 4000;
  ASSERT_TRUE(window.refreshProgressRow());
  EXPECT_EQ(rows(), 1);
  EXPECT_EQ(lastRow(), "正在传输: 2.0 MB (409 KB/s)");
  EXPECT_EQ(meter.bytesSinceSample.load(), 100);
}

TEST_F(MainWindowTest, SampleAcrossATickWrapUsesTheTrueInterval) {
  createService();
  meter.trackedConnection = 3;
  meter.totalBytes = 4096;
  meter.bytesSinceSample = 1048576;
  meter.sampleTick = static_cast<int32_t>(0xFFFFFE0Cu);  // 500 ms before the wrap
  meter.lastIoTick = 2000;
  ASSERT_TRUE(window.refreshProgressRow());
  EXPECT_EQ(meter.speedKBps.load(), 409);
}

TEST_F(MainWindowTest, WithoutAServiceNothingIsShownAndCommandsDoNothing) {
  window.appendLogText();
  EXPECT_EQ(rows(), 0);
  EXPECT_EQ(window.handleMessage({platform::kCommand, kCmdStart, 0}), 0);
  EXPECT_EQ(window.handleMessage({platform::kCommand, kCmdStop, 0}), 0);
  EXPECT_EQ(rows(), 0);
}

TEST_F(MainWindowTest, NetworkCheckAnswersThatNoAdapterWasSwitchedOn) {
  createService();
  EXPECT_EQ(window.handleMessage({platform::kNetworkCheck, 1, 0}), 0);
  EXPECT_EQ(window.handleMessage({platform::kNetworkCheck, 1, 1}), 0);
  EXPECT_EQ(window.handleMessage({platform::kNetworkCheck, 0, 0}), 0);
}

TEST_F(MainWindowTest, BringToFrontReachesTheWindow) {
  EXPECT_EQ(window.handleMessage({platform::kBringToFront, 0, 0}), 0);
  EXPECT_EQ(view.broughtToFront, 1);
}

TEST_F(MainWindowTest, CloseOfAStoppedServiceLogsExitingAndWaitsTwoSeconds) {
  createService();
  std::weak_ptr<core::ServiceController> service = window.state().service;
  window.handleMessage({platform::kCommand, kCmdClose, 0});
  EXPECT_TRUE(service.expired());
  EXPECT_EQ(lastRow(), "正在退出...");
  EXPECT_FALSE(window.state().timerRunning);
  EXPECT_TRUE(window.state().quitPosted);
  EXPECT_EQ(window.state().exitCode, 0);
  ASSERT_FALSE(clock.sleeps.empty());
  const auto& wait = clock.sleeps.back();
  EXPECT_EQ(wait.ms, kCloseWaitMs);
  EXPECT_TRUE(wait.serviceGone);
  EXPECT_FALSE(wait.quitPosted);
  EXPECT_EQ(wait.lastRow, "正在退出...");
  EXPECT_EQ(window.finish(), 0);
}

TEST_F(MainWindowTest, CloseStopsARunningServiceShowingEachLineInOrder) {
  createService();
  window.state().service->startServiceAtLaunch();
  window.appendLogText();
  ASSERT_EQ(rowText(view.list, 0), "准备启动FTP服务...");
  ASSERT_TRUE(pumpUntil([&] { return hasRow("服务已启动."); })) << lastRow();
  EXPECT_EQ(window.handleMessage({platform::kCommand, kCmdStart, 0}), 0);
  ASSERT_TRUE(pumpUntil([&] { return hasRow("Already started."); }));

  window.closeSequence();
  const int stopping = findRow("正在停止...");
  ASSERT_NE(stopping, -1);
  const int stopped = findRow("服务已停止.", stopping);
  ASSERT_NE(stopped, -1);
  const int exiting = findRow("正在退出...", stopped);
  EXPECT_EQ(exiting, rows() - 1);
  EXPECT_EQ(window.state().service, nullptr);
  ASSERT_FALSE(clock.sleeps.empty());
  EXPECT_EQ(clock.sleeps.back().ms, kCloseWaitMs);
  EXPECT_TRUE(clock.sleeps.back().serviceGone);
  EXPECT_TRUE(window.state().quitPosted);
}

TEST_F(MainWindowTest, StartAndStopCommandsDriveTheService) {
  createService();
  window.handleMessage({platform::kCommand, kCmdStart, 0});
  ASSERT_TRUE(pumpUntil([&] { return hasRow("服务已启动."); })) << lastRow();
  EXPECT_EQ(rowText(view.list, 0), "正在启动...");
  window.handleMessage({platform::kCommand, kCmdStop, 0});
  EXPECT_FALSE(window.state().service->running());
  ASSERT_TRUE(pumpUntil([&] { return hasRow("服务已停止."); }));
  EXPECT_EQ(window.finish(), 0);
  EXPECT_EQ(window.state().service, nullptr);
}

TEST_F(MainWindowTest, FinishStopsAndDestroysAServiceLeftRunning) {
  createService();
  window.state().service->startService();
  ASSERT_TRUE(pumpUntil([&] { return hasRow("服务已启动."); })) << lastRow();
  std::weak_ptr<core::ServiceController> service = window.state().service;
  EXPECT_EQ(window.finish(), 0);
  EXPECT_TRUE(service.expired());
  EXPECT_FALSE(window.state().threadsAbandoned);
}

}  // namespace
}  // namespace drovn::shell
