#include "shell/DialogView.h"

#include <algorithm>

#include "platform/Utf8.h"

namespace drovn::shell {

namespace {

using platform::CellStyle;
using platform::KeyEvent;

bool isContinuationByte(char b) {
  return (static_cast<unsigned char>(b) & 0xC0) == 0x80;
}

// The index after the character at i, and the index of the character before i (i > 0). An edit's
// text is always valid UTF-8 (typed characters and the codec's output), so a character starts at
// the first byte that is not a continuation byte.
std::size_t nextIndex(std::string_view s, std::size_t i) {
  (void)platform::decodeUtf8(s, i);  // only the step is wanted
  return i;
}
std::size_t previousIndex(std::string_view s, std::size_t i) {
  do {
    --i;
  } while (i > 0 && isContinuationByte(s[i]));
  return i;
}

// The UTF-16 units of a character, by which an edit's length is counted.
std::size_t unitsOf(char32_t c) {
  return c >= 0x10000 ? 2 : 1;
}
std::size_t unitCount(std::string_view s) {
  std::size_t units = 0;
  for (std::size_t i = 0; i < s.size();) units += unitsOf(platform::decodeUtf8(s, i));
  return units;
}

// The cells the character at i takes in the edit: a password edit shows one '*' for each.
int characterCells(const DialogControl& edit, std::size_t i) {
  if (edit.isPassword()) return 1;
  const std::size_t end = nextIndex(edit.text, i);
  return platform::displayWidth(std::string_view(edit.text).substr(i, end - i));
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
  std::string text = c.checked ? "[x] " : "[ ] ";
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
  canvas.drawText(row, column, "[", CellStyle::Normal, clip);
  if (innerShown <= 0) return;
  canvas.fill(row, column + 1, innerShown, style);
  const std::string shown = editDisplayText(c);
  // The password form has one byte per character, so its first shown byte is counted anew.
  std::size_t first = c.firstVisible;
  if (c.isPassword()) first = static_cast<std::size_t>(cellsBetween(c, 0, c.firstVisible));
  canvas.drawText(row, column + 1, std::string_view(shown).substr(std::min(first, shown.size())),
                  style, innerShown);
  if (clip >= inner + 2) canvas.drawText(row, column + 1 + inner, "]", CellStyle::Normal, 1);
  if (focused) {
    const int caret = cellsBetween(c, c.firstVisible, c.cursor);
    if (caret < innerShown) canvas.placeCursor(row, column + 1 + caret);
  }
}

// A static's text, broken into lines of the control's width (at character boundaries), from its
// top row down; a centred static centres each line.
void drawStaticText(platform::Canvas& canvas, const DialogControl& c, int clip) {
  const CellRect cells = controlCells(c);
  std::string_view rest = c.text;
  for (int line = 0; line < cells.height && !rest.empty(); ++line) {
    const std::size_t bytes = platform::fittingBytes(rest, clip);
    if (bytes == 0) break;  // not even one character fits
    const std::string_view piece = rest.substr(0, bytes);
    rest.remove_prefix(bytes);
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
  if (unitCount(edit.text) + unitsOf(c) > kEditTextLimit) return false;
  char bytes[4];
  const std::size_t count = platform::encodeUtf8(c, bytes);
  edit.cursor = std::min(edit.cursor, edit.text.size());
  edit.text.insert(edit.cursor, bytes, count);
  edit.cursor += count;
  scrollEditToCursor(edit);
  return true;
}

bool editKey(DialogControl& edit, KeyEvent::Kind key) {
  std::string& text = edit.text;
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

void setEditText(DialogControl& edit, std::string_view text) {
  // Whole characters only: a character cut in half would read back as a '?'.
  std::size_t end = 0;
  std::size_t units = 0;
  while (end < text.size()) {
    std::size_t next = end;
    units += unitsOf(platform::decodeUtf8(text, next));
    if (units > kEditTextLimit) break;
    end = next;
  }
  edit.text.assign(text.substr(0, end));
  edit.cursor = edit.text.size();
  edit.firstVisible = 0;
  scrollEditToCursor(edit);
}

std::string editDisplayText(const DialogControl& edit) {
  if (!edit.isPassword()) return edit.text;
  std::string stars;
  for (std::size_t i = 0; i < edit.text.size(); i = nextIndex(edit.text, i)) stars += '*';
  return stars;
}

void scrollEditToCursor(DialogControl& edit) {
  const int inner = editInnerWidth(edit);
  const std::string_view text = edit.text;
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

void drawCaption(platform::Canvas& canvas, std::string_view caption) {
  canvas.fill(0, 0, canvas.columns(), CellStyle::Bar);
  canvas.drawText(0, 1, caption, CellStyle::Bar, canvas.columns() - 1);
}

void drawSoftKeys(platform::Canvas& canvas, std::string_view left, std::string_view right) {
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
