#include "shell/AboutDialog.h"

#include "shell/DialogView.h"

namespace drovn::shell {

AboutDialog::AboutDialog() {
  if (const DialogTemplate* t = findDialogTemplate(kAboutPortraitTemplate)) {
    controls_ = createControls(*t);
  }
}

void AboutDialog::resize(int rows, int columns) {
  rows_ = rows;
  columns_ = columns;
  const int wanted =
      isPortraitScreen(rows, columns) ? kAboutPortraitTemplate : kAboutLandscapeTemplate;
  if (relayoutDialog(controls_, wanted)) layout_ = wanted;
}

void AboutDialog::draw(platform::Canvas& canvas) {
  canvas.clear();
  canvas.placeCursor(-1, -1);
  const DialogTemplate* t = findDialogTemplate(layout_);
  drawCaption(canvas, t ? t->caption : std::string_view());
  for (const DialogControl& c : controls_) drawControl(canvas, c, false, canvas.columns());
  drawSoftKeys(canvas, "确定", {});
}

bool AboutDialog::handleKey(const platform::KeyEvent& key) {
  if (ended_) return false;
  switch (key.kind) {
    case platform::KeyEvent::Kind::Enter:
    case platform::KeyEvent::Kind::F1:
    case platform::KeyEvent::Kind::Escape:
      ended_ = true;
      break;
    case platform::KeyEvent::Kind::Click:
      if (softKeyAt(rows_, columns_, key.row, key.column) == SoftKey::Left) ended_ = true;
      break;
    default:
      break;
  }
  return !ended_;
}

}  // namespace drovn::shell
