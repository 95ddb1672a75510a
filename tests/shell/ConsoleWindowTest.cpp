#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <deque>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "config/Settings.h"
#include "core/ServiceController.h"
#include "platform/Utf8.h"
#include "protocol/Dispatcher.h"
#include "protocol/TransferMeter.h"
#include "shell/ConsoleWindow.h"
#include "shell/MainWindow.h"
#include "shell/MessageLoop.h"
#include "shell/ShellTestSupport.h"
#include "support/FakeClock.h"
#include "support/FakePower.h"

namespace drovn::shell {
namespace {

using Kind = platform::KeyEvent::Kind;
using platform::CellStyle;
using platform::KeyEvent;

// A screen of cells in memory with the terminal's drawing rules (a character that does not fit
// whole is left out, control characters are dropped), and a key script. Input waits behind a
// real descriptor (a message queue's), so the loop's wait on it is the real poll.
class CellScreen final : public platform::ConsoleScreen {
 public:
  CellScreen(int rows, int columns) { setSize(rows, columns); }

  int rows() const override { return rows_; }
  int columns() const override { return columns_; }
  void clear() override { cells_.assign(cells_.size(), Cell{}); }

  int drawText(int row, int column, std::u16string_view text, CellStyle style,
               int maxColumns) override {
    if (row < 0 || row >= rows_ || column < 0 || column >= columns_) return 0;
    int limit = columns_ - column;
    if (maxColumns >= 0 && maxColumns < limit) limit = maxColumns;
    int used = 0;
    for (char32_t c : codePoints(text)) {
      if (c < 0x20 || (c >= 0x7F && c < 0xA0)) continue;
      const int w = platform::codePointWidth(c);
      if (w == 0) continue;
      if (used + w > limit) break;
      at(row, column + used) = Cell{c, false, style};
      if (w == 2) at(row, column + used + 1) = Cell{U' ', true, style};
      used += w;
    }
    return used;
  }

  void fill(int row, int column, int width, CellStyle style) override {
    if (row < 0 || row >= rows_) return;
    for (int c = std::max(0, column); c < std::min(columns_, column + width); ++c)
      at(row, c) = Cell{U' ', false, style};
  }
  void placeCursor(int row, int column) override {
    cursorRow = row;
    cursorColumn = column;
  }

  int inputFd() const override { return bell_.readyFd(); }
  bool readKey(KeyEvent& out) override {
    // A slow typist: one key per look, so the loop turns between two keys.
    if (keys_.empty() || gaveKeyThisLook_) {
      gaveKeyThisLook_ = false;
      return false;
    }
    out = keys_.front();
    keys_.pop_front();
    platform::MessageQueue::Taken rung;
    static_cast<void>(bell_.take(rung, 0));  // one ring per key
    gaveKeyThisLook_ = oneKeyPerLook;
    return true;
  }
  void present() override { ++presents; }
  void invalidate() override { ++invalidations; }

  void push(KeyEvent key) {
    keys_.push_back(key);
    bell_.post(1, ++rings_, 0);
  }
  void push(Kind kind) {
    KeyEvent key;
    key.kind = kind;
    push(key);
  }
  void click(int row, int column) {
    KeyEvent key;
    key.kind = Kind::Click;
    key.row = row;
    key.column = column;
    push(key);
  }
  void setSize(int rows, int columns) {
    rows_ = rows;
    columns_ = columns;
    cells_.assign(static_cast<std::size_t>(rows * columns), Cell{});
  }
  std::size_t keysLeft() const { return keys_.size(); }

