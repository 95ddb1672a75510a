// The About dialog: the program's icon, name and version, full screen. It lays itself out
// portrait or landscape to fit the screen, again at every resize, and ends on Done or close.
#pragma once

#include "platform/Canvas.h"
#include "shell/DialogTemplates.h"
#include "shell/ModalDialog.h"

namespace drovn::shell {

class AboutDialog final : public ModalDialog {
 public:
  // Made from the portrait template, as the main window opens it.
  AboutDialog();

  // Template 105 when the screen is taller than wide in pixels, otherwise 106.
  void resize(int rows, int columns) override;
  void draw(platform::Canvas& canvas) override;
  // Enter, F1 and a click on the 确定 soft key are Done (id 1); Escape is the close box. Either
  // ends the dialog.
  bool handleKey(const platform::KeyEvent& key) override;

  bool ended() const noexcept { return ended_; }
  // The template the controls were last laid out from.
  int layoutTemplate() const noexcept { return layout_; }
  const DialogControls& controls() const noexcept { return controls_; }

 private:
  DialogControls controls_;
  int layout_ = kAboutPortraitTemplate;
  int rows_ = 0;
  int columns_ = 0;
  bool ended_ = false;
};

}  // namespace drovn::shell
