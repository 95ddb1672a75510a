#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "config/Settings.h"
#include "core/ServiceController.h"
#include "protocol/Dispatcher.h"
#include "protocol/TransferMeter.h"
#include "shell/MainWindow.h"
#include "shell/PowerControl.h"
#include "shell/ShellTestSupport.h"
#include "support/FakeClock.h"
#include "support/FakePower.h"

namespace drovn::shell {
namespace {

using Lines = std::vector<std::string>;

constexpr const char* kHeldLine = "已禁用自动关屏 屏幕会一直亮着";
constexpr const char* kRestoredLine = "已恢复自动关屏";
constexpr const char* kNoWifiLine = "未找到WIFI设备";
constexpr const char* kWifiOnLine = "开启WIFI...";
constexpr const char* kWifiOnDoneLine = "WIFI已开启.";
constexpr const char* kWifiOffLine = "关闭WIFI...";
constexpr const char* kWifiOffDoneLine = "WIFI已关闭.";

// Remembers the main thread's last sleep: the wait at the end of Close.
class SleepLog final : public platform::Clock {
 public:
  explicit SleepLog(test::FakeClock& inner) : inner_(inner) {}
  uint32_t tickCount() override { return inner_.tickCount(); }
  void sleep(uint32_t ms) override {
    if (std::this_thread::get_id() == main_) lastMainSleep = ms;
    inner_.sleep(ms);
  }
  bool waitFor(platform::Completion& c, uint32_t ms) override { return inner_.waitFor(c, ms); }
  platform::CalendarTime localNow() override { return inner_.localNow(); }

  uint32_t lastMainSleep = 0;  // main thread only

 private:
  test::FakeClock& inner_;
  const std::thread::id main_ = std::this_thread::get_id();
};

class PowerControlTest : public testing::Test {
 protected:
  PowerControlTest() {
    power.onSwitch = [this] { powerRowsAtSwitch.push_back(powerRows()); };
    config::Settings s;
    config::setDefaultSettings(s);
    settings.replace(s);
  }
  // A service left running by a failed expectation is stopped before the platform goes.
  ~PowerControlTest() override { window.finish(); }

  void change(const std::function<void(config::Settings&)>& edit) {
    config::Settings s = settings.snapshot();
    edit(s);
    settings.replace(s);
  }
  void setKeepLightOn(bool on) {
    change([on](config::Settings& s) { s.opt_keepLightOn = on; });
  }
  // The controller loads the settings: change them after this. A manual binding on 127.0.0.1
  // with a port the system picks lets the service start; the wireless cases need no listener.
  void createService(bool manualBinding) {
    window.setService(
        core::ServiceController::create(tp.platform, settings, meter, protocol::dispatchCommand));
    ASSERT_NE(window.state().service, nullptr);
    change([manualBinding](config::Settings& s) {
      s.use_manualip = manualBinding;
      s.bind_manualip.assign("127.0.0.1");
      s.bind_manualport.assign("0");
    });
  }
  intptr_t command(intptr_t id) { return window.handleMessage({platform::kCommand, id, 0}); }
  intptr_t networkCheck(intptr_t wParam, intptr_t lParam) {
    return window.handleMessage({platform::kNetworkCheck, wParam, lParam});
  }

  Lines rows() const {
    Lines out;
    for (int i = 0; i < view.list.rowCount(); ++i) out.push_back(test::rowText(view.list, i));
    return out;
  }
  Lines powerRows() const {
    const Lines mine{kHeldLine,       kRestoredLine, kNoWifiLine,     kWifiOnLine,
                     kWifiOnDoneLine, kWifiOffLine,  kWifiOffDoneLine};
    Lines out;
    for (const auto& row : rows()) {
      if (std::find(mine.begin(), mine.end(), row) != mine.end()) out.push_back(row);
    }
    return out;
  }
  int count(const std::string& text) const {
    const Lines all = rows();
    return static_cast<int>(std::count(all.begin(), all.end(), text));
  }
  // Runs the main thread's side of the queue until `done`, within a real-time bound.
  bool pumpUntil(const std::function<bool()>& done) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
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
  void startAndWait() {
    const int started = count("服务已启动.");
    command(kCmdStart);
    ASSERT_TRUE(pumpUntil([&] { return count("服务已启动.") > started; }));
  }
  void stopAndShow() {
    command(kCmdStop);
    window.appendLogText();
  }