  // The row as UTF-8 without its trailing blanks; a wide character once.
  std::string rowText(int row) const {
    std::u32string out;
    for (int c = 0; c < columns_; ++c) {
      if (!at(row, c).continuation) out.push_back(at(row, c).ch);
    }
    out.erase(out.find_last_not_of(U' ') + 1);
    std::u16string wide;
    for (char32_t c : out) {
      if (c >= 0x10000) {
        wide.push_back(static_cast<char16_t>(0xD800 + ((c - 0x10000) >> 10)));
        wide.push_back(static_cast<char16_t>(0xDC00 + ((c - 0x10000) & 0x3FF)));
      } else {
        wide.push_back(static_cast<char16_t>(c));
      }
    }
    return platform::utf16ToUtf8(wide);
  }
  std::string screenText() const {
    std::string all;
    for (int r = 0; r < rows_; ++r) all += rowText(r) + "\n";
    return all;
  }
  // The row on which the text starts, -1 when it is nowhere; the column through `column`.
  int findRow(const std::string& utf8, int* column = nullptr) const {
    for (int r = 0; r < rows_; ++r) {
      const std::string text = rowText(r);
      const std::size_t at = text.find(utf8);
      if (at == std::string::npos) continue;
      if (column != nullptr)
        *column = platform::displayWidth(platform::utf8ToUtf16(text.substr(0, at)));
      return r;
    }
    return -1;
  }
  CellStyle styleAt(int row, int column) const { return at(row, column).style; }

  bool oneKeyPerLook = false;
  int presents = 0;
  int invalidations = 0;
  int cursorRow = -1;
  int cursorColumn = -1;

 private:
  struct Cell {
    char32_t ch = U' ';
    bool continuation = false;
    CellStyle style = CellStyle::Normal;
  };
  static std::u32string codePoints(std::u16string_view text) {
    std::u32string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
      const char16_t u = text[i];
      if (u >= 0xD800 && u <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
          text[i + 1] <= 0xDFFF) {
        out.push_back(0x10000 + ((static_cast<char32_t>(u) - 0xD800) << 10) +
                      (static_cast<char32_t>(text[i + 1]) - 0xDC00));
        ++i;
      } else {
        out.push_back(u);
      }
    }
    return out;
  }
  Cell& at(int row, int column) {
    return cells_[static_cast<std::size_t>(row * columns_ + column)];
  }
  const Cell& at(int row, int column) const {
    return cells_[static_cast<std::size_t>(row * columns_ + column)];
  }

  int rows_ = 0;
  int columns_ = 0;
  std::vector<Cell> cells_;
  std::deque<KeyEvent> keys_;
  platform::MessageQueue bell_;
  intptr_t rings_ = 0;
  bool gaveKeyThisLook_ = false;
};

struct ScreenSize {
  int rows;
  int columns;
};

// The console wired as the program wires it: the real main window logic, its message loop and
// queue, a fake clock and fake power.
class ConsoleFixture {
 protected:
  explicit ConsoleFixture(ScreenSize size) : screen(size.rows, size.columns) {
    console.attachLoop(loop);
  }

  // The commands posted so far, in order; the queue is left empty.
  std::vector<intptr_t> postedCommands() {
    std::vector<intptr_t> out;
    platform::MessageQueue::Taken taken;
    for (int n = 0; n < 100 && tp.queue.take(taken, 0); ++n) {
      if (taken.message.id == platform::kCommand) out.push_back(taken.message.wParam);
    }
    return out;
  }
  // Hands every scripted key to the console, as the loop does, and draws.
  void typeAll() {
    for (int n = 0; n < 100 && screen.keysLeft() > 0; ++n) static_cast<void>(console.pumpInput());
    console.afterTurn();
  }
  void addRows(int count) {
    for (int i = 0; i < count; ++i) {
      console.insertRow(console.rowCount(), platform::utf8ToUtf16("line " + std::to_string(i)),
                        RowKind::Log);
    }
  }
  int bar() const { return screen.rows() - 1; }
  int lastListRow() const { return screen.rows() - 2; }
  // The text of the lowest list row that shows anything.
  std::string lastShownRow() const {
    for (int row = lastListRow(); row >= 1; --row) {
      if (!screen.rowText(row).empty()) return screen.rowText(row);
    }
    return "";
  }
  void createService() {
    window.setService(
        core::ServiceController::create(tp.platform, settings, meter, protocol::dispatchCommand));
    ASSERT_NE(window.state().service, nullptr);
  }
  void log(const char* utf8) { window.state().service->logChannel().writeUtf8(utf8); }

