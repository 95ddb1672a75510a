// The terminal console's main window: the title bar "DROVN", the log list with its selection,
// and the soft-key bar ("菜单" for F1, "关闭" for F2) with the menu popup above its left key.
// It also runs the modal dialogs over the whole screen. Commands go to the main window as
// posted kCommand messages, as a menu's would: they run from the message loop, after the key
// that chose them, never inside the console's own input handling. It draws on a ConsoleScreen,
// so tests give it cells kept in memory.
#pragma once

#include <cstdint>
#include <iterator>
#include <string_view>

#include "platform/Clock.h"
#include "platform/MessageQueue.h"
#include "platform/Terminal.h"
#include "shell/LogListView.h"
#include "shell/MainWindow.h"
#include "shell/MemoryLogList.h"
#include "shell/MessageLoop.h"
#include "shell/ModalDialog.h"

namespace drovn::shell {

inline constexpr std::string_view kWindowTitle = "DROVN";
inline constexpr std::string_view kMenuKeyText = "菜单";
inline constexpr std::string_view kCloseKeyText = "关闭";

// The menu popup, top to bottom; a separator has no command.
struct MenuItem {
  std::string_view text;
  intptr_t command;  // 0: a separator
};
inline constexpr MenuItem kMenuItems[] = {
    {"启动", kCmdStart}, {"停止", kCmdStop}, {"", 0}, {"选项", kCmdOptions}, {"关于", kCmdAbout},
};
inline constexpr int kMenuItemCount = static_cast<int>(std::size(kMenuItems));

// The title shows inverted, normal, inverted, normal for this long each when another start of
// the program asks this one to come to the front.
inline constexpr uint32_t kTitleFlashStepMs = 250;
inline constexpr int kTitleFlashSteps = 4;

class ConsoleWindow final : public ShellWindow, public MemoryLogList, public LoopClient {
 public:
  ConsoleWindow(platform::ConsoleScreen& screen, platform::MessageQueue& queue,
                platform::Clock& clock);

  // The loop whose nested turns run the modal dialogs. Without one a dialog ends at once.
  void attachLoop(MessageLoop& loop) noexcept { loop_ = &loop; }

  // ShellWindow
  LogListView& logList() override { return *this; }
  void repaintWindow() override { draw(); }
  // Repaints every cell and flashes the title.
  void bringToFront() override;
  // Full screen until the dialog's handleKey gives false, or until the quit (a Close asked for
  // by a signal meanwhile). A dialog opened while another runs goes on top of it.
  void runModal(ModalDialog& dialog) override;

  // The list: every change is drawn at the end of the loop's turn, or at once by repaint().
  int insertRow(int index, std::string_view text, RowKind kind) override;
  void setRowText(int index, std::string_view text, RowKind kind) override;
  void deleteRow(int index) override;
  void deleteAllRows() override;
  void ensureVisible(int index) override;
  void repaint() override { draw(); }

  // LoopClient
  int inputFd() const override { return screen_.inputFd(); }
  bool pumpInput() override;
  // Nobody is left to see the console or to close it: the program closes as with F2.
  void inputHungUp() override { post(kCmdClose); }
  int afterTurn() override;

  // One input event. True when it posted a command to the main window.
  bool handleKey(const platform::KeyEvent& key);
  // The whole screen, now.
  void draw();

  // The state the screen shows, for tests.
  int topRow() const noexcept { return top_; }
  int listHeight() const noexcept;
  bool menuOpen() const noexcept { return menuOpen_; }
  int menuItem() const noexcept { return menuItem_; }
  bool titleFlashed() const noexcept { return flashStep_ % 2 == 1; }
  bool modalRunning() const noexcept { return modal_ != nullptr; }

 private:
  struct ModalFrame {
    ModalDialog* dialog;
    bool ended;
  };

  bool handleMenuKey(const platform::KeyEvent& key);
  bool handleListKey(const platform::KeyEvent& key);
  bool handleClick(int row, int column);
  void handleModalKey(const platform::KeyEvent& key);
  bool post(intptr_t command);
  void openMenu();
  void moveMenu(int step);
  void moveSelection(platform::KeyEvent::Kind kind);
  void clampTop();
  void onResize();
  int selectedRow() const { return nextSelectedRow(-1); }

  // Where things are on a screen of the current size.
  int menuTop() const;
  int menuWidth() const;
  bool onMenuKey(int row, int column) const;
  bool onCloseKey(int row, int column) const;

  void drawTitle();
  void drawList();
  void drawSoftKeys();
  void drawMenu();

  platform::ConsoleScreen& screen_;
  platform::MessageQueue& queue_;
  platform::Clock& clock_;
  MessageLoop* loop_ = nullptr;
  ModalFrame* modal_ = nullptr;  // the dialog on top, null when none runs
  int top_ = 0;                  // the list row shown first
  bool menuOpen_ = false;
  int menuItem_ = 0;
  int flashStep_ = 0;  // odd: the title shows inverted; 0: no flash
  uint32_t flashDue_ = 0;
  bool dirty_ = true;
};

}  // namespace drovn::shell
