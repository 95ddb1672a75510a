#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "config/Settings.h"
#include "core/ServiceController.h"
#include "platform/Utf8.h"
#include "platform/WirelessLibrary.h"
#include "protocol/Dispatcher.h"
#include "protocol/TransferMeter.h"
#include "shell/MainWindow.h"
#include "shell/ShellTestSupport.h"
#include "support/FakeClock.h"
#include "support/FakePowerManager.h"
#include "support/FakeRfkill.h"

namespace drovn::shell {
namespace {

constexpr const char* kHeldLine = "已禁用自动关屏 屏幕会一直亮着";
constexpr const char* kRestoredLine = "已恢复自动关屏";
constexpr const char* kNoWifiLine = "未找到WIFI设备";
constexpr const char* kWifiOnLine = "开启WIFI...";
constexpr const char* kWifiOnDoneLine = "WIFI已开启.";
constexpr const char* kWifiOffLine = "关闭WIFI...";
constexpr const char* kWifiOffDoneLine = "WIFI已关闭.";

bool isPowerLine(const std::string& row) {
  for (const char* line : {kHeldLine, kRestoredLine, kNoWifiLine, kWifiOnLine, kWifiOnDoneLine,
                           kWifiOffLine, kWifiOffDoneLine}) {
    if (row == line) return true;
  }
  return false;
}

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

// The real loader, counting loads; it can fail the load or lack one ordinal.
class CountingLoader final : public platform::LibraryLoader {
 public:
  const platform::Module* load(std::string_view name) override {
    ++loads;
    return failLoad ? nullptr : real_.load(name);
  }
  platform::ProcAddress procAddress(const platform::Module* module, uint16_t ordinal) override {
    return ordinal == missingOrdinal ? nullptr : real_.procAddress(module, ordinal);
  }

  int loads = 0;
  bool failLoad = false;
  uint16_t missingOrdinal = 0;

 private:
  platform::BuiltinLibraryLoader real_;
};

// A log list that notes, for each row written, what rfkill0's soft switch held at that moment:
// the wireless lines must be on screen before the adapter is touched.
class ProbeList final : public MemoryLogList {
 public:
  struct Written {
    std::string text;
    std::string softThen;
  };
  int insertRow(int index, std::u16string_view text, RowKind kind) override {
    written.push_back({platform::utf16ToUtf8(std::u16string(text)), probe ? probe() : ""});
    return MemoryLogList::insertRow(index, text, kind);
  }

  std::function<std::string()> probe;
  std::vector<Written> written;
};

class ProbeWindow final : public ShellWindow {
 public:
  LogListView& logList() override { return list; }
  void repaintWindow() override {}
  void bringToFront() override {}
  ProbeList list;
};

class PowerControlTest : public testing::Test {
 protected:
  PowerControlTest() {
    view.list.probe = [this] { return sysfs.soft(0); };
    config::Settings s;
    config::setDefaultSettings(s);
    settings.replace(s);
  }

  // A service left running by a failed expectation is stopped before the platform goes.
  ~PowerControlTest() override { window.finish(); }

  void changeSettings(const std::function<void(config::Settings&)>& change) {
    config::Settings s = settings.snapshot();
    change(s);
    settings.replace(s);
  }
  void setKeepLightOn(bool on) {
    changeSettings([on](config::Settings& s) { s.opt_keepLightOn = on; });
  }

  // The controller loads the settings from the registry: change them after this.
  // manualBinding: announced on 127.0.0.1 with a port the system picks, so the service can be
  // started. Without it the service is only created (never started), as the wireless cases
  // need no listener.
  void createService(bool manualBinding) {
    window.setService(
        core::ServiceController::create(tp.platform, settings, meter, protocol::dispatchCommand));
    ASSERT_NE(window.state().service, nullptr);
    changeSettings([manualBinding](config::Settings& s) {
      s.use_manualip = manualBinding;
      if (manualBinding) {
        s.bind_manualip.assign("127.0.0.1");
        s.bind_manualport.assign("0");
      }
    });
  }

