#include "platform/Terminal.h"

// The library's function-like macros (clear(), erase(), move() ...) would rewrite the members of
// the same names; its wide-character interface is wanted.
#define NCURSES_NOMACROS 1
#define NCURSES_WIDECHAR 1
#include <curses.h>
#include <langinfo.h>
#include <poll.h>
#include <unistd.h>

#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <string>

#include "platform/Utf8.h"

namespace drovn::platform {

struct Terminal::Screen {
  SCREEN* sp = nullptr;
  bool colours = false;
};

namespace {

// A lone Esc is told from the start of a key's escape sequence by this pause (milliseconds).
constexpr int kEscapeDelayMs = 25;

// Colour pairs; pair 0 is the terminal's own colours.
constexpr short kBarPair = 1;
constexpr short kDimPair = 2;

struct Look {
  attr_t attributes;
  short pair;
};

Look lookOf(CellStyle style, bool colours) {
  switch (style) {
    case CellStyle::Highlight:
      return {A_REVERSE, 0};
    case CellStyle::Bar:
      // Without colours a bar is reverse video too; a bold bar still tells it from a selection.
      return colours ? Look{A_NORMAL, kBarPair} : Look{A_REVERSE | A_BOLD, 0};
    case CellStyle::Dim:
      return colours ? Look{A_NORMAL, kDimPair} : Look{A_DIM, 0};
    case CellStyle::Normal:
      break;
  }
  return {A_NORMAL, 0};
}

bool isControl(char32_t c) {
  return c < 0x20 || (c >= 0x7F && c < 0xA0);
}

bool codesetIsUtf8() {
  const char* codeset = ::nl_langinfo(CODESET);
  return codeset != nullptr &&
         (std::strcmp(codeset, "UTF-8") == 0 || std::strcmp(codeset, "utf8") == 0);
}

KeyEvent keyOf(KeyEvent::Kind kind) {
  KeyEvent k;
  k.kind = kind;
  return k;
}

KeyEvent mouseEvent() {
  MEVENT ev{};
  if (::getmouse(&ev) != OK) return keyOf(KeyEvent::Kind::Other);
  if ((ev.bstate & BUTTON4_PRESSED) != 0) return keyOf(KeyEvent::Kind::Up);
  if ((ev.bstate & BUTTON5_PRESSED) != 0) return keyOf(KeyEvent::Kind::Down);
  constexpr mmask_t kPresses = BUTTON1_PRESSED | BUTTON2_PRESSED | BUTTON3_PRESSED |
                               BUTTON1_CLICKED | BUTTON2_CLICKED | BUTTON3_CLICKED;
  if ((ev.bstate & kPresses) == 0) return keyOf(KeyEvent::Kind::Other);
  KeyEvent k = keyOf(KeyEvent::Kind::Click);
  k.row = ev.y;
  k.column = ev.x;
  return k;
}

KeyEvent functionKey(wint_t code) {
  using Kind = KeyEvent::Kind;
  switch (code) {
    case KEY_UP:
      return keyOf(Kind::Up);
    case KEY_DOWN:
      return keyOf(Kind::Down);
    case KEY_LEFT:
      return keyOf(Kind::Left);
    case KEY_RIGHT:
      return keyOf(Kind::Right);
    case KEY_PPAGE:
      return keyOf(Kind::PageUp);
    case KEY_NPAGE:
      return keyOf(Kind::PageDown);
    case KEY_HOME:
    case KEY_FIND:  // what some terminals send for Home
      return keyOf(Kind::Home);
    case KEY_END:
    case KEY_SELECT:  // and for End
      return keyOf(Kind::End);
    case KEY_BTAB:
      return keyOf(Kind::BackTab);
    case KEY_ENTER:
      return keyOf(Kind::Enter);
    case KEY_BACKSPACE:
      return keyOf(Kind::Backspace);
    case KEY_DC:
      return keyOf(Kind::Delete);
    case KEY_RESIZE:
      return keyOf(Kind::Resize);
    case KEY_MOUSE:
      return mouseEvent();
    default:
      break;
  }
  if (code == KEY_F(1)) return keyOf(Kind::F1);
  if (code == KEY_F(2)) return keyOf(Kind::F2);
  return keyOf(Kind::Other);
}

KeyEvent characterKey(wint_t code) {
  using Kind = KeyEvent::Kind;
  switch (code) {
    case 0x1B:
      return keyOf(Kind::Escape);
    case '\r':
    case '\n':
      return keyOf(Kind::Enter);
    case '\t':
      return keyOf(Kind::Tab);
    case 0x7F:
    case 0x08:
      return keyOf(Kind::Backspace);
    case 0x01:
      return keyOf(Kind::CtrlA);
    default:
      break;
  }
  if (isControl(static_cast<char32_t>(code))) return keyOf(Kind::Other);
  KeyEvent k = keyOf(Kind::Character);
  k.ch = static_cast<char32_t>(code);
  return k;
}

}  // namespace

bool standardStreamsAreTerminal() noexcept {
  return ::isatty(STDIN_FILENO) == 1 && ::isatty(STDOUT_FILENO) == 1;
}

bool useUtf8Locale() {
  bool utf8 = std::setlocale(LC_ALL, "") != nullptr && codesetIsUtf8();
  if (!utf8) utf8 = std::setlocale(LC_ALL, "C.UTF-8") != nullptr && codesetIsUtf8();
  // The log's figures are formatted with printf: a decimal comma would change their text.
  std::setlocale(LC_NUMERIC, "C");
  return utf8;
}

InputReady waitForInput(int queueFd, int inputFd, int timeoutMs) {
  pollfd fds[2]{};
  fds[0].fd = queueFd;
  fds[0].events = POLLIN;
  fds[1].fd = inputFd;
  fds[1].events = POLLIN;
  InputReady ready;
  // EINTR (a signal, a resize): nothing is ready; the caller looks again.
  if (::poll(fds, 2, timeoutMs < 0 ? -1 : timeoutMs) <= 0) return ready;
  ready.queue = queueFd >= 0 && fds[0].revents != 0;
  ready.input = inputFd >= 0 && (fds[1].revents & POLLIN) != 0;
  ready.inputHungUp = inputFd >= 0 && (fds[1].revents & (POLLHUP | POLLERR | POLLNVAL)) != 0;
  return ready;
}

std::unique_ptr<Terminal> Terminal::open(std::string& error) {
  if (!standardStreamsAreTerminal()) {
    error = "standard input and output are not a terminal";
    return nullptr;
  }
  if (!useUtf8Locale()) {
    error = "no UTF-8 locale (not even C.UTF-8) is available";
    return nullptr;
  }
  auto screen = std::make_unique<Screen>();
  screen->sp = ::newterm(nullptr, stdout, stdin);
  if (screen->sp == nullptr) {
    const char* term = std::getenv("TERM");
    error = std::string("the terminal type '") + (term != nullptr ? term : "") + "' is unknown";
    return nullptr;
  }
  (void)::set_term(screen->sp);  // the previous screen (none) is not needed
  // Each of these only sets a mode of the screen just made; a terminal that lacks one (no
  // cursor visibility, no colours, no mouse) still works without it.
  (void)::cbreak();
  (void)::noecho();
  (void)::nonl();
  (void)::intrflush(stdscr, FALSE);
  (void)::keypad(stdscr, TRUE);
  (void)::nodelay(stdscr, TRUE);
  (void)::set_escdelay(kEscapeDelayMs);
  (void)::curs_set(0);
  // Presses come as they happen: no waiting to see whether they become clicks.
  (void)::mouseinterval(0);
  (void)::mousemask(
      BUTTON1_PRESSED | BUTTON2_PRESSED | BUTTON3_PRESSED | BUTTON4_PRESSED | BUTTON5_PRESSED,
      nullptr);
  if (::has_colors() && ::start_color() == OK) {
    const bool defaults = ::use_default_colors() == OK;
    screen->colours = ::init_pair(kBarPair, COLOR_WHITE, COLOR_BLUE) == OK;
    (void)::init_pair(kDimPair, defaults ? static_cast<short>(-1) : COLOR_WHITE,
                      defaults ? static_cast<short>(-1) : COLOR_BLACK);
  }
  return std::unique_ptr<Terminal>(new Terminal(std::move(screen)));
}

Terminal::Terminal(std::unique_ptr<Screen> screen) noexcept : screen_(std::move(screen)) {}

Terminal::~Terminal() {
  restore();
}

void Terminal::restore() noexcept {
  if (!screen_) return;
  // endwin puts the cursor, the echo, the mouse reporting and the shell's screen back; the
  // screen's memory goes with delscreen. Nothing can be done about a failure here.
  (void)::curs_set(1);
  (void)::endwin();
  ::delscreen(screen_->sp);
  screen_.reset();
}

int Terminal::rows() const {
  return screen_ ? ::getmaxy(stdscr) : 0;
}

int Terminal::columns() const {
  return screen_ ? ::getmaxx(stdscr) : 0;
}

void Terminal::clear() {
  if (screen_) (void)::werase(stdscr);  // erase, not clear: only the changed cells are redrawn
}

int Terminal::drawText(int row, int column, std::string_view text, CellStyle style,
                       int maxColumns) {
  if (!screen_ || row < 0 || row >= rows() || column < 0 || column >= columns()) return 0;
  int limit = columns() - column;
  if (maxColumns >= 0 && maxColumns < limit) limit = maxColumns;
  std::wstring out;
  int used = 0;
  for (std::size_t i = 0; i < text.size();) {
    const char32_t c = decodeUtf8(text, i);
    if (isControl(c)) continue;
    const int w = codePointWidth(c);
    if (used + w > limit) break;
    if (w == 0) {
      // A combining mark joins the character before it; with none before it, it is left out.
      if (!out.empty()) out.push_back(static_cast<wchar_t>(c));
      continue;
    }
    if (::wcwidth(static_cast<wchar_t>(c)) == w) {
      out.push_back(static_cast<wchar_t>(c));
    } else {
      out.append(static_cast<std::size_t>(w), L'?');
    }
    used += w;
  }
  const Look look = lookOf(style, screen_->colours);
  (void)::wattr_set(stdscr, look.attributes, look.pair, nullptr);
  // The last cell of the last row cannot take the cursor after it: the text is written and the
  // call reports ERR, which means nothing here.
  (void)::mvwaddnwstr(stdscr, row, column, out.c_str(), static_cast<int>(out.size()));
  (void)::wattr_set(stdscr, A_NORMAL, 0, nullptr);
  return used;
}

void Terminal::fill(int row, int column, int width, CellStyle style) {
  if (!screen_ || row < 0 || row >= rows() || column < 0 || column >= columns()) return;
  if (width > columns() - column) width = columns() - column;
  if (width <= 0) return;
  const Look look = lookOf(style, screen_->colours);
  (void)::wattr_set(stdscr, look.attributes, look.pair, nullptr);
  const std::string blanks(static_cast<std::size_t>(width), ' ');
  (void)::mvwaddnstr(stdscr, row, column, blanks.c_str(), width);  // ERR at the last cell: as above
  (void)::wattr_set(stdscr, A_NORMAL, 0, nullptr);
}

void Terminal::placeCursor(int row, int column) {
  cursorRow_ = row;
  cursorColumn_ = column;
}

int Terminal::inputFd() const {
  return screen_ ? STDIN_FILENO : -1;
}

bool Terminal::readKey(KeyEvent& out) {
  if (!screen_) return false;
  wint_t code = 0;
  const int r = ::wget_wch(stdscr, &code);
  if (r == ERR) return false;
  out = r == KEY_CODE_YES ? functionKey(code) : characterKey(code);
  return true;
}

void Terminal::present() {
  if (!screen_) return;
  if (repaintAll_) {
    (void)::clearok(curscr, TRUE);
    repaintAll_ = false;
  }
  const bool show =
      cursorRow_ >= 0 && cursorRow_ < rows() && cursorColumn_ >= 0 && cursorColumn_ < columns();
  (void)::curs_set(show ? 1 : 0);
  // The physical cursor ends where the window's cursor is: at the edit, or parked at the origin.
  (void)::wmove(stdscr, show ? cursorRow_ : 0, show ? cursorColumn_ : 0);
  (void)::wnoutrefresh(stdscr);
  (void)::doupdate();
}

void Terminal::invalidate() {
  repaintAll_ = true;
}

}  // namespace drovn::platform
