// The operator's terminal: the console's canvas, keyboard and mouse, driven through ncursesw.
// This unit is the only one that sees the terminal library; it also makes the process's locale
// one the console can draw (UTF-8) and waits on the terminal and the window's queue together.
#pragma once

#include <memory>
#include <string>

#include "platform/Canvas.h"

namespace drovn::platform {

// A canvas that also gives the operator's input and puts what was drawn on the screen. The
// terminal is one; tests draw into cells kept in memory.
class ConsoleScreen : public Canvas {
 public:
  // A descriptor that is readable while input waits; -1 when there is none to wait on.
  virtual int inputFd() const = 0;
  // Takes the next input event without waiting; false when none is waiting. After a Resize
  // event rows() and columns() already give the new size.
  virtual bool readKey(KeyEvent& out) = 0;
  // Shows what was drawn since the last call; only the cells that changed travel.
  virtual void present() = 0;
  // The next present() repaints every cell (something outside may have written on the screen).
  virtual void invalidate() = 0;
};

// The terminal of the process's standard input and output. ncurses keeps one current screen for
// the process: open one Terminal at a time, on the main thread, and use it there only. Create it
// after the close signals are installed: ncurses then leaves SIGINT and SIGTERM to them, and
// only cleans up on SIGTSTP and SIGWINCH as usual.
class Terminal final : public ConsoleScreen {
 public:
  // Takes over the screen: keypad, mouse presses, no echo, line input off (Ctrl+C still sends
  // SIGINT), a short delay for a lone Esc, hidden cursor. Null with the reason in `error` when
  // standard input or output is not a terminal, no UTF-8 locale exists, or TERM is unknown.
  static std::unique_ptr<Terminal> open(std::string& error);
  // Gives the screen back as it was (restore()).
  ~Terminal() override;
  Terminal(const Terminal&) = delete;
  Terminal& operator=(const Terminal&) = delete;

  // Ends the console's use of the terminal at once: the cursor, the echo, the mouse reporting
  // and the screen the shell had come back. For a program about to leave without destructors.
  // Idempotent; after it every drawing call does nothing and readKey gives false.
  void restore() noexcept;

  int rows() const override;
  int columns() const override;
  void clear() override;
  // Control characters are left out (they would move the cursor or be shown as two cells), and
  // a character the locale cannot show is drawn as '?' in each of its cells, so the cells used
  // always match displayWidth of what was drawn.
  int drawText(int row, int column, std::string_view text, CellStyle style,
               int maxColumns = -1) override;
  void fill(int row, int column, int width, CellStyle style) override;
  void placeCursor(int row, int column) override;

  int inputFd() const override;
  // Function keys F1 and F2, the arrows, PgUp/PgDn, Home/End, Tab and Shift+Tab, Enter, Esc,
  // Backspace, Delete, Ctrl+A, printable characters (UTF-8 decoded by the locale), mouse button
  // presses as Click (the wheel as Up and Down), a size change as Resize; anything else Other.
  bool readKey(KeyEvent& out) override;
  void present() override;
  void invalidate() override;

  struct Screen;

 private:
  explicit Terminal(std::unique_ptr<Screen> screen) noexcept;
  std::unique_ptr<Screen> screen_;  // null once restored
  int cursorRow_ = -1;
  int cursorColumn_ = -1;
  bool repaintAll_ = false;
};

// True when standard input and standard output are both terminals.
bool standardStreamsAreTerminal() noexcept;

// Takes the locale from the environment; when its character set is not UTF-8, C.UTF-8 instead.
// Numbers keep the C form whatever the environment says (the progress line prints "2.0 MB").
// Call it before other threads start: the locale is the process's. False when no UTF-8 locale
// could be set (the locale is then the environment's or "C").
bool useUtf8Locale();

struct InputReady {
  bool queue = false;
  bool input = false;
  bool inputHungUp = false;  // the input's other end is gone: it will never be readable again
};
// Waits up to timeoutMs (negative: without limit) until queueFd or inputFd is readable; a
// negative descriptor is not waited on. A signal ends the wait early with nothing ready.
InputReady waitForInput(int queueFd, int inputFd, int timeoutMs);

}  // namespace drovn::platform
