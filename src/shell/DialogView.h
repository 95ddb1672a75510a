// What the console's dialogs share: where a control lands in cells, how an edit takes keys and
// scrolls sideways, and how the caption, the soft-key bar and each control are drawn.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "platform/Canvas.h"
#include "shell/DialogTemplates.h"

namespace drovn::shell {

// An edit holds at most this many UTF-16 units (a character past U+FFFF counts two): all that
// the dialog reads back from it. Its text itself is UTF-8.
inline constexpr std::size_t kEditTextLimit = 511;

// ---- Where a control is ----------------------------------------------------------------------

// The control's cells on the screen (its client rectangle below the caption row).
CellRect controlCells(const DialogControl& c) noexcept;
// The row a one-line control (check box, edit) is drawn on: the one holding its middle pixel.
int controlTextRow(const DialogControl& c) noexcept;
// The cells an edit's text may take between its brackets (at least 1).
int editInnerWidth(const DialogControl& c) noexcept;

// ---- Edits -----------------------------------------------------------------------------------

// Inserts a typed character at the caret. Refused (false) for a control character, a surrogate
// or a value past U+10FFFF, and when it would take the text past kEditTextLimit units.
bool insertCharacter(DialogControl& edit, char32_t c);
// Caret movement and deletion, a whole character at a time. True when the key
// was an editing key (Left, Right, Home, End, Backspace, Delete), whether or not it changed
// anything.
bool editKey(DialogControl& edit, platform::KeyEvent::Kind key);
// Replaces the text (valid UTF-8, cut to kEditTextLimit units at a character boundary) and puts
// the caret at its end.
void setEditText(DialogControl& edit, std::string_view text);
// What the edit shows: its text, or one '*' per character for a password edit.
std::string editDisplayText(const DialogControl& edit);
// Moves the first character shown so that the caret's cell lies inside the edit, and so that no
// cell is left empty before the text's end when the text could fill it.
void scrollEditToCursor(DialogControl& edit);
// The caret position for a click `cells` cells into the edit's text area.
std::size_t editIndexAtCell(const DialogControl& edit, int cells);

// ---- Drawing ---------------------------------------------------------------------------------

// The visible rows of a full-screen dialog's client area: between the caption and the soft keys.
constexpr int firstClientRow() noexcept {
  return 1;
}
constexpr int lastClientRow(int screenRows) noexcept {
  return screenRows - 2;
}

void drawCaption(platform::Canvas& canvas, std::string_view caption);
void drawSoftKeys(platform::Canvas& canvas, std::string_view left, std::string_view right);
enum class SoftKey { None, Left, Right };
// Which soft key a click on a screen of rows x columns hits: the bottom row's left half is the
// left key, its right half the right key.
SoftKey softKeyAt(int rows, int columns, int row, int column) noexcept;
// Draws the control on the client rows, cut before `rightLimit` (a column). The focused edit
// places the terminal cursor on its caret.
void drawControl(platform::Canvas& canvas, const DialogControl& c, bool focused, int rightLimit);

}  // namespace drovn::shell