  test::FakeClock fake{100};
  SleepLog clock{fake};
  test::TestPlatform tp{clock};
  config::SettingsStore settings;
  protocol::TransferMeter meter;
  test::TestWindow view;
  test::FakePower power;
  MainWindow window{tp.platform, settings, meter, view, power.devices()};
  std::vector<Lines> powerRowsAtSwitch;  // what the operator saw as each switch was made
};

// ---- Held awake while the service runs ----

struct HoldCase {
  const char* name;
  bool keepLightOn;
  bool refused;  // the machine gives no hold: logged all the same
};

class PowerControlHold : public PowerControlTest, public testing::WithParamInterface<HoldCase> {};

TEST_P(PowerControlHold, FollowsTheServiceAcrossStartsLoggedOncePerHold) {
  const HoldCase& c = GetParam();
  power.refuseHold = c.refused;
  createService(true);
  setKeepLightOn(c.keepLightOn);
  const Lines held = c.keepLightOn ? Lines{kHeldLine} : Lines{};
  const Lines both = c.keepLightOn ? Lines{kHeldLine, kRestoredLine} : Lines{};
  for (int round = 1; round <= 2; ++round) {
    startAndWait();
    command(kCmdStart);  // "Already started.": nothing more here
    ASSERT_TRUE(pumpUntil([&] { return count("Already started.") == round; }));
    EXPECT_EQ(powerRows().size(), (round - 1) * both.size() + held.size()) << round;
    EXPECT_EQ(power.holds, c.keepLightOn ? round : 0);
    EXPECT_EQ(power.held, c.keepLightOn && !c.refused);
    stopAndShow();
    EXPECT_FALSE(power.held);
  }
  Lines twice = both;
  twice.insert(twice.end(), both.begin(), both.end());
  EXPECT_EQ(powerRows(), twice);
}

INSTANTIATE_TEST_SUITE_P(Options, PowerControlHold,
                         testing::Values(HoldCase{"Off", false, false}, HoldCase{"On", true, false},
                                         HoldCase{"Refused", true, true}),
                         [](const auto& p) { return std::string(p.param.name); });

TEST_F(PowerControlTest, OptionsTakesTheOptionUpButClearingItReleasesNothing) {
  createService(true);
  startAndWait();
  setKeepLightOn(true);
  command(kCmdOptions);
  window.appendLogText();
  EXPECT_EQ(powerRows(), Lines{kHeldLine});
  setKeepLightOn(false);
  command(kCmdOptions);
  window.handleMessage({platform::kServiceStateChanged, 0, 0});
  window.appendLogText();
  EXPECT_TRUE(power.held);
  EXPECT_EQ(powerRows(), Lines{kHeldLine});
  stopAndShow();
  EXPECT_FALSE(power.held);
  EXPECT_EQ(powerRows(), (Lines{kHeldLine, kRestoredLine}));
}

TEST_F(PowerControlTest, CloseReleasesOnceBeforeExiting) {
  createService(true);
  setKeepLightOn(true);
  startAndWait();
  command(kCmdClose);
  EXPECT_FALSE(power.held);
  EXPECT_EQ(count(kRestoredLine), 1);
  const Lines all = rows();
  EXPECT_LT(std::find(all.begin(), all.end(), kRestoredLine),
            std::find(all.begin(), all.end(), "正在退出..."));
  EXPECT_EQ(clock.lastMainSleep, kCloseWaitMs);
}

TEST_F(PowerControlTest, FinishReleasesAHoldStillWantedAndSaysSo) {
  createService(true);
  setKeepLightOn(true);
  startAndWait();
  ASSERT_TRUE(power.held);
  EXPECT_EQ(window.finish(), 0);
  EXPECT_FALSE(power.held);
  EXPECT_EQ(powerRows(), (Lines{kHeldLine, kRestoredLine}));
}

// ---- The wireless switch ----

struct WifiCase {
  const char* name;
  std::optional<bool> wlanOn;
  bool refused;  // the switch fails: its outcome is not looked at
  bool switches;
};

class PowerControlWifi : public PowerControlTest, public testing::WithParamInterface<WifiCase> {};

TEST_P(PowerControlWifi, NetworkCheckWithoutAddressThenClose) {
  const WifiCase& c = GetParam();
  power.wlanOn = c.wlanOn;
  power.refuseSwitch = c.refused;
  createService(false);
  const Lines atCheck = c.switches ? Lines{kWifiOnLine, kWifiOnDoneLine}
                        : c.wlanOn ? Lines{}
                                   : Lines{kNoWifiLine};

  EXPECT_EQ(networkCheck(1, 0), c.switches ? 1 : 0);
  if (c.switches) {
    // Shown before the answer goes back, the first line before the adapter is touched.
    EXPECT_EQ(powerRows(), atCheck);
    ASSERT_EQ(powerRowsAtSwitch.size(), 1u);
    EXPECT_EQ(powerRowsAtSwitch[0], Lines{kWifiOnLine});
  }
  EXPECT_EQ(networkCheck(1, 0), 0);  // once switched on, a later check changes nothing
  window.appendLogText();
  Lines expected = atCheck;
  if (!c.switches) expected.insert(expected.end(), atCheck.begin(), atCheck.end());
  EXPECT_EQ(powerRows(), expected);
  EXPECT_EQ(power.switched, c.switches ? std::vector<bool>{true} : std::vector<bool>{});

  command(kCmdClose);
  if (c.switches) expected.insert(expected.end(), {kWifiOffLine, kWifiOffDoneLine});
  EXPECT_EQ(powerRows(), expected);
  EXPECT_EQ(power.switched, c.switches ? (std::vector<bool>{true, false}) : std::vector<bool>{});
  EXPECT_EQ(clock.lastMainSleep, c.switches ? kCloseWaitAfterWifiMs : kCloseWaitMs);
  EXPECT_EQ(rows().back(), "正在退出...");
  EXPECT_FALSE(window.state().wifiSwitchedOn);
}

INSTANTIATE_TEST_SUITE_P(Adapters, PowerControlWifi,
                         testing::Values(WifiCase{"None", std::nullopt, false, false},
                                         WifiCase{"AlreadyOn", true, false, false},
                                         WifiCase{"Off", false, false, true},
                                         WifiCase{"OffAndRefused", false, true, true}),
                         [](const auto& p) { return std::string(p.param.name); });

struct SkipCase {
  const char* name;
  bool service;
  bool manualBinding;
  intptr_t wParam;
  intptr_t lParam;  // 1: the machine has an address
};

class PowerControlWifiSkip : public PowerControlTest,
                             public testing::WithParamInterface<SkipCase> {};

TEST_P(PowerControlWifiSkip, TheAdapterIsLeftAloneAndNothingIsLogged) {
  const SkipCase& c = GetParam();
  power.wlanOn = false;
  if (c.service) createService(c.manualBinding);
  EXPECT_EQ(networkCheck(c.wParam, c.lParam), 0);
  window.appendLogText();
  EXPECT_TRUE(powerRows().empty());
  EXPECT_TRUE(power.switched.empty());
  EXPECT_FALSE(window.state().wifiSwitchedOn);
}

INSTANTIATE_TEST_SUITE_P(Conditions, PowerControlWifiSkip,
                         testing::Values(SkipCase{"ManualBinding", true, true, 1, 0},
                                         SkipCase{"MachineHasAddress", true, false, 1, 1},
                                         SkipCase{"NotAWirelessQuestion", true, false, 0, 0},
                                         SkipCase{"NoService", false, false, 1, 0}),
                         [](const auto& p) { return std::string(p.param.name); });

TEST_F(PowerControlTest, AnAdapterThatAppearsLaterIsFound) {
  createService(false);
  EXPECT_EQ(networkCheck(1, 0), 0);
  power.wlanOn = false;
  EXPECT_EQ(networkCheck(1, 0), 1);
  EXPECT_EQ(powerRows(), (Lines{kNoWifiLine, kWifiOnLine, kWifiOnDoneLine}));
}

}  // namespace
}  // namespace drovn::shell