  test::FakeClock clock{100};
  test::TestPlatform tp{clock};
  CellScreen screen;
  ConsoleWindow console{screen, tp.queue, clock};
  config::SettingsStore settings;
  protocol::TransferMeter meter;
  test::FakePower power;
  MainWindow window{tp.platform, settings, meter, console, power.devices()};
  MessageLoop loop{window, tp.queue, clock, &console};
};

class ConsoleTest : public testing::TestWithParam<ScreenSize>, public ConsoleFixture {
 protected:
  ConsoleTest() : ConsoleFixture(GetParam()) {}
  ScreenSize size() const { return GetParam(); }
};

INSTANTIATE_TEST_SUITE_P(Sizes, ConsoleTest,
                         testing::Values(ScreenSize{24, 80}, ScreenSize{60, 40}),
                         [](const auto& p) {
                           return std::to_string(p.param.columns) + "x" +
                                  std::to_string(p.param.rows);
                         });

std::string testName(std::string name) {
  for (char& ch : name) {
    if (ch == ' ') ch = '_';
  }
  return name;
}

TEST_P(ConsoleTest, TitleAndSoftKeysFrameTheList) {
  addRows(3);
  console.draw();
  int column = -1;
  EXPECT_EQ(screen.findRow("DROVN", &column), 0) << screen.screenText();
  EXPECT_EQ(column, 1);
  EXPECT_EQ(screen.styleAt(0, screen.columns() - 1), CellStyle::Bar);
  EXPECT_EQ(screen.findRow("菜单", &column), bar());
  EXPECT_EQ(column, 1);
  EXPECT_EQ(screen.findRow("关闭", &column), bar());
  EXPECT_EQ(column, screen.columns() - 5);  // its last cell is the bar's last but one
  EXPECT_EQ(screen.rowText(1), "line 0");
  EXPECT_EQ(screen.rowText(3), "line 2");
  EXPECT_EQ(screen.rowText(4), "");
  EXPECT_EQ(console.listHeight(), screen.rows() - 2);
}

TEST_P(ConsoleTest, TheViewFollowsTheEndAndNeverScrollsPastIt) {
  const int height = console.listHeight();
  addRows(height + 10);
  console.ensureVisible(console.rowCount() - 1);
  console.draw();
  EXPECT_EQ(console.topRow(), 10);
  EXPECT_EQ(screen.rowText(lastListRow()), "line " + std::to_string(height + 9));
  EXPECT_EQ(screen.rowText(1), "line 10");
  // Rows deleted from the end pull the view back rather than leave blank rows at the bottom.
  for (int i = 0; i < 5; ++i) console.deleteRow(console.rowCount() - 1);
  console.draw();
  EXPECT_EQ(console.topRow(), 5);
  EXPECT_EQ(screen.rowText(lastListRow()), "line " + std::to_string(height + 4));
  console.deleteAllRows();
  EXPECT_EQ(console.topRow(), 0);
}

struct SelectionCase {
  const char* name;
  std::vector<Kind> keys;
  int expected;  // from the end: -1 is the last row, -2 the one before; >= 0 from the start
};

class SelectionKeys : public testing::TestWithParam<SelectionCase>, public ConsoleFixture {
 protected:
  SelectionKeys() : ConsoleFixture({24, 80}) {}
};

TEST_P(SelectionKeys, MoveTheSelectionAndKeepItInView) {
  const SelectionCase& c = GetParam();
  addRows(60);
  console.ensureVisible(59);
  for (Kind k : c.keys) screen.push(k);
  typeAll();
  const int page = console.listHeight() - 1;
  int expected = c.expected >= 0 ? c.expected : 60 + c.expected;
  if (c.expected <= -100) expected = 59 + (c.expected + 100) * page;
  const int selected = console.nextSelectedRow(-1);
  EXPECT_EQ(selected, expected) << c.name;
  EXPECT_GE(selected, console.topRow());
  EXPECT_LT(selected, console.topRow() + console.listHeight());
  const int row = 1 + selected - console.topRow();
  EXPECT_EQ(screen.rowText(row), "line " + std::to_string(selected));
  EXPECT_EQ(screen.styleAt(row, 0), CellStyle::Highlight);
  EXPECT_EQ(screen.styleAt(row, screen.columns() - 1), CellStyle::Highlight);
  EXPECT_TRUE(postedCommands().empty());
}

// expected -100 - n: n pages above the last row.
INSTANTIATE_TEST_SUITE_P(
    Keys, SelectionKeys,
    testing::Values(SelectionCase{"up from no selection", {Kind::Up}, -2},
                    SelectionCase{"down from no selection", {Kind::Down}, -1},
                    SelectionCase{"up twice then down", {Kind::Up, Kind::Up, Kind::Down}, -2},
                    SelectionCase{"page up", {Kind::PageUp}, -101},
                    SelectionCase{"two pages up", {Kind::PageUp, Kind::PageUp}, -102},
                    SelectionCase{"page up and down", {Kind::PageUp, Kind::PageDown}, -1},
                    SelectionCase{"home", {Kind::Home}, 0},
                    SelectionCase{"up at the top stays", {Kind::Home, Kind::Up}, 0},
                    SelectionCase{"home then down", {Kind::Home, Kind::Down}, 1},
                    SelectionCase{"home then end", {Kind::Home, Kind::End}, -1},
                    SelectionCase{"down at the end stays", {Kind::End, Kind::Down}, -1}),
    [](const auto& p) { return testName(p.param.name); });

TEST_P(ConsoleTest, ASelectionFurtherUpHoldsTheViewAndOneNearTheEndFollowsIt) {
  addRows(40);
  window.scrollToEnd();
  screen.push(Kind::Home);
  for (int i = 0; i < 5; ++i) screen.push(Kind::Down);
  typeAll();
  ASSERT_EQ(console.nextSelectedRow(-1), 5);
  const int held = console.topRow();
  EXPECT_EQ(held, 0);
  for (int i = 0; i < 30; ++i) window.writeLogRow(u"more", RowKind::Log);
  window.scrollToEnd();
  console.draw();
  EXPECT_EQ(console.topRow(), held);
  EXPECT_EQ(screen.rowText(6), "line 5");

  // On one of the last two rows the selection is let go and the view follows the new lines.
  screen.push(Kind::End);
  screen.push(Kind::Up);
  typeAll();
  window.releaseSelectionNearEnd();  // as each new batch of lines begins
  window.writeLogRow(u"newest", RowKind::Log);
  window.scrollToEnd();
  console.draw();
  EXPECT_EQ(console.nextSelectedRow(-1), -1);
  EXPECT_EQ(screen.rowText(lastListRow()), "newest");

  // Esc lets go of a selection further up as well.
  screen.push(Kind::Home);
  screen.push(Kind::Escape);
  typeAll();
  EXPECT_EQ(console.nextSelectedRow(-1), -1);
  EXPECT_EQ(screen.rowText(lastListRow()), "newest");
}

TEST_P(ConsoleTest, TheProgressRowIsDrawnLast) {
  addRows(console.listHeight() + 3);
  meter.trackedConnection = 1;
  meter.totalBytes = 4096;
  meter.sampleTick = 0;
  meter.lastIoTick = 2500;
  meter.bytesSinceSample = 1048576;
  ASSERT_TRUE(window.refreshProgressRow());
  window.scrollToEnd();
  console.afterTurn();
  EXPECT_EQ(screen.rowText(lastListRow()), "正在传输: 4 KB (409 KB/s)") << screen.screenText();
  // A log line takes the progress row's place; the refresh puts a fresh one after it.
  window.writeLogRow(u"226 Transfer completed.", RowKind::Log);
  meter.lastIoTick = 3000;
  meter.totalBytes = 8192;
  ASSERT_TRUE(window.refreshProgressRow());
  window.scrollToEnd();
  console.afterTurn();
  EXPECT_EQ(screen.rowText(lastListRow() - 1), "226 Transfer completed.");
  EXPECT_EQ(screen.rowText(lastListRow()), "正在传输: 8 KB (409 KB/s)");
  // The connection's end takes the row away at the next refresh, and the view follows.
  meter.trackedConnection = 0;
  EXPECT_FALSE(window.refreshProgressRow());
  console.afterTurn();
  EXPECT_EQ(screen.rowText(lastListRow()), "226 Transfer completed.");
  EXPECT_EQ(screen.findRow("正在传输"), -1);
}

struct CutCase {
  int columns;
  const char* text;
  const char* shown;
};

class RowCutting : public testing::TestWithParam<CutCase> {};

// Rows are drawn from the first column and cut by the screen at a character boundary: a wide
// character that would straddle the edge is left out and its cell stays blank.
TEST_P(RowCutting, RowsAreCutAtACharacterBoundary) {
  const CutCase& c = GetParam();
  test::FakeClock clock{100};
  platform::MessageQueue queue;
  CellScreen screen(6, c.columns);
  ConsoleWindow console(screen, queue, clock);
  console.insertRow(0, platform::utf8ToUtf16(c.text), RowKind::Log);
  console.draw();
  EXPECT_EQ(screen.rowText(1), c.shown);
  const int used = platform::displayWidth(platform::utf8ToUtf16(c.shown));
  EXPECT_LE(used, c.columns);
  EXPECT_GE(used, c.columns - 1);
}

INSTANTIATE_TEST_SUITE_P(
    ChineseAtOddWidths, RowCutting,
    testing::Values(CutCase{11, "中文中文中文中文", "中文中文中"},
                    CutCase{11, "a中文中文中文中文", "a中文中文中"},
                    CutCase{9, "正在传输: 2047 KB", "正在传输:"},
                    CutCase{13, "正在传输: 2047 KB", "正在传输: 204"},
                    CutCase{41, "服务地址: ftp://127.0.0.1 服务已启动.服务已启动.服务已启动.",
                            "服务地址: ftp://127.0.0.1 服务已启动.服务"},
                    CutCase{40, "#1>NOOP x中文中文中文中文中文中文中文中文中文中文中文中文",
                            "#1>NOOP x中文中文中文中文中文中文中文中"}));

struct MenuCase {
  const char* name;
  std::vector<Kind> keys;
  std::vector<intptr_t> commands;
};

class MenuKeys : public testing::TestWithParam<MenuCase>, public ConsoleFixture {
 protected:
  MenuKeys() : ConsoleFixture({24, 80}) {}
};

TEST_P(MenuKeys, PostTheChosenCommand) {
  const MenuCase& c = GetParam();
  for (Kind k : c.keys) screen.push(k);
  typeAll();
  EXPECT_EQ(postedCommands(), c.commands) << c.name;
  EXPECT_FALSE(console.menuOpen());
}

INSTANTIATE_TEST_SUITE_P(
    Keys, MenuKeys,
    testing::Values(
        MenuCase{"start", {Kind::F1, Kind::Enter}, {kCmdStart}},
        MenuCase{"stop", {Kind::F1, Kind::Down, Kind::Enter}, {kCmdStop}},
        MenuCase{"options past the separator",
                 {Kind::F1, Kind::Down, Kind::Down, Kind::Enter},
                 {kCmdOptions}},
        MenuCase{"about", {Kind::F1, Kind::Down, Kind::Down, Kind::Down, Kind::Enter}, {kCmdAbout}},
        MenuCase{"down wraps to start",
                 {Kind::F1, Kind::Down, Kind::Down, Kind::Down, Kind::Down, Kind::Enter},
                 {kCmdStart}},
        MenuCase{"up wraps to about", {Kind::F1, Kind::Up, Kind::Enter}, {kCmdAbout}},
        MenuCase{"up from about skips the separator",
                 {Kind::F1, Kind::End, Kind::Up, Kind::Up, Kind::Enter},
                 {kCmdStop}},
        MenuCase{"home", {Kind::F1, Kind::End, Kind::Home, Kind::Enter}, {kCmdStart}},
        MenuCase{"escape closes", {Kind::F1, Kind::Down, Kind::Escape}, {}},
        MenuCase{"f1 closes", {Kind::F1, Kind::F1}, {}},
        MenuCase{"escape then enter does nothing", {Kind::F1, Kind::Escape, Kind::Enter}, {}},
        MenuCase{"f2 is close", {Kind::F2}, {kCmdClose}},
        MenuCase{"f2 in the menu is close", {Kind::F1, Kind::Down, Kind::F2}, {kCmdClose}},
        MenuCase{"ctrl a is about", {Kind::CtrlA}, {kCmdAbout}},
        MenuCase{"ctrl a in the menu is about", {Kind::F1, Kind::CtrlA}, {kCmdAbout}}),
    [](const auto& p) { return testName(p.param.name); });

TEST_P(ConsoleTest, TheMenuOpensAboveTheLeftSoftKey) {
  for (int i = 0; i < 70; ++i) {
    console.insertRow(i, platform::utf8ToUtf16("row " + std::to_string(i) + " and its words"),
                      RowKind::Log);
  }
  console.ensureVisible(69);
  screen.push(Kind::F1);
  screen.push(Kind::Down);
  typeAll();
  ASSERT_TRUE(console.menuOpen());
  EXPECT_EQ(console.menuItem(), 1);
  int column = -1;
  EXPECT_EQ(screen.findRow("启动", &column), bar() - 5) << screen.screenText();
  EXPECT_EQ(column, 2);
  EXPECT_EQ(screen.findRow("停止"), bar() - 4);
  EXPECT_EQ(screen.findRow("──────"), bar() - 3);
  EXPECT_EQ(screen.findRow("选项"), bar() - 2);
  EXPECT_EQ(screen.findRow("关于"), bar() - 1);
  EXPECT_EQ(screen.styleAt(bar() - 4, 0), CellStyle::Highlight);  // the chosen item
  EXPECT_EQ(screen.styleAt(bar() - 4, 7), CellStyle::Highlight);
  EXPECT_EQ(screen.styleAt(bar() - 5, 0), CellStyle::Bar);
  EXPECT_EQ(screen.styleAt(bar() - 5, 8), CellStyle::Normal);  // the popup is 8 cells wide
  EXPECT_EQ(screen.styleAt(bar(), 1), CellStyle::Highlight);   // the open soft key
  const std::string beside = screen.rowText(bar() - 1);
  EXPECT_EQ(beside.substr(beside.size() - 10), " its words") << beside;
  screen.push(Kind::Escape);
  typeAll();
  EXPECT_EQ(screen.findRow("启动"), -1);
  EXPECT_EQ(lastShownRow(), "row 69 and its words");
}

TEST_P(ConsoleTest, ClicksWorkOnTheSoftKeysTheMenuAndTheRows) {
  addRows(5);
  console.draw();
  // The right soft key closes.
  screen.click(bar(), screen.columns() - 3);
  typeAll();
  EXPECT_EQ(postedCommands(), std::vector<intptr_t>{kCmdClose});

  // The left one opens the menu; a click on the separator keeps it open, one on an item
  // chooses it.
  screen.click(bar(), 2);
  typeAll();
  ASSERT_TRUE(console.menuOpen());
  screen.click(bar() - 3, 3);
  typeAll();
  EXPECT_TRUE(console.menuOpen());
  screen.click(bar() - 4, 3);
  typeAll();
  EXPECT_FALSE(console.menuOpen());
  EXPECT_EQ(postedCommands(), std::vector<intptr_t>{kCmdStop});

  // A click beside the popup only closes it.
  screen.click(bar(), 2);
  screen.click(2, screen.columns() - 2);
  typeAll();
  EXPECT_FALSE(console.menuOpen());
  EXPECT_TRUE(postedCommands().empty());
  EXPECT_EQ(console.nextSelectedRow(-1), -1);

  // A click on a row selects it; one below the last row lets go again.
  screen.click(3, 4);
  typeAll();
  EXPECT_EQ(console.nextSelectedRow(-1), 2);
  EXPECT_EQ(screen.styleAt(3, 0), CellStyle::Highlight);
  screen.click(10, 4);
  typeAll();
  EXPECT_EQ(console.nextSelectedRow(-1), -1);
  // The title bar and the middle of the soft-key bar do nothing.
  screen.click(0, 3);
  screen.click(bar(), screen.columns() / 2);
  typeAll();
  EXPECT_TRUE(postedCommands().empty());
  EXPECT_FALSE(console.menuOpen());
}

TEST_P(ConsoleTest, AResizeLaysTheScreenOutAgainAndKeepsFollowingTheEnd) {
  addRows(100);
  console.ensureVisible(99);
  const ScreenSize other = size().rows == 24 ? ScreenSize{60, 40} : ScreenSize{24, 80};
  screen.setSize(other.rows, other.columns);
  screen.push(Kind::Resize);
  typeAll();
  EXPECT_EQ(console.topRow(), 100 - (other.rows - 2));
  EXPECT_EQ(screen.rowText(other.rows - 2), "line 99");
  EXPECT_EQ(screen.findRow("关闭"), other.rows - 1);
  EXPECT_EQ(screen.findRow("DROVN"), 0);
  EXPECT_GT(screen.invalidations, 0);
}

TEST_P(ConsoleTest, BringToFrontRepaintsEverything) {
  console.draw();
  const int invalidated = screen.invalidations;
  window.handleMessage(platform::Message{platform::kBringToFront, 0, 0});
  EXPECT_EQ(screen.invalidations, invalidated + 1);
  EXPECT_EQ(screen.findRow("DROVN"), 0);
  EXPECT_TRUE(console.titleFlashed());
}

TEST(ConsoleTitle, FlashesTwiceAndComesToRest) {
  test::FakeClock clock{0};  // time moves only when the test says
  platform::MessageQueue queue;
  CellScreen screen(24, 80);
  ConsoleWindow console(screen, queue, clock);
  console.draw();
  EXPECT_EQ(console.afterTurn(), -1);
  EXPECT_EQ(screen.styleAt(0, 0), CellStyle::Bar);
  console.bringToFront();
  std::vector<CellStyle> styles{screen.styleAt(0, 0)};
  int due = console.afterTurn();  // not yet: nothing changes
  EXPECT_EQ(styles.back(), screen.styleAt(0, 0));
  for (int step = 1; step < 10 && due != -1; ++step) {
    EXPECT_EQ(due, static_cast<int>(kTitleFlashStepMs));
    clock.advance(kTitleFlashStepMs);
    due = console.afterTurn();
    styles.push_back(screen.styleAt(0, 0));
  }
  EXPECT_EQ(styles, (std::vector<CellStyle>{CellStyle::Highlight, CellStyle::Bar,
                                            CellStyle::Highlight, CellStyle::Bar}));
  EXPECT_EQ(screen.styleAt(0, 3), CellStyle::Bar);
}

// A dialog of this test: counts what it is given, writes a log line on 'l', ends on Esc.
class ProbeDialog final : public ModalDialog {
 public:
  explicit ProbeDialog(std::function<void(char32_t)> onCharacter = nullptr)
      : onCharacter_(std::move(onCharacter)) {}
  void resize(int rows, int columns) override { sizes.push_back({rows, columns}); }
  void draw(platform::Canvas& canvas) override {
    ++draws;
    canvas.drawText(canvas.rows() / 2, 2, u"对话框", CellStyle::Normal);
  }
  bool handleKey(const KeyEvent& key) override {
    keys.push_back(key.kind);
    if (key.kind == Kind::Character && onCharacter_) onCharacter_(key.ch);
    return key.kind != Kind::Escape;
  }

