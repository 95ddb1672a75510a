#include "shell/AboutDialog.h"
#include "shell/ShellTestSupport.h"

namespace drovn::test {
namespace {

// The sizes users have, each with its About dialog from the top: in portrait when the screen is
// taller than wide in pixels (a cell is twice as tall as wide).
const std::string kIcon[] = {"+------+", "| FTP  |", "| <==> |", "+------+"};
const std::string kProduct = "Drovn 2.2 版", kText = "Linux 上带操作台的小型FTP服务器";
const std::string kIn = std::string(15, ' ');
std::string chinese(int pairs) {
  std::string text;
  while (pairs-- > 0) text += "中文";
  return text;
}
struct Size {
  int rows, columns;
  std::string cut;  // a + 中文 x 50, cut to the width
  Lines about;
} const kLandscape{24,
                   80,
                   "a" + chinese(19) + "中",
                   {" 关于 Drovn", "", "  " + kIcon[0] + std::string(24, ' ') + kProduct,
                    "  " + kIcon[1], "  " + kIcon[2] + kIn + kText, "  " + kIcon[3]}},
    kPortrait{60,
              40,
              "a" + chinese(9) + "中",
              {" 关于 Drovn", "", kIn + kIcon[0], kIn + kIcon[1], kIn + kIcon[2], kIn + kIcon[3],
               "", "", std::string(13, ' ') + kProduct, "", "    " + kText}};

class ConsoleAt : public testing::TestWithParam<Size> {
 protected:
  const Size& size = GetParam();
  Console c{size.rows, size.columns};
};
INSTANTIATE_TEST_SUITE_P(Sizes, ConsoleAt, testing::Values(kLandscape, kPortrait),
                         [](const auto& p) { return std::to_string(p.param.columns) + "columns"; });

// Log rows are cut at the screen's edge at a character boundary: a wide character that would
// straddle it is left out. The progress row is the last.
TEST_P(ConsoleAt, ShowsTheNewestLogRowsWithTheProgressRowLast) {
  Lines log;
  for (int i = 0; i < size.rows + 60; ++i) log.push_back("#" + std::to_string(i) + ">RETR 照片");
  log.push_back("a" + chinese(50));
  for (const std::string& line : log) c.window.writeLogRow(line, {});
  c.meter.trackedConnection = 1;
  c.meter.totalBytes = 4096;
  c.meter.lastIoTick = c.meter.sampleTick + 2500;
  c.meter.bytesSinceSample = 1048576;  // 1024 KB in 2.5 s
  ASSERT_TRUE(c.window.refreshProgressRow());
  c.window.scrollToEnd();
  c.console.afterTurn();
  log.back() = size.cut;
  log.push_back("正在传输: 4 KB (409 KB/s)");
  // The title bar, the last rows of the log that fit, and the soft-key bar.
  Lines expected{" DROVN"};
  expected.insert(expected.end(), log.end() - (size.rows - 2), log.end());
  expected.push_back(" 菜单" + std::string(static_cast<std::size_t>(size.columns) - 10u, ' ') +
                     "关闭");
  EXPECT_EQ(c.screen.lines(), expected);
}

TEST_P(ConsoleAt, AboutShowsTheProgramsNameAndVersion) {
  shell::AboutDialog about;
  about.resize(size.rows, size.columns);
  about.draw(c.screen);
  Lines shown = size.about;
  shown.resize(static_cast<std::size_t>(size.rows - 1));
  shown.push_back(" 确定");
  EXPECT_EQ(c.screen.lines(), shown);
}

}  // namespace
}  // namespace drovn::test
