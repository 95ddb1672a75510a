#include "shell/DialogView.h"

#include <algorithm>

namespace drovn::shell {

namespace {

using platform::CellStyle;
using platform::KeyEvent;

bool isHighSurrogate(char16_t u) {
  return u >= 0xD800 && u <= 0xDBFF;
}
bool isLowSurrogate(char16_t u) {
  return u >= 0xDC00 && u <= 0xDFFF;
}

// The index after the character at i, and the index of the character before i: a surrogate
// pair is one character, a lone surrogate one of its own.
std::size_t nextIndex(std::u16string_view s, std::size_t i) {
  if (i + 1 < s.size() && isHighSurrogate(s[i]) && isLowSurrogate(s[i + 1])) return i + 2;
  return i + 1;
}
std::size_t previousIndex(std::u16string_view s, std::size_t i) {
  if (i >= 2 && isLowSurrogate(s[i - 1]) && isHighSurrogate(s[i - 2])) return i - 2;
  return i - 1;
}

// The cells the character at i takes in the edit: a password edit shows one '*' for each.
int characterCells(const DialogControl& edit, std::size_t i) {
  if (edit.isPassword()) return 1;
  const std::size_t end = nextIndex(edit.text, i);
  return platform::displayWidth(std::u16string_view(edit.text).substr(i, end - i));
}

int cellsBetween(const DialogControl& edit, std::size_t from, std::size_t to) {
  int cells = 0;
  for (std::size_t i = from; i < to; i = nextIndex(edit.text, i)) cells += characterCells(edit, i);
  return cells;
}

bool isClientRow(const platform::Canvas& canvas, int row) {
  return row >= firstClientRow() && row <= lastClientRow(canvas.rows());
}

void drawCheckBox(platform::Canvas& canvas, const DialogControl& c, bool focused, int clip) {
  const int row = controlTextRow(c);
  if (!isClientRow(canvas, row)) return;
  std::u16string text = c.checked ? u"[x] " : u"[ ] ";
  text += c.text;
  canvas.drawText(row, controlCells(c).column, text,
                  focused ? CellStyle::Highlight : CellStyle::Normal, clip);
}

void drawEdit(platform::Canvas& canvas, const DialogControl& c, bool focused, int clip) {
  const int row = controlTextRow(c);
  if (!isClientRow(canvas, row)) return;
  const int column = controlCells(c).column;
  const CellStyle style = focused ? CellStyle::Highlight : CellStyle::Normal;
  const int inner = editInnerWidth(c);
  const int innerShown = std::min(inner, clip - 1);
  canvas.drawText(row, column, u"[", CellStyle::Normal, clip);
  if (innerShown <= 0) return;
  canvas.fill(row, column + 1, innerShown, style);
  const std::u16string shown = editDisplayText(c);
  // The password form has one unit per character, so its first shown unit is counted anew.
  std::size_t first = c.firstVisible;
  if (c.isPassword()) first = static_cast<std::size_t>(cellsBetween(c, 0, c.firstVisible));
  canvas.drawText(row, column + 1, std::u16string_view(shown).substr(std::min(first, shown.size())),
                  style, innerShown);
  if (clip >= inner + 2) canvas.drawText(row, column + 1 + inner, u"]", CellStyle::Normal, 1);
  if (focused) {
    const int caret = cellsBetween(c, c.firstVisible, c.cursor);
    if (caret < innerShown) canvas.placeCursor(row, column + 1 + caret);
  }
}

// A static's text, broken into lines of the control's width (at character boundaries), from its
// top row down; a centred static centres each line.
void drawStaticText(platform::Canvas& canvas, const DialogControl& c, int clip) {
  const CellRect cells = controlCells(c);
  std::u16string_view rest = c.text;
  for (int line = 0; line < cells.height && !rest.empty(); ++line) {
    std::size_t units = platform::fittingUnits(rest, clip);
    if (units == 0) break;  // not even one character fits
    const std::u16string_view piece = rest.substr(0, units);
    rest.remove_prefix(units);
    const int row = cells.row + line;
    if (!isClientRow(canvas, row)) continue;
    int column = cells.column;
    if ((c.style & kStyleCenter) != 0) {
      column += std::max(0, (std::min(cells.width, clip) - platform::displayWidth(piece)) / 2);
    }
    canvas.drawText(row, column, piece, CellStyle::Normal, cells.column + clip - column);
  }
}

void drawIcon(platform::Canvas& canvas, const DialogControl& c, int clip) {
  const auto art = iconArt(c.iconId);
  if (art.empty()) return;
  const CellRect cells = controlCells(c);
  const int artRows = static_cast<int>(art.size());
  const int artColumns = platform::displayWidth(art[0]);
  int row = cells.row;
  int column = cells.column;
  if ((c.style & kStyleCenterImage) != 0) {
    row += std::max(0, (cells.height - artRows) / 2);
    column += std::max(0, (cells.width - artColumns) / 2);
  }
  for (int i = 0; i < artRows; ++i) {
    if (!isClientRow(canvas, row + i)) continue;
    canvas.drawText(row + i, column, art[static_cast<std::size_t>(i)], CellStyle::Normal,
                    cells.column + clip - column);
  }
}

}  // namespace

CellRect controlCells(const DialogControl& c) noexcept {
  PixelRect screen = c.rect;
  screen.top += kDialogClientTopPx;
  return pixelRectToCells(screen);
}

int controlTextRow(const DialogControl& c) noexcept {
  return pixelToRow(kDialogClientTopPx + c.rect.top + c.rect.height / 2);
}

int editInnerWidth(const DialogControl& c) noexcept {
  return std::max(1, controlCells(c).width - 2);
}

bool insertCharacter(DialogControl& edit, char32_t c) {
  if (c < 0x20 || (c >= 0x7F && c < 0xA0) || (c >= 0xD800 && c <= 0xDFFF) || c > 0x10FFFF) {
    return false;
  }
  char16_t units[2];
  std::size_t count = 1;
  if (c >= 0x10000) {
    units[0] = static_cast<char16_t>(0xD800 + ((c - 0x10000) >> 10));
    units[1] = static_cast<char16_t>(0xDC00 + ((c - 0x10000) & 0x3FF));
    count = 2;
  } else {
    units[0] = static_cast<char16_t>(c);
  }
  if (edit.text.size() + count > kEditTextLimit) return false;
  edit.cursor = std::min(edit.cursor, edit.text.size());
  edit.text.insert(edit.cursor, units, count);
  edit.cursor += count;
  scrollEditToCursor(edit);
  return true;
}

bool editKey(DialogControl& edit, KeyEvent::Kind key) {
  std::u16string& text = edit.text;
  edit.cursor = std::min(edit.cursor, text.size());
  switch (key) {
    case KeyEvent::Kind::Left:
      if (edit.cursor > 0) edit.cursor = previousIndex(text, edit.cursor);
      break;
    case KeyEvent::Kind::Right:
      if (edit.cursor < text.size()) edit.cursor = nextIndex(text, edit.cursor);
      break;
    case KeyEvent::Kind::Home:
      edit.cursor = 0;
      break;
    case KeyEvent::Kind::End:
      edit.cursor = text.size();
      break;
    case KeyEvent::Kind::Backspace:
      if (edit.cursor > 0) {
        const std::size_t from = previousIndex(text, edit.cursor);
        text.erase(from, edit.cursor - from);
        edit.cursor = from;
      }
      break;
    case KeyEvent::Kind::Delete:
      if (edit.cursor < text.size())
        text.erase(edit.cursor, nextIndex(text, edit.cursor) - edit.cursor);
      break;
    default:
      return false;
  }
  scrollEditToCursor(edit);
  return true;
}

void setEditText(DialogControl& edit, std::u16string_view text) {
  std::size_t units = std::min(text.size(), kEditTextLimit);
  // Whole characters only: a pair cut in half would read back as a '?'.
  if (units < text.size() && units > 0 && isHighSurrogate(text[units - 1])) --units;
  edit.text.assign(text.substr(0, units));
  edit.cursor = edit.text.size();
  edit.firstVisible = 0;
  scrollEditToCursor(edit);
}

std::u16string editDisplayText(const DialogControl& edit) {
  if (!edit.isPassword()) return edit.text;
  std::u16string stars;
  for (std::size_t i = 0; i < edit.text.size(); i = nextIndex(edit.text, i)) stars += u'*';
  return stars;
}

void scrollEditToCursor(DialogControl& edit) {
  const int inner = editInnerWidth(edit);
  const std::u16string_view text = edit.text;
  edit.cursor = std::min(edit.cursor, text.size());
  edit.firstVisible = std::min(edit.firstVisible, edit.cursor);
  // The caret takes the cell after the characters before it.
  while (edit.firstVisible < edit.cursor &&
         cellsBetween(edit, edit.firstVisible, edit.cursor) >= inner) {
    edit.firstVisible = nextIndex(text, edit.firstVisible);
  }
  while (edit.firstVisible > 0) {
    const std::size_t earlier = previousIndex(text, edit.firstVisible);
    if (cellsBetween(edit, earlier, text.size()) >= inner) break;
    edit.firstVisible = earlier;
  }
}

std::size_t editIndexAtCell(const DialogControl& edit, int cells) {
  std::size_t i = std::min(edit.firstVisible, edit.text.size());
  int used = 0;
  while (i < edit.text.size()) {
    const int w = characterCells(edit, i);
    if (used + w > cells) break;
    used += w;
    i = nextIndex(edit.text, i);
  }
  return i;
}

void drawCaption(platform::Canvas& canvas, std::u16string_view caption) {
  canvas.fill(0, 0, canvas.columns(), CellStyle::Bar);
  canvas.drawText(0, 1, caption, CellStyle::Bar, canvas.columns() - 1);
}

void drawSoftKeys(platform::Canvas& canvas, std::u16string_view left, std::u16string_view right) {
  const int row = canvas.rows() - 1;
  if (row <= 0) return;  // one row is the caption's
  canvas.fill(row, 0, canvas.columns(), CellStyle::Bar);
  canvas.drawText(row, 1, left, CellStyle::Bar, canvas.columns() / 2 - 1);
  if (!right.empty()) {
    const int width = std::min(platform::displayWidth(right), canvas.columns() / 2 - 1);
    canvas.drawText(row, canvas.columns() - 1 - width, right, CellStyle::Bar, width);
  }
}

SoftKey softKeyAt(int rows, int columns, int row, int column) noexcept {
  if (row != rows - 1 || column < 0 || column >= columns) return SoftKey::None;
  return column < columns / 2 ? SoftKey::Left : SoftKey::Right;
}

void drawControl(platform::Canvas& canvas, const DialogControl& c, bool focused, int rightLimit) {
  const CellRect cells = controlCells(c);
  const int clip = std::min(cells.width, rightLimit - cells.column);
  if (clip <= 0) return;
  if (c.isCheckBox()) {
    drawCheckBox(canvas, c, focused, clip);
  } else if (c.isEdit()) {
    drawEdit(canvas, c, focused, clip);
  } else if (c.iconId != 0) {
    drawIcon(canvas, c, clip);
  } else {
    drawStaticText(canvas, c, clip);
  }
}

}  // namespace drovn::shell