  std::vector<ScreenSize> sizes;
  std::vector<Kind> keys;
  int draws = 0;

 private:
  std::function<void(char32_t)> onCharacter_;
};

KeyEvent character(char32_t c) {
  KeyEvent key;
  key.kind = Kind::Character;
  key.ch = c;
  return key;
}

TEST_P(ConsoleTest, AModalDialogOwnsTheScreenWhileTheLogGoesOnBehindIt) {
  createService();
  log("before the dialog");
  window.appendLogText();
  screen.oneKeyPerLook = true;
  std::string seenWhileOpen;
  int rowsWhileOpen = -1;
  ProbeDialog dialog([&](char32_t c) {
    if (c == U'l') log("behind the dialog");
    if (c == U's') {
      seenWhileOpen = screen.screenText();
      rowsWhileOpen = console.rowCount();
    }
    if (c == U'r') screen.setSize(size().columns, size().rows);  // turned on its side
  });
  screen.push(character(U'l'));
  screen.push(Kind::F2);  // the dialog's key now, not the window's Close
  screen.push(character(U's'));
  screen.push(character(U'r'));
  screen.push(Kind::Resize);
  screen.push(Kind::Escape);
  screen.push(Kind::F1);  // after the dialog: the window's again

  console.runModal(dialog);

  EXPECT_FALSE(console.modalRunning());
  ASSERT_EQ(dialog.sizes.size(), 2u);
  EXPECT_EQ(dialog.sizes[0].rows, size().rows);
  EXPECT_EQ(dialog.sizes[0].columns, size().columns);
  EXPECT_EQ(dialog.sizes[1].rows, size().columns);
  EXPECT_EQ(dialog.sizes[1].columns, size().rows);
  EXPECT_EQ(dialog.keys, (std::vector<Kind>{Kind::Character, Kind::F2, Kind::Character,
                                            Kind::Character, Kind::Escape}));
  EXPECT_GE(dialog.draws, 4);
  // While the dialog ran, the log row was added but not drawn over it.
  EXPECT_EQ(rowsWhileOpen, 2);
  EXPECT_NE(seenWhileOpen.find("对话框"), std::string::npos) << seenWhileOpen;
  EXPECT_EQ(seenWhileOpen.find("behind the dialog"), std::string::npos) << seenWhileOpen;
  EXPECT_EQ(seenWhileOpen.find("DROVN"), std::string::npos);
  // Afterwards the window is back, laid out for the new size, with the row.
  EXPECT_EQ(screen.findRow("对话框"), -1);
  EXPECT_EQ(screen.findRow("behind the dialog"), 2) << screen.screenText();
  EXPECT_EQ(screen.findRow("DROVN"), 0);
  EXPECT_EQ(screen.findRow("关闭"), size().columns - 1);
  EXPECT_TRUE(postedCommands().empty());  // F2 went to the dialog
  EXPECT_EQ(screen.keysLeft(), 1u);
  typeAll();
  EXPECT_TRUE(console.menuOpen());
}

TEST_P(ConsoleTest, SentMessagesAreAnsweredWhileADialogRuns) {
  ProbeDialog dialog;
  std::atomic<intptr_t> answer{-1};
  std::jthread other([&] {
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    answer = tp.queue.send(
        platform::kNetworkCheck, 0, 0, [&] { return std::chrono::steady_clock::now() < until; },
        99);
    tp.queue.requestCloseFromSignal();  // ends the dialog's loop, answered or not
  });
  console.runModal(dialog);
  other.join();
  EXPECT_EQ(answer.load(), 0);  // the window's answer, not the fallback
  EXPECT_TRUE(window.state().quitPosted);
  EXPECT_EQ(dialog.sizes.size(), 1u);
  EXPECT_TRUE(dialog.keys.empty());
}

TEST_P(ConsoleTest, ACloseDuringADialogEndsItAndTheLoop) {
  createService();
  screen.oneKeyPerLook = true;
  ProbeDialog dialog([&](char32_t) { tp.queue.requestCloseFromSignal(); });
  screen.push(character(U'q'));
  for (int i = 0; i < 5; ++i) screen.push(character(U'z'));
  console.runModal(dialog);
  EXPECT_TRUE(window.state().quitPosted);
  EXPECT_EQ(window.state().service, nullptr);
  EXPECT_FALSE(console.modalRunning());
  EXPECT_EQ(dialog.keys.size(), 1u);  // nothing after the Close reached it
  EXPECT_EQ(lastShownRow(), "正在退出...") << screen.screenText();
}

TEST_P(ConsoleTest, TheLoopTakesKeysAndMessagesUntilClose) {
  createService();
  log("first line");
  screen.push(Kind::F1);
  screen.push(Kind::Escape);
  screen.push(Kind::F2);
  EXPECT_EQ(loop.run(), 0);
  EXPECT_TRUE(window.state().quitPosted);
  EXPECT_EQ(screen.findRow("first line"), 1) << screen.screenText();
  EXPECT_EQ(lastShownRow(), "正在退出...");
  EXPECT_FALSE(console.menuOpen());
  EXPECT_GE(clock.sleptMs(), kCloseWaitMs);
}

TEST_P(ConsoleTest, WithoutALoopADialogEndsAtOnce) {
  platform::MessageQueue queue;
  ConsoleWindow alone(screen, queue, clock);
  ProbeDialog dialog;
  alone.runModal(dialog);
  EXPECT_TRUE(dialog.sizes.empty());
  EXPECT_FALSE(alone.modalRunning());
}

}  // namespace
}  // namespace drovn::shell