  intptr_t command(intptr_t id) { return window.handleMessage({platform::kCommand, id, 0}); }
  intptr_t networkCheck(intptr_t wParam, intptr_t lParam) {
    return window.handleMessage({platform::kNetworkCheck, wParam, lParam});
  }

  std::vector<std::string> rows() const {
    std::vector<std::string> out;
    for (int i = 0; i < view.list.rowCount(); ++i) out.push_back(test::rowText(view.list, i));
    return out;
  }
  std::vector<std::string> powerRows() const {
    std::vector<std::string> out;
    for (const auto& row : rows()) {
      if (isPowerLine(row)) out.push_back(row);
    }
    return out;
  }
  int count(const std::string& text) const {
    const auto all = rows();
    return static_cast<int>(std::count(all.begin(), all.end(), text));
  }
  bool hasRow(const std::string& text) const { return count(text) > 0; }

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
  // Start through the menu, until the listener runs.
  void startAndWait() {
    const int started = count("服务已启动.");
    command(kCmdStart);
    ASSERT_TRUE(pumpUntil([&] { return count("服务已启动.") > started; }))
        << test::rowText(view.list, 0);
  }
  void stopAndShow() {
    command(kCmdStop);
    window.appendLogText();
  }

  test::FakeRfkill sysfs;  // first: the sysfs root stays moved until everything else is gone
  test::FakeClock fake{100};
  SleepLog clock{fake};
  test::TestPlatform tp{clock};
  config::SettingsStore settings;
  protocol::TransferMeter meter;
  ProbeWindow view;
  test::FakePowerManager power;
  CountingLoader loader;
  MainWindow window{tp.platform, settings, meter, view, {power, loader}};
};

// ---- Backlight ----

TEST_F(PowerControlTest, WithoutTheOptionStartAndStopHoldNothing) {
  createService(true);
  startAndWait();
  stopAndShow();
  ASSERT_TRUE(hasRow("服务已停止."));
  EXPECT_TRUE(powerRows().empty());
  EXPECT_TRUE(power.requests.empty());
}

class PowerControlBacklight : public PowerControlTest, public testing::WithParamInterface<bool> {};

// The parameter: the platform refuses the requirement (no handle).
TEST_P(PowerControlBacklight, HeldWhileRunningLoggedOnceAndRestoredAtStop) {
  power.refuse = GetParam();
  createService(true);
  setKeepLightOn(true);
  startAndWait();
  command(kCmdStart);  // "Already started.": nothing more here
  ASSERT_TRUE(pumpUntil([&] { return hasRow("Already started."); }));
  EXPECT_EQ(powerRows(), std::vector<std::string>{kHeldLine});
  ASSERT_EQ(power.requests.size(), 1u);
  EXPECT_EQ(power.requests[0].device, "BKL1:");
  EXPECT_EQ(power.requests[0].state, platform::DevicePowerState::D0);
  EXPECT_EQ(power.requests[0].deviceFlags, platform::kPowerByName);
  EXPECT_EQ(power.requests[0].flags, 0u);
  EXPECT_EQ(power.held, GetParam() ? 0 : 1);

  stopAndShow();
  EXPECT_EQ(powerRows(), (std::vector<std::string>{kHeldLine, kRestoredLine}));
  EXPECT_EQ(power.held, 0);
  EXPECT_EQ(power.released, GetParam() ? 0 : 1);

  // It follows the service across any number of starts.
  startAndWait();
  EXPECT_EQ(count(kHeldLine), 2);
  EXPECT_EQ(power.requests.size(), 2u);
  stopAndShow();
  EXPECT_EQ(count(kRestoredLine), 2);
  EXPECT_EQ(power.held, 0);
}

INSTANTIATE_TEST_SUITE_P(Handle, PowerControlBacklight, testing::Values(false, true),
                         [](const auto& p) { return p.param ? "Refused" : "Granted"; });

TEST_F(PowerControlTest, OptionsTakesTheOptionUpButClearingItReleasesNothing) {
  createService(true);
  startAndWait();
  EXPECT_TRUE(power.requests.empty());
  setKeepLightOn(true);
  command(kCmdOptions);
  window.appendLogText();
  EXPECT_EQ(powerRows(), std::vector<std::string>{kHeldLine});
  EXPECT_EQ(power.held, 1);

  setKeepLightOn(false);
  command(kCmdOptions);
  window.handleMessage({platform::kServiceStateChanged, 0, 0});
  window.appendLogText();
  EXPECT_EQ(power.held, 1);
  EXPECT_EQ(powerRows(), std::vector<std::string>{kHeldLine});

  stopAndShow();
  EXPECT_EQ(power.held, 0);
  EXPECT_EQ(powerRows(), (std::vector<std::string>{kHeldLine, kRestoredLine}));
}

TEST_F(PowerControlTest, CloseRestoresTheBacklightOnceBeforeExiting) {
  createService(true);
  setKeepLightOn(true);
  startAndWait();
  command(kCmdClose);
  EXPECT_EQ(power.held, 0);
  EXPECT_EQ(count(kRestoredLine), 1);
  const auto all = rows();
  const auto restored = std::find(all.begin(), all.end(), kRestoredLine);
  const auto exiting = std::find(all.begin(), all.end(), "正在退出...");
  EXPECT_LT(restored, exiting);
  EXPECT_EQ(clock.lastMainSleep, kCloseWaitMs);
}

TEST_F(PowerControlTest, FinishReleasesARequirementStillHeld) {
  createService(true);
  setKeepLightOn(true);
  startAndWait();
  ASSERT_EQ(power.held, 1);
  EXPECT_EQ(window.finish(), 0);
  EXPECT_EQ(power.held, 0);
  EXPECT_EQ(power.released, 1);
}

TEST_F(PowerControlTest, IdleTimerIsResetByTimerOneWithTheOptionAndByEveryLogBatch) {
  window.appendLogText();  // no service: nothing happens at all
  EXPECT_EQ(power.idleResets, 0);
  createService(true);

  window.handleMessage({platform::kTimer, kIdleTimerId, 0});
  EXPECT_EQ(power.idleResets, 0);
  setKeepLightOn(true);
  window.handleMessage({platform::kTimer, kIdleTimerId, 0});
  EXPECT_EQ(power.idleResets, 1);
  window.handleMessage({platform::kTimer, kIdleTimerId + 1, 0});
  EXPECT_EQ(power.idleResets, 1);

  setKeepLightOn(false);
  window.state().service->logChannel().writeUtf8("x");
  window.appendLogText();
  EXPECT_EQ(power.idleResets, 2);
}

// ---- Wireless ----

struct WifiCase {
  const char* name;
  std::function<void(test::FakeRfkill&)> tree;
  bool switchedOn;
  std::vector<std::string> lines;  // at the network check
  std::vector<uint32_t> wlan;      // the wlan devices of the tree
};

class PowerControlWifi : public PowerControlTest, public testing::WithParamInterface<WifiCase> {};

TEST_P(PowerControlWifi, NetworkCheckWithoutAddressAndClose) {
  const WifiCase& c = GetParam();
  c.tree(sysfs);
  std::vector<std::string> before;
  for (uint32_t index : c.wlan) before.push_back(sysfs.soft(index));
  createService(false);

  EXPECT_EQ(networkCheck(1, 0), c.switchedOn ? 1 : 0);
  EXPECT_EQ(window.state().wifiSwitchedOn, c.switchedOn);
  if (c.switchedOn) {
    // Shown at once, before the answer goes back; the first line before the adapter moved.
    EXPECT_EQ(powerRows(), c.lines);
    const auto& written = view.list.written;
    const auto first = std::find_if(written.begin(), written.end(),
                                    [](const auto& w) { return w.text == kWifiOnLine; });
    ASSERT_NE(first, written.end());
    EXPECT_EQ(first->softThen, before[0]);
    for (uint32_t index : c.wlan) EXPECT_EQ(sysfs.soft(index), "0\n") << index;
  }
  window.appendLogText();
  EXPECT_EQ(powerRows(), c.lines);

  // Once switched on, a later check changes nothing.
  EXPECT_EQ(networkCheck(1, 0), 0);
  window.appendLogText();
  const size_t linesAfterChecks = powerRows().size();
  EXPECT_EQ(linesAfterChecks, c.switchedOn ? c.lines.size() : 2 * c.lines.size());

  command(kCmdClose);
  std::vector<std::string> atClose = powerRows();
  atClose.erase(atClose.begin(), atClose.begin() + static_cast<std::ptrdiff_t>(linesAfterChecks));
  if (c.switchedOn) {
    EXPECT_EQ(atClose, (std::vector<std::string>{kWifiOffLine, kWifiOffDoneLine}));
    for (uint32_t index : c.wlan) EXPECT_EQ(sysfs.soft(index), "1\n") << index;
    EXPECT_EQ(clock.lastMainSleep, kCloseWaitAfterWifiMs);
  } else {
    EXPECT_TRUE(atClose.empty());
    for (size_t i = 0; i < c.wlan.size(); ++i) EXPECT_EQ(sysfs.soft(c.wlan[i]), before[i]);
    EXPECT_EQ(clock.lastMainSleep, kCloseWaitMs);
  }
  EXPECT_EQ(rows().back(), "正在退出...");
  EXPECT_FALSE(window.state().wifiSwitchedOn);
  EXPECT_EQ(loader.loads, 1);
}

const std::vector<std::string> kNoAdapter{kNoWifiLine};
const std::vector<std::string> kSwitched{kWifiOnLine, kWifiOnDoneLine};

INSTANTIATE_TEST_SUITE_P(
    Trees, PowerControlWifi,
    testing::Values(
        WifiCase{"NoRfkill", [](test::FakeRfkill&) {}, false, kNoAdapter, {}},
        WifiCase{"EmptyRfkillClass",
                 [](test::FakeRfkill& fake) { fake.addClass(); },
                 false,
                 kNoAdapter,
                 {}},
        WifiCase{"BluetoothOnly",
                 [](test::FakeRfkill& fake) { fake.addDevice(0, "bluetooth", true, false); },
                 false,
                 kNoAdapter,
                 {}},
        WifiCase{"AlreadyOn",
                 [](test::FakeRfkill& fake) { fake.addDevice(0, "wlan", false, false); },
                 false,
                 {},
                 {0}},
        WifiCase{"SoftBlocked",
                 [](test::FakeRfkill& fake) { fake.addDevice(0, "wlan", true, false); },
                 true,
                 kSwitched,
                 {0}},
        // Still off after the switch, yet the switch was made: its outcome is not looked at.
        WifiCase{"HardBlocked",
                 [](test::FakeRfkill& fake) { fake.addDevice(0, "wlan", false, true); },
                 true,
                 kSwitched,
                 {0}},
        WifiCase{"LastOfTwoIsOn",
                 [](test::FakeRfkill& fake) {
                   fake.addDevice(0, "wlan", true, false);
                   fake.addDevice(1, "wlan", false, false);
                 },
                 false,
                 {},
                 {0, 1}},
        WifiCase{"LastOfTwoIsOffBothSwitched",
                 [](test::FakeRfkill& fake) {
                   fake.addDevice(0, "wlan", false, false);
                   fake.addDevice(1, "bluetooth", true, false);
                   fake.addDevice(2, "wlan", true, false);
                 },
                 true,
                 kSwitched,
                 {0, 2}}),
    [](const auto& p) { return std::string(p.param.name); });

TEST_F(PowerControlTest, OtherRadiosAreNeverSwitched) {
  sysfs.addDevice(0, "wlan", true, false);
  sysfs.addDevice(1, "bluetooth", true, false);
  createService(false);
  ASSERT_EQ(networkCheck(1, 0), 1);
  command(kCmdClose);
  EXPECT_EQ(sysfs.soft(1), "1\n");
  EXPECT_EQ(sysfs.soft(0), "1\n");
}

struct SkipCase {
  const char* name;
  bool service;
  bool manualBinding;
  intptr_t wParam;
  intptr_t lParam;  // 1: the device has an address
};

class PowerControlWifiSkip : public PowerControlTest,
                             public testing::WithParamInterface<SkipCase> {};

TEST_P(PowerControlWifiSkip, AdapterLeftAloneAndLibraryNotLoaded) {
  const SkipCase& c = GetParam();
  sysfs.addDevice(0, "wlan", true, false);
  if (c.service) createService(c.manualBinding);
  EXPECT_EQ(networkCheck(c.wParam, c.lParam), 0);
  window.appendLogText();
  EXPECT_TRUE(powerRows().empty());
  EXPECT_EQ(sysfs.soft(0), "1\n");
  EXPECT_EQ(loader.loads, 0);
  EXPECT_FALSE(window.state().wifiSwitchedOn);
}

INSTANTIATE_TEST_SUITE_P(Conditions, PowerControlWifiSkip,
                         testing::Values(SkipCase{"ManualBinding", true, true, 1, 0},
                                         SkipCase{"DeviceHasAddress", true, false, 1, 1},
                                         SkipCase{"NotAWirelessQuestion", true, false, 0, 0},
                                         SkipCase{"NoService", false, false, 1, 0}),
                         [](const auto& p) { return std::string(p.param.name); });

TEST_F(PowerControlTest, ManualBindingNeverSwitchesWhenTheListenerAsks) {
  sysfs.addDevice(0, "wlan", true, false);
  createService(true);
  window.state().service->startServiceAtLaunch();
  // The listener's own network check, answered by the main thread.
  ASSERT_TRUE(pumpUntil([&] { return hasRow("服务已启动."); }));
  window.appendLogText();
  EXPECT_TRUE(powerRows().empty());
  EXPECT_EQ(sysfs.soft(0), "1\n");
  command(kCmdClose);
  EXPECT_EQ(clock.lastMainSleep, kCloseWaitMs);
}

struct LoadFailure {
  const char* name;
  bool failLoad;
  uint16_t missingOrdinal;
};

class PowerControlLibrary : public PowerControlTest,
                            public testing::WithParamInterface<LoadFailure> {};

TEST_P(PowerControlLibrary, AFailedLoadIsNeverRetried) {
  loader.failLoad = GetParam().failLoad;
  loader.missingOrdinal = GetParam().missingOrdinal;
  sysfs.addDevice(0, "wlan", true, false);
  createService(false);
  EXPECT_EQ(networkCheck(1, 0), 0);
  EXPECT_EQ(networkCheck(1, 0), 0);
  window.appendLogText();
  EXPECT_EQ(powerRows(), (std::vector<std::string>{kNoWifiLine, kNoWifiLine}));
  EXPECT_EQ(loader.loads, 1);
  EXPECT_EQ(sysfs.soft(0), "1\n");
}

INSTANTIATE_TEST_SUITE_P(Failures, PowerControlLibrary,
                         testing::Values(LoadFailure{"NoLibrary", true, 0},
                                         LoadFailure{"NoEnumerate", false, 276},
                                         LoadFailure{"NoChange", false, 273},
                                         LoadFailure{"NoFree", false, 280}),
                         [](const auto& p) { return std::string(p.param.name); });

TEST_F(PowerControlTest, TheLoadedLibraryServesLaterChecks) {
  createService(false);
  EXPECT_EQ(networkCheck(1, 0), 0);  // no rfkill yet
  sysfs.addDevice(0, "wlan", true, false);
  EXPECT_EQ(networkCheck(1, 0), 1);
  EXPECT_EQ(loader.loads, 1);
  EXPECT_EQ(powerRows(), (std::vector<std::string>{kNoWifiLine, kWifiOnLine, kWifiOnDoneLine}));
}

}  // namespace
}  // namespace drovn::shell
