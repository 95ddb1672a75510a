// A full-screen modal dialog of the console (About, Options). The window runs it: it hands the
// dialog every key and every resize and redraws it, while the main window's messages keep being
// handled behind it, so the log goes on arriving.
#pragma once

#include "platform/Canvas.h"

namespace drovn::shell {

class ModalDialog {
 public:
  virtual ~ModalDialog() = default;
  // The screen is rows x columns cells. Called before the first draw and again on every resize,
  // so the dialog can lay itself out anew (portrait or landscape).
  virtual void resize(int rows, int columns) = 0;
  // Draws the whole screen: the dialog owns it while it runs.
  virtual void draw(platform::Canvas& canvas) = 0;
  // One key or click. False once the dialog has ended (its outcome is the dialog's own).
  virtual bool handleKey(const platform::KeyEvent& key) = 0;
};

}  // namespace drovn::shell
