#include "shell/OptionsDialog.h"

#include <array>
#include <cstdlib>
#include <utility>

#include "platform/FixedText.h"
#include "shell/DialogView.h"

namespace drovn::shell {

namespace {

using platform::CellStyle;
using platform::KeyEvent;

// A control and the settings field it shows.
struct Binding {
  int id;
  bool config::Settings::*flag;
  config::SettingsText config::Settings::*text;
};

constexpr Binding flagBinding(int id, bool config::Settings::*flag) {
  return {id, flag, nullptr};
}
constexpr Binding textBinding(int id, config::SettingsText config::Settings::*text) {
  return {id, nullptr, text};
}

// Filling and reading both go through the controls in this order.
constexpr std::array<Binding, config::kSettingCount> kBindings{{
    flagBinding(kIdEnable1, &config::Settings::auth_enable1),
    textBinding(kIdUser1, &config::Settings::auth_user1),
    textBinding(kIdPassword1, &config::Settings::auth_pwd1),
    textBinding(kIdRoot1, &config::Settings::auth_root1),
    flagBinding(kIdEnable2, &config::Settings::auth_enable2),
    textBinding(kIdUser2, &config::Settings::auth_user2),
    textBinding(kIdPassword2, &config::Settings::auth_pwd2),
    textBinding(kIdRoot2, &config::Settings::auth_root2),
    flagBinding(kIdAnonymous, &config::Settings::auth_Anonymous),
    textBinding(kIdAnonymousRoot, &config::Settings::auth_anonyRoot),
    flagBinding(kIdEnableUtf8, &config::Settings::opt_enableUtf8),
    flagBinding(kIdKeepLightOn, &config::Settings::opt_keepLightOn),
    flagBinding(kIdManualIp, &config::Settings::use_manualip),
    textBinding(kIdAddress, &config::Settings::bind_manualip),
    textBinding(kIdPort, &config::Settings::bind_manualport),
}};

// A field's text as UTF-8: each of its code-page bytes gives at most three bytes.
using ControlText = FixedText<3 * config::SettingsText::kCapacity + 1>;
static_assert(config::SettingsText::kCapacity == kEditTextLimit,
              "a code-page byte gives at most one UTF-16 unit, so an edit takes a whole field");

constexpr std::string_view kOkText = "确定";
constexpr std::string_view kCancelText = "取消";

// The vertical middle of a control in pixels, for moving up and down between rows.
int middleOf(const DialogControl& c) {
  return c.rect.top + c.rect.height / 2;
}

}  // namespace

OptionsDialog::OptionsDialog(config::SettingsStore& settings, platform::TextCodec& codec,
                             SaveFunction save)
    : settings_(settings), codec_(codec), save_(std::move(save)) {
  const DialogTemplate* t = findDialogTemplate(kOptionsTemplate);
  if (t) controls_ = createControls(*t);
  // The range ends at the address edit's top on the screen, as the dialog first shows it.
  if (const DialogControl* address = findControl(controls_, kIdAddress)) {
    scrollBar_ = ScrollBarState{0, kDialogClientTopPx + address->rect.top, kOptionsScrollPage, 0};
  }
  settingsToControls(settings_.snapshot());
  focus_ = 0;
  const int first = nextFocus(-1, 1);
  if (first >= 0) focus_ = static_cast<std::size_t>(first);
}

void OptionsDialog::resize(int rows, int columns) {
  rows_ = rows;
  columns_ = columns;
}

int OptionsDialog::focusedId() const noexcept {
  return focus_ < controls_.size() ? controls_[focus_].id : kIdStatic;
}

void OptionsDialog::settingsToControls(const config::Settings& s) {
  for (const Binding& b : kBindings) {
    DialogControl* c = findControl(controls_, b.id);
    if (!c) continue;
    if (b.flag) {
      c->checked = s.*b.flag;
      continue;
    }
    ControlText utf8;
    utf8.syncLength(codec_.codePageToUtf8(utf8.data(), utf8.bufferSize(), (s.*b.text).view()));
    setEditText(*c, utf8.view());
  }
}

void OptionsDialog::controlsToSettings(config::Settings& s) {
  for (const Binding& b : kBindings) {
    const DialogControl* c = findControl(controls_, b.id);
    if (!c) continue;
    if (b.flag) {
      s.*b.flag = c->checked;
      continue;
    }
    // The conversion stops before a double-byte character that would not fit whole, so the
    // field ends at a character boundary, terminated, within its 511 bytes.
    config::SettingsText& field = s.*b.text;
    field.syncLength(codec_.utf8ToCodePage(field.data(), field.bufferSize(), c->text));
  }
}

void OptionsDialog::command(int id) {
  if (outcome_ != Outcome::Open) return;
  if (id == kIdOk || id == kCmdOptionsOk) {
    config::Settings s = settings_.snapshot();
    controlsToSettings(s);
    settings_.replace(s);
    if (save_) save_(s);
    end(Outcome::Ok);
  } else if (id == kCmdOptionsCancel) {
    end(Outcome::Cancelled);
  }
}

void OptionsDialog::close() {
  if (outcome_ == Outcome::Open) end(Outcome::Closed);
}

void OptionsDialog::end(Outcome outcome) {
  outcome_ = outcome;
}

int OptionsDialog::scroll(ScrollRequest request, int trackPosition) {
  const int maxPosition = scrollBar_.maximumPosition();
  const int current = scrollBar_.position;
  int delta = 0;
  switch (request) {
    case ScrollRequest::LineUp:
      delta = -kOptionsScrollLine;
      break;
    case ScrollRequest::LineDown:
      delta = kOptionsScrollLine;
      break;
    case ScrollRequest::PageUp:
      delta = -scrollBar_.page;
      break;
    case ScrollRequest::PageDown:
      delta = scrollBar_.page;
      break;
    case ScrollRequest::ThumbTrack:
      delta = trackPosition - current;
      break;
    case ScrollRequest::Top:
      delta = -maxPosition;
      break;
    case ScrollRequest::Bottom:
      delta = maxPosition;
      break;
    case ScrollRequest::ThumbPosition:
    case ScrollRequest::EndScroll:
      break;
  }
  int position = current + delta;
  if (position < 0) {
    position = 0;
    delta = -current;
  } else if (position > maxPosition) {
    delta -= position - maxPosition;
    position = maxPosition;
  }
  scrollBar_.position = position;
  // The client area scrolls with its controls: they move up by the delta.
  if (delta != 0) {
    for (DialogControl& c : controls_) c.rect.top -= delta;
  }
  return delta;
}

int OptionsDialog::nextFocus(int from, int step) const {
  const int count = static_cast<int>(controls_.size());
  for (int i = 1; i <= count; ++i) {
    const int index = ((from + step * i) % count + count) % count;
    if (controls_[static_cast<std::size_t>(index)].isTabStop()) return index;
  }
  return -1;
}

void OptionsDialog::setFocus(std::size_t index) {
  if (index < controls_.size() && controls_[index].isTabStop()) focus_ = index;
}

bool OptionsDialog::isOnScreen(const DialogControl& c) const {
  const int row = controlTextRow(c);
  return row >= firstClientRow() && row <= lastClientRow(rows_);
}

void OptionsDialog::scrollFocusIntoView() {
  if (focus_ >= controls_.size() || lastClientRow(rows_) < firstClientRow()) return;
  const DialogControl& c = controls_[focus_];
  // Every step moves the controls or ends the loop; the range bounds the steps.
  const int maxSteps = scrollBar_.maximum / kOptionsScrollLine + 2;
  for (int step = 0; step < maxSteps && !isOnScreen(c); ++step) {
    const bool above = controlTextRow(c) < firstClientRow();
    if (scroll(above ? ScrollRequest::LineUp : ScrollRequest::LineDown) == 0) break;
  }
}

void OptionsDialog::moveFocusVertically(int direction) {
  if (focus_ >= controls_.size()) return;
  const DialogControl& current = controls_[focus_];
  const int from = middleOf(current);
  int best = -1;
  for (std::size_t i = 0; i < controls_.size(); ++i) {
    const DialogControl& c = controls_[i];
    if (!c.isTabStop()) continue;
    const int distance = (middleOf(c) - from) * direction;
    if (distance <= 0) continue;
    if (best < 0) {
      best = static_cast<int>(i);
      continue;
    }
    const DialogControl& b = controls_[static_cast<std::size_t>(best)];
    const int bestDistance = (middleOf(b) - from) * direction;
    if (distance < bestDistance ||
        (distance == bestDistance &&
         std::abs(c.rect.left - current.rect.left) < std::abs(b.rect.left - current.rect.left))) {
      best = static_cast<int>(i);
    }
  }
  if (best < 0) {
    // Nothing further that way: the dialog itself scrolls on.
    (void)scroll(direction > 0 ? ScrollRequest::LineDown : ScrollRequest::LineUp);
    return;
  }
  setFocus(static_cast<std::size_t>(best));
  scrollFocusIntoView();
}

void OptionsDialog::click(int row, int column) {
  switch (softKeyAt(rows_, columns_, row, column)) {
    case SoftKey::Left:
      command(kCmdOptionsOk);
      return;
    case SoftKey::Right:
      command(kCmdOptionsCancel);
      return;
    case SoftKey::None:
      break;
  }
  if (row < firstClientRow() || row > lastClientRow(rows_)) return;
  if (column == scrollBarColumn()) {
    if (row == firstClientRow()) {
      (void)scroll(ScrollRequest::LineUp);
    } else if (row == lastClientRow(rows_)) {
      (void)scroll(ScrollRequest::LineDown);
    } else {
      // The track pages towards the click, as a scroll bar's does.
      const int thumb = thumbRow();
      if (row < thumb) (void)scroll(ScrollRequest::PageUp);
      if (row > thumb) (void)scroll(ScrollRequest::PageDown);
    }
    return;
  }
  for (std::size_t i = 0; i < controls_.size(); ++i) {
    DialogControl& c = controls_[i];
    if (!c.isTabStop() || controlTextRow(c) != row) continue;
    const CellRect cells = controlCells(c);
    if (column < cells.column || column >= cells.column + cells.width) continue;
    setFocus(i);
    if (c.isCheckBox()) {
      c.checked = !c.checked;
    } else if (c.isEdit()) {
      c.cursor = editIndexAtCell(c, column - cells.column - 1);
      scrollEditToCursor(c);
    }
    return;
  }
}

int OptionsDialog::thumbRow() const noexcept {
  // The track lies between the two arrow rows.
  const int firstTrack = firstClientRow() + 1;
  const int trackRows = lastClientRow(rows_) - firstTrack;
  if (trackRows <= 0) return -1;
  const int maxPosition = scrollBar_.maximumPosition();
  if (maxPosition == 0) return firstTrack;
  return firstTrack + scrollBar_.position * (trackRows - 1) / maxPosition;
}

bool OptionsDialog::handleKey(const KeyEvent& key) {
  if (outcome_ != Outcome::Open) return false;
  DialogControl* focused = focus_ < controls_.size() ? &controls_[focus_] : nullptr;
  switch (key.kind) {
    case KeyEvent::Kind::F1:
      command(kCmdOptionsOk);
      break;
    case KeyEvent::Kind::F2:
      command(kCmdOptionsCancel);
      break;
    case KeyEvent::Kind::Enter:
      command(kIdOk);
      break;
    case KeyEvent::Kind::Escape:
      close();
      break;
    case KeyEvent::Kind::Tab:
    case KeyEvent::Kind::BackTab: {
      const int next =
          nextFocus(static_cast<int>(focus_), key.kind == KeyEvent::Kind::Tab ? 1 : -1);
      if (next >= 0) setFocus(static_cast<std::size_t>(next));
      scrollFocusIntoView();
      break;
    }
    case KeyEvent::Kind::Up:
      moveFocusVertically(-1);
      break;
    case KeyEvent::Kind::Down:
      moveFocusVertically(1);
      break;
    case KeyEvent::Kind::PageUp:
      (void)scroll(ScrollRequest::PageUp);
      break;
    case KeyEvent::Kind::PageDown:
      (void)scroll(ScrollRequest::PageDown);
      break;
    case KeyEvent::Kind::Character:
      if (focused && focused->isCheckBox() && key.ch == U' ') {
        focused->checked = !focused->checked;
      } else if (focused && focused->isEdit()) {
        (void)insertCharacter(*focused, key.ch);  // a refused character is simply not typed
      }
      break;
    case KeyEvent::Kind::Click:
      click(key.row, key.column);
      break;
    default:
      if (focused && focused->isEdit()) (void)editKey(*focused, key.kind);
      break;
  }
  return outcome_ == Outcome::Open;
}

void OptionsDialog::draw(platform::Canvas& canvas) {
  canvas.clear();
  canvas.placeCursor(-1, -1);
  const DialogTemplate* t = findDialogTemplate(kOptionsTemplate);
  drawCaption(canvas, t ? t->caption : std::string_view());
  for (std::size_t i = 0; i < controls_.size(); ++i) {
    drawControl(canvas, controls_[i], i == focus_, scrollBarColumn());
  }
  const int first = firstClientRow();
  const int last = lastClientRow(canvas.rows());
  if (last > first) {
    const int column = scrollBarColumn();
    for (int row = first; row <= last; ++row) {
      canvas.drawText(row, column, "|", CellStyle::Dim, 1);
    }
    canvas.drawText(first, column, "^", CellStyle::Bar, 1);
    canvas.drawText(last, column, "v", CellStyle::Bar, 1);
    const int thumb = thumbRow();
    if (thumb > first && thumb < last) canvas.drawText(thumb, column, "#", CellStyle::Highlight, 1);
  }
  drawSoftKeys(canvas, kOkText, kCancelText);
}

}  // namespace drovn::shell
