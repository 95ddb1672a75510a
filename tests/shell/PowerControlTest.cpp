#include <algorithm>

#include "shell/ShellTestSupport.h"

namespace drovn::test {
namespace {

const std::string kHeld = "已禁用自动关屏 屏幕会一直亮着", kRestored = "已恢复自动关屏",
                  kExit = "正在退出...";

// The rows of the power control and the last row of Close, in order.
Lines powerRows(const Console& c) {
  Lines out;
  for (const auto& row : c.console.rows()) {
    if (row.text.find("关屏") != std::string::npos || row.text == kExit) out.push_back(row.text);
  }
  return out;
}

// The hold follows the service, logged once per hold even when the machine refused it; clearing
// the option in Options while the service runs lets go of nothing until the stop.
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
      return std::ranges::count(c.console.rows(), "服务已启动.", &shell::MemoryLogList::Row::text);
    };
    for (int round = 0; round < 2; ++round) {
      s.opt_keepLightOn = k.keepLightOn;
      c.settings.replace(s);
      c.command(shell::kCmdStart);
      ASSERT_TRUE(c.pumpUntil([&] { return started() == round + 1; }));
      s.opt_keepLightOn = k.keepLightOn && !k.clearWhileRunning;
      c.settings.replace(s);
      c.command(shell::kCmdOptions);
      EXPECT_EQ(c.power.held, k.keepLightOn && !k.refused);
      c.command(round == 0 ? shell::kCmdStop : shell::kCmdClose);
      EXPECT_FALSE(c.power.held);
    }
    EXPECT_EQ(c.power.holds, k.keepLightOn ? 2 : 0);
    EXPECT_EQ(powerRows(c), k.rows);
  }
}

}  // namespace
}  // namespace drovn::test
