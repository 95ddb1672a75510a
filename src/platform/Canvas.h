// What the console's front end draws on and reads from, kept free of any terminal library so
// that the dialogs and the window logic can be tested against an in-memory canvas. The terminal
// implementation (ncursesw) lives beside it in the platform layer.
#pragma once

#include <cstddef>
#include <string_view>

namespace drovn::platform {

enum class CellStyle {
  Normal,
  Highlight,  // a selected row, the focused control, an open menu item
  Bar,        // the title bar and the soft-key bar
  Dim,        // a separator, a hint
};

class Canvas {
 public:
  virtual ~Canvas() = default;
  virtual int rows() const = 0;
  virtual int columns() const = 0;
  // Blanks the whole canvas.
  virtual void clear() = 0;
  // Draws UTF-8 text on one row from (row, column). It is cut at the right edge, and after
  // maxColumns cells when maxColumns >= 0, always at a character boundary: a double-width character
  // that does not fit whole is left out. Gives the cells used. Out-of-range rows draw nothing.
  virtual int drawText(int row, int column, std::string_view text, CellStyle style,
                       int maxColumns = -1) = 0;
  // Paints width blank cells in the style (a bar, a highlighted row).
  virtual void fill(int row, int column, int width, CellStyle style) = 0;
  // Where the terminal cursor shows (an edit being typed in); negative hides it.
  virtual void placeCursor(int row, int column) = 0;
};

// The cells a UTF-8 text takes on a terminal: 2 for a wide (CJK) character, 0 for a combining
// or control character, 1 otherwise. A maximal invalid subsequence counts as one replacement
// character.
int displayWidth(std::string_view text);
// The cells of one code point, as above.
int codePointWidth(char32_t c);
// How many bytes of text fit in `columns` cells without splitting a character.
std::size_t fittingBytes(std::string_view text, int columns);

// One input event of the console.
struct KeyEvent {
  enum class Kind {
    Character,  // ch holds the code point typed
    Up,
    Down,
    Left,
    Right,
    PageUp,
    PageDown,
    Home,
    End,
    Tab,
    BackTab,
    Enter,
    Escape,
    Backspace,
    Delete,
    F1,
    F2,
    CtrlA,
    Click,   // a mouse button press at (row, column)
    Resize,  // the terminal changed size
    Other,
  };
  Kind kind = Kind::Other;
  char32_t ch = 0;
  int row = -1;
  int column = -1;
};

}  // namespace drovn::platform
