// The Options dialog: the one place where the operator edits the settings. OK copies every
// control into the settings and has all fifteen values saved; Cancel and closing change
// nothing. Nothing typed is checked: it is stored as typed, cut only to what a field holds.
#pragma once

#include <functional>
#include <string_view>

#include "config/Settings.h"
#include "platform/Canvas.h"
#include "platform/TextCodec.h"
#include "shell/DialogTemplates.h"
#include "shell/ModalDialog.h"

namespace drovn::shell {

// The soft keys' commands.
inline constexpr int kCmdOptionsOk = 32788;
inline constexpr int kCmdOptionsCancel = 32789;

// The vertical scroll bar's page and line, in pixels.
inline constexpr int kOptionsScrollPage = 50;
inline constexpr int kOptionsScrollLine = 10;

enum class ScrollRequest {
  LineUp,
  LineDown,
  PageUp,
  PageDown,
  ThumbTrack,
  ThumbPosition,
  Top,
  Bottom,
  EndScroll
};

struct ScrollBarState {
  int minimum = 0;
  int maximum = 0;
  int page = 0;
  int position = 0;
  // The largest position the bar takes: the range's maximum less the page (never below 0).
  int maximumPosition() const noexcept { return maximum - page > 0 ? maximum - page : 0; }
};

class OptionsDialog final : public ModalDialog {
 public:
  enum class Outcome { Open, Ok, Cancelled, Closed };
  // Given the settings written at OK, after the store holds them.
  using SaveFunction = std::function<void(const config::Settings&)>;

  // Made from template 129 and filled from the store's settings; the focus on the first control.
  OptionsDialog(config::SettingsStore& settings, platform::TextCodec& codec, SaveFunction save);

  void resize(int rows, int columns) override;
  void draw(platform::Canvas& canvas) override;
  bool handleKey(const platform::KeyEvent& key) override;

  // The dialog's commands: OK (1 or 32788) copies and saves, Cancel (32789) copies nothing;
  // both end the dialog. Other ids do nothing.
  void command(int id);
  // The close box (Escape): ends the dialog, nothing copied.
  void close();

  // Fills the controls from the settings, in the settings' order.
  void settingsToControls(const config::Settings& s);
  // Copies the controls into s: each flag from its box, each text converted to code-page bytes
  // and cut to the field at a character boundary.
  void controlsToSettings(config::Settings& s);

  // One scroll request (trackPosition for ThumbTrack); gives the pixels the controls moved up.
  int scroll(ScrollRequest request, int trackPosition = 0);
  const ScrollBarState& scrollBar() const noexcept { return scrollBar_; }

  Outcome outcome() const noexcept { return outcome_; }
  const DialogControls& controls() const noexcept { return controls_; }
  const DialogControl* control(int id) const noexcept { return findControl(controls_, id); }
  // The focused control's id.
  int focusedId() const noexcept;

 private:
  int nextFocus(int from, int step) const;
  void setFocus(std::size_t index);
  // Scrolls by lines until the focused control's row is on screen, or the bar's end is reached.
  void scrollFocusIntoView();
  void moveFocusVertically(int direction);
  void click(int row, int column);
  void end(Outcome outcome);
  bool isOnScreen(const DialogControl& c) const;
  int scrollBarColumn() const noexcept { return columns_ - 1; }
  // The scroll bar's thumb row, -1 when the bar has no track.
  int thumbRow() const noexcept;

  config::SettingsStore& settings_;
  platform::TextCodec& codec_;
  SaveFunction save_;
  DialogControls controls_;
  std::size_t focus_ = 0;  // index into controls_
  ScrollBarState scrollBar_;
  int rows_ = 0;
  int columns_ = 0;
  Outcome outcome_ = Outcome::Open;
};

}  // namespace drovn::shell
