#include "shell/ConsoleWindow.h"

#include <algorithm>
#include <string>

namespace drovn::shell {

namespace {

using Kind = platform::KeyEvent::Kind;
using platform::CellStyle;

// Keys handled in one turn before the loop looks at its queue again.
constexpr int kKeysPerTurn = 64;
// The soft keys' labels start one cell in from the bar's ends; a click counts on the label and
// on the cell either side of it.
constexpr int kKeyMargin = 1;
// The popup's items start two cells in; the popup is as wide as the widest label and two cells
// on each side.
constexpr int kMenuIndent = 2;
constexpr std::string_view kSeparatorCell = "\u2500";

bool isSeparator(int item) {
  return kMenuItems[item].command == 0;
}

int widestMenuLabel() {
  int widest = 0;
  for (const MenuItem& item : kMenuItems)
    widest = std::max(widest, platform::displayWidth(item.text));
  return widest;
}

}  // namespace

ConsoleWindow::ConsoleWindow(platform::ConsoleScreen& screen, platform::MessageQueue& queue,
                             platform::Clock& clock)
    : screen_(screen), queue_(queue), clock_(clock) {}

// The list -------------------------------------------------------------------------------------

int ConsoleWindow::listHeight() const noexcept {
  return std::max(0, screen_.rows() - 2);
}

int ConsoleWindow::insertRow(int index, std::string_view text, RowKind kind) {
  dirty_ = true;
  return MemoryLogList::insertRow(index, text, kind);
}

void ConsoleWindow::setRowText(int index, std::string_view text, RowKind kind) {
  dirty_ = true;
  MemoryLogList::setRowText(index, text, kind);
}

void ConsoleWindow::deleteRow(int index) {
  dirty_ = true;
  MemoryLogList::deleteRow(index);
  clampTop();
}

void ConsoleWindow::deleteAllRows() {
  dirty_ = true;
  MemoryLogList::deleteAllRows();
  top_ = 0;
}

void ConsoleWindow::ensureVisible(int index) {
  MemoryLogList::ensureVisible(index);
  if (index < 0 || index >= rowCount()) return;
  dirty_ = true;
  const int height = listHeight();
  if (index < top_) {
    top_ = index;
  } else if (height > 0 && index >= top_ + height) {
    top_ = index - height + 1;
  }
  clampTop();
}

// Like a list control, the view never scrolls past its last row.
void ConsoleWindow::clampTop() {
  const int lowest = std::max(0, rowCount() - listHeight());
  top_ = std::clamp(top_, 0, lowest);
}

void ConsoleWindow::moveSelection(Kind kind) {
  const int count = rowCount();
  if (count == 0) return;
  const int page = std::max(1, listHeight() - 1);
  const int last = count - 1;
  // Without a selection the keys start from the end, where the view is.
  const int from = selectedRow() == -1 ? last : selectedRow();
  int to = from;
  switch (kind) {
    case Kind::Up:
      to = from - 1;
      break;
    case Kind::Down:
      to = selectedRow() == -1 ? last : from + 1;
      break;
    case Kind::PageUp:
      to = from - page;
      break;
    case Kind::PageDown:
      to = selectedRow() == -1 ? last : from + page;
      break;
    case Kind::Home:
      to = 0;
      break;
    case Kind::End:
      to = last;
      break;
    default:
      return;
  }
  to = std::clamp(to, 0, last);
  select(to);
  ensureVisible(to);
  dirty_ = true;
}

// Input ----------------------------------------------------------------------------------------

bool ConsoleWindow::pumpInput() {
  for (int n = 0; n < kKeysPerTurn; ++n) {
    platform::KeyEvent key;
    if (!screen_.readKey(key)) return false;
    if (handleKey(key)) return true;
    // The keys after the one that ended a dialog belong to whatever is shown next.
    if (modal_ != nullptr && modal_->ended) return true;
  }
  return true;
}

bool ConsoleWindow::handleKey(const platform::KeyEvent& key) {
  if (key.kind == Kind::Resize) {
    onResize();
    return false;
  }
  if (modal_ != nullptr) {
    handleModalKey(key);
    return false;
  }
  return menuOpen_ ? handleMenuKey(key) : handleListKey(key);
}

void ConsoleWindow::handleModalKey(const platform::KeyEvent& key) {
  if (modal_->ended) return;
  if (!modal_->dialog->handleKey(key)) modal_->ended = true;
  dirty_ = true;
}

bool ConsoleWindow::handleListKey(const platform::KeyEvent& key) {
  switch (key.kind) {
    case Kind::F1:
      openMenu();
      return false;
    case Kind::F2:
      return post(kCmdClose);
    case Kind::CtrlA:
      return post(kCmdAbout);
    case Kind::Up:
    case Kind::Down:
    case Kind::PageUp:
    case Kind::PageDown:
    case Kind::Home:
    case Kind::End:
      moveSelection(key.kind);
      return false;
    case Kind::Escape:
      // Letting go of the selection lets the view follow the log again.
      select(-1);
      if (rowCount() > 0) ensureVisible(rowCount() - 1);
      dirty_ = true;
      return false;
    case Kind::Click:
      return handleClick(key.row, key.column);
    default:
      return false;
  }
}

bool ConsoleWindow::handleMenuKey(const platform::KeyEvent& key) {
  switch (key.kind) {
    case Kind::Up:
      moveMenu(-1);
      return false;
    case Kind::Down:
      moveMenu(1);
      return false;
    case Kind::Home:
      menuItem_ = 0;
      dirty_ = true;
      return false;
    case Kind::End:
      menuItem_ = kMenuItemCount - 1;
      dirty_ = true;
      return false;
    case Kind::Enter:
      menuOpen_ = false;
      dirty_ = true;
      return post(kMenuItems[menuItem_].command);
    case Kind::Escape:
    case Kind::F1:
      menuOpen_ = false;
      dirty_ = true;
      return false;
    case Kind::F2:
      menuOpen_ = false;
      dirty_ = true;
      return post(kCmdClose);
    case Kind::CtrlA:
      menuOpen_ = false;
      dirty_ = true;
      return post(kCmdAbout);
    case Kind::Click:
      return handleClick(key.row, key.column);
    default:
      return false;
  }
}

bool ConsoleWindow::handleClick(int row, int column) {
  dirty_ = true;
  if (menuOpen_) {
    const int item = row - menuTop();
    if (item >= 0 && item < kMenuItemCount && row < screen_.rows() - 1 && column >= 0 &&
        column < menuWidth()) {
      if (isSeparator(item)) return false;
      menuOpen_ = false;
      return post(kMenuItems[item].command);
    }
    // A click elsewhere closes the menu; only the other soft key does something as well.
    menuOpen_ = false;
    return onCloseKey(row, column) ? post(kCmdClose) : false;
  }
  if (onMenuKey(row, column)) {
    openMenu();
    return false;
  }
  if (onCloseKey(row, column)) return post(kCmdClose);
  if (row >= 1 && row <= listHeight()) {
    const int index = top_ + row - 1;
    // A click below the last row lets go of the selection, as in a list control.
    select(index < rowCount() ? index : -1);
    if (index < rowCount()) ensureVisible(index);
  }
  return false;
}

bool ConsoleWindow::post(intptr_t command) {
  queue_.post(platform::events::Command{command});
  return true;
}

void ConsoleWindow::openMenu() {
  menuOpen_ = true;
  menuItem_ = 0;
  dirty_ = true;
}

// Up and Down go round the popup and step over the separator.
void ConsoleWindow::moveMenu(int step) {
  int item = menuItem_;
  for (int n = 0; n < kMenuItemCount; ++n) {
    item = (item + step + kMenuItemCount) % kMenuItemCount;
    if (!isSeparator(item)) break;
  }
  menuItem_ = item;
  dirty_ = true;
}

void ConsoleWindow::onResize() {
  screen_.invalidate();
  dirty_ = true;
  if (modal_ != nullptr) {
    modal_->dialog->resize(screen_.rows(), screen_.columns());
    return;
  }
  // The view keeps the selection in sight, or else goes on following the end.
  const int selected = selectedRow();
  if (selected != -1) {
    ensureVisible(selected);
  } else if (rowCount() > 0) {
    ensureVisible(rowCount() - 1);
  }
  clampTop();
}

// The window ------------------------------------------------------------------------------------

void ConsoleWindow::bringToFront() {
  screen_.invalidate();
  flashStep_ = 1;
  flashDue_ = clock_.tickCount() + kTitleFlashStepMs;
  draw();
}

void ConsoleWindow::runModal(ModalDialog& dialog) {
  if (loop_ == nullptr) return;  // nothing would hand it keys
  ModalFrame frame{&dialog, false};
  // The frame lives on this stack: it is unlinked however the dialog's run ends.
  struct Unlink {
    ConsoleWindow& window;
    ModalFrame* outer;
    ~Unlink() { window.modal_ = outer; }
  } unlink{*this, modal_};
  modal_ = &frame;
  menuOpen_ = false;
  dialog.resize(screen_.rows(), screen_.columns());
  draw();
  loop_->runUntil([&frame] { return frame.ended; });
  modal_ = unlink.outer;
  // The screen may have changed size meanwhile; what comes back lays itself out again.
  onResize();
  draw();
}

int ConsoleWindow::afterTurn() {
  const uint32_t now = clock_.tickCount();
  if (flashStep_ > 0 && static_cast<int32_t>(now - flashDue_) >= 0) {
    flashStep_ = flashStep_ + 1 < kTitleFlashSteps ? flashStep_ + 1 : 0;
    flashDue_ = now + kTitleFlashStepMs;
    dirty_ = true;
  }
  if (dirty_) draw();
  if (flashStep_ == 0) return -1;
  const auto left = static_cast<int32_t>(flashDue_ - now);
  return left > 0 ? left : 0;
}

// Drawing ---------------------------------------------------------------------------------------

int ConsoleWindow::menuWidth() const {
  return widestMenuLabel() + 2 * kMenuIndent;
}

int ConsoleWindow::menuTop() const {
  return screen_.rows() - 1 - kMenuItemCount;
}

bool ConsoleWindow::onMenuKey(int row, int column) const {
  if (row != screen_.rows() - 1) return false;
  return column >= 0 && column < kKeyMargin + platform::displayWidth(kMenuKeyText) + 1;
}

bool ConsoleWindow::onCloseKey(int row, int column) const {
  if (row != screen_.rows() - 1 || onMenuKey(row, column)) return false;
  const int width = platform::displayWidth(kCloseKeyText);
  return column >= screen_.columns() - kKeyMargin - width - 1 && column < screen_.columns();
}

void ConsoleWindow::draw() {
  dirty_ = false;
  screen_.clear();
  screen_.placeCursor(-1, -1);
  if (modal_ != nullptr) {
    modal_->dialog->draw(screen_);
  } else {
    clampTop();
    drawTitle();
    drawList();
    drawSoftKeys();
    if (menuOpen_) drawMenu();
  }
  screen_.present();
}

void ConsoleWindow::drawTitle() {
  const CellStyle style = titleFlashed() ? CellStyle::Highlight : CellStyle::Bar;
  screen_.fill(0, 0, screen_.columns(), style);
  screen_.drawText(0, kKeyMargin, kWindowTitle, style);
}

void ConsoleWindow::drawList() {
  const int height = listHeight();
  const int count = rowCount();
  for (int line = 0; line < height && top_ + line < count; ++line) {
    const Row& row = rows()[static_cast<std::size_t>(top_ + line)];
    const CellStyle style = row.selected ? CellStyle::Highlight : CellStyle::Normal;
    if (row.selected) screen_.fill(1 + line, 0, screen_.columns(), style);
    screen_.drawText(1 + line, 0, row.text, style);
  }
}

void ConsoleWindow::drawSoftKeys() {
  const int bar = screen_.rows() - 1;
  screen_.fill(bar, 0, screen_.columns(), CellStyle::Bar);
  const int closeWidth = platform::displayWidth(kCloseKeyText);
  screen_.drawText(bar, screen_.columns() - kKeyMargin - closeWidth, kCloseKeyText, CellStyle::Bar);
  // Drawn last: on a screen too narrow for both, the menu key wins.
  const CellStyle menuStyle = menuOpen_ ? CellStyle::Highlight : CellStyle::Bar;
  screen_.fill(bar, 0, kKeyMargin + platform::displayWidth(kMenuKeyText) + 1, CellStyle::Bar);
  screen_.drawText(bar, kKeyMargin, kMenuKeyText, menuStyle);
}

void ConsoleWindow::drawMenu() {
  const int width = menuWidth();
  const int top = menuTop();
  for (int item = 0; item < kMenuItemCount; ++item) {
    const int row = top + item;
    if (isSeparator(item)) {
      screen_.fill(row, 0, width, CellStyle::Bar);
      std::string line;
      for (int cell = 0; cell < width - 2; ++cell) line += kSeparatorCell;
      screen_.drawText(row, 1, line, CellStyle::Bar);
      continue;
    }
    const CellStyle style = item == menuItem_ ? CellStyle::Highlight : CellStyle::Bar;
    screen_.fill(row, 0, width, style);
    screen_.drawText(row, kMenuIndent, kMenuItems[item].text, style);
  }
}

}  // namespace drovn::shell
