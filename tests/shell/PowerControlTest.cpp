#include <algorithm>

#include "shell/ShellTestSupport.h"

namespace drovn::test {
namespace {

const std::string kHeld = "已禁用自动关屏 屏幕会一直亮着", kRestored = "已恢复自动关屏",
                  kOn = "开启WIFI...", kOnDone = "WIFI已开启.", kExit = "正在退出...";

// The rows of the power control and the last row of Close, in order.
Lines powerRows(const Console& c) {
  Lines out;
  for (const auto& row : c.console.rows()) {
    const std::string text = platform::utf16ToUtf8(row.text);
    if (text.find("关屏") != text.npos || text.find("WIFI") != text.npos || text == kExit)
      out.push_back(text);
  }
  return out;
}

// The hold follows the service, logged once per hold even when the machine refused it, and is
// let go at Close. Clearing the option while the service runs lets go of
// nothing until the stop.
TEST(PowerControl, HoldsTheMachineAwakeWhileTheServiceRunsIfAsked) {
  const struct {
    bool keepLightOn, refused, clearWhileRunning;
    Lines rows;
  } cases[] = {{false, false, false, {kExit}},
               {true, false, false, {kHeld, kRestored, kHeld, kRestored, kExit}},
               {true, true, false, {kHeld, kRestored, kHeld, kRestored, kExit}},
               {true, false, true, {kHeld, kRestored, kHeld, kRestored, kExit}}};
  for (const auto& k : cases) {
    SCOPED_TRACE(testing::PrintToString(k.rows));
    Console c;
    c.power.refuseHold = k.refused;
    c.createService();
    config::Settings s = c.settings.snapshot();
    const auto started = [&] {
      return std::ranges::count_if(c.console.rows(),
                                   [](auto& r) { return r.text == u"服务已启动."; });
    };
    for (int round = 0; round < 2; ++round) {
      s.opt_keepLightOn = k.keepLightOn;
      c.settings.replace(s);
      c.command(shell::kCmdStart);
      ASSERT_TRUE(c.runUntil([&] { return started() == round + 1; }));
      s.opt_keepLightOn = k.keepLightOn && !k.clearWhileRunning;
      c.settings.replace(s);
      c.screen.push({{Kind::F1}});  // the Options dialog's OK
      c.command(shell::kCmdOptions);
      EXPECT_EQ(c.power.held, k.keepLightOn && !k.refused);
      c.command(round == 0 ? shell::kCmdStop : shell::kCmdClose);
      EXPECT_FALSE(c.power.held);
    }
    EXPECT_EQ(c.power.holds, k.keepLightOn ? 2 : 0);
    EXPECT_EQ(powerRows(c), k.rows);
  }
}

// When the listener finds no address but 127.0.0.1 and no binding is set, a blocked wireless
// adapter is switched on (shown before the answer goes back), and off again at Close, which
// then waits 5 s.
TEST(PowerControl, SwitchesABlockedWirelessAdapterOnOnlyWhenNothingElseServes) {
  const struct {
    std::optional<bool> wlanOn;  // nullopt: no adapter
    bool manualBinding;
    intptr_t lParam;  // 1: the machine has an address
    Lines rows;
  } cases[] = {{std::nullopt, false, 0, {"未找到WIFI设备", kExit}},
               {false, false, 0, {kOn, kOnDone, "关闭WIFI...", "WIFI已关闭.", kExit}},
               {true, false, 0, {kExit}},
               {false, true, 0, {kExit}},
               {false, false, 1, {kExit}}};
  for (const auto& k : cases) {
    SCOPED_TRACE(testing::PrintToString(k.rows));
    Console c;
    c.power.wlanOn = k.wlanOn;
    c.createService(k.manualBinding);
    const bool switches = k.rows.size() == 5;
    EXPECT_EQ(c.window.handleMessage({platform::kNetworkCheck, 1, k.lParam}), switches);
    EXPECT_EQ(powerRows(c).size(), switches ? 2u : 0u);
    const uint64_t slept = c.clock.sleptMs();
    c.command(shell::kCmdClose);
    EXPECT_EQ(powerRows(c), k.rows);
    EXPECT_EQ(c.power.switched, (switches ? std::vector<bool>{true, false} : std::vector<bool>{}));
    EXPECT_EQ(c.clock.sleptMs() - slept, switches ? 5000u : 2000u);
  }
}

}  // namespace
}  // namespace drovn::test
