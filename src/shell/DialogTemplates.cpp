#include "shell/DialogTemplates.h"

#include <array>
#include <utility>

namespace drovn::shell {

namespace {

constexpr uint32_t kCheckBoxStyle =
    kStyleChild | kStyleVisible | kStyleTabStop | kStyleAutoCheckBox;
constexpr uint32_t kEditStyle =
    kStyleChild | kStyleVisible | kStyleBorder | kStyleTabStop | kStyleAutoHScroll;
constexpr uint32_t kPasswordStyle = kEditStyle | kStylePassword;
constexpr uint32_t kStaticStyle = kStyleChild | kStyleVisible;
constexpr uint32_t kCenteredStaticStyle = kStaticStyle | kStyleCenter;
constexpr uint32_t kIconStyle = kStaticStyle | kStyleIcon | kStyleCenterImage;

constexpr std::string_view kFont = "MS Shell Dlg";
constexpr int kPointSize = 8;
constexpr std::string_view kAboutCaption = "关于 Drovn";
constexpr std::string_view kAboutDescription = "Linux 上带操作台的小型FTP服务器";

constexpr ControlTemplate checkBox(int id, std::string_view text, DialogRect r) {
  return ControlTemplate{ControlKind::Button, id, text, 0, kCheckBoxStyle, r};
}
constexpr ControlTemplate edit(int id, DialogRect r) {
  return ControlTemplate{ControlKind::Edit, id, {}, 0, kEditStyle, r};
}
constexpr ControlTemplate password(int id, DialogRect r) {
  return ControlTemplate{ControlKind::Edit, id, {}, 0, kPasswordStyle, r};
}
constexpr ControlTemplate label(int id, std::string_view text, uint32_t style, DialogRect r) {
  return ControlTemplate{ControlKind::Static, id, text, 0, style, r};
}
constexpr ControlTemplate icon(int id, int resourceId, DialogRect r) {
  return ControlTemplate{ControlKind::Static, id, {}, resourceId, kIconStyle, r};
}

// Portrait: the icon, then the two lines under it, all centred in a screen 39 cells wide.
constexpr std::array kAboutPortraitControls{
    icon(kIdAboutIcon, kProgramIcon, {62, 12, 32, 32}),
    label(kIdAboutProduct, kProductLine, kCenteredStaticStyle, {4, 56, 148, 10}),
    label(kIdAboutDescription, kAboutDescription, kCenteredStaticStyle, {4, 72, 148, 20}),
};

// Landscape: the icon on the left, the two lines centred beside it. The styles are those of
// the portrait controls: a re-layout moves controls and puts their titles back, it does not
// change what kind of control they are.
constexpr std::array kAboutLandscapeControls{
    icon(kIdAboutIcon, kProgramIcon, {8, 8, 32, 32}),
    label(kIdAboutProduct, kProductLine, kCenteredStaticStyle, {52, 14, 220, 10}),
    label(kIdAboutDescription, kAboutDescription, kCenteredStaticStyle, {52, 30, 220, 10}),
};

constexpr std::array kOptionsControls{
    checkBox(kIdEnable1, "用户1 名称/密码/目录：", {2, 22, 116, 12}),
    edit(kIdUser1, {2, 34, 68, 13}),
    password(kIdPassword1, {72, 34, 46, 13}),
    checkBox(kIdEnable2, "用户2 名称/密码/目录：", {2, 67, 116, 10}),
    edit(kIdUser2, {2, 78, 68, 13}),
    password(kIdPassword2, {72, 78, 46, 13}),
    edit(kIdRoot1, {2, 49, 116, 13}),
    edit(kIdRoot2, {2, 93, 116, 13}),
    checkBox(kIdAnonymous, "匿名用户 目录：", {2, 111, 116, 11}),
    edit(kIdAnonymousRoot, {2, 123, 116, 13}),
    checkBox(kIdEnableUtf8, "启用UTF8编码", {2, 145, 116, 11}),
    checkBox(kIdManualIp, "指定IP和端口：", {2, 175, 116, 10}),
    edit(kIdAddress, {2, 187, 84, 13}),
    edit(kIdPort, {88, 187, 30, 13}),
    checkBox(kIdKeepLightOn, "保持屏幕常亮", {2, 159, 116, 11}),
    label(kIdStatic, kProductLine, kStaticStyle, {2, 4, 117, 19}),
};

constexpr uint32_t kAboutStyle = kStylePopup | kStyleCaption | kStyleSetFont;
constexpr uint32_t kOptionsStyle = kStylePopup | kStyleCaption | kStyleVScroll | kStyleSetFont;

constexpr std::array kTemplates{
    DialogTemplate{kAboutPortraitTemplate, kAboutCaption, kAboutStyle, 156, 160, kPointSize, kFont,
                   kAboutPortraitControls},
    DialogTemplate{kAboutLandscapeTemplate, kAboutCaption, kAboutStyle, 280, 100, kPointSize, kFont,
                   kAboutLandscapeControls},
    DialogTemplate{kOptionsTemplate, "Drovn选项", kOptionsStyle, 143, 213, kPointSize, kFont,
                   kOptionsControls},
};

// The program icon, a box that says FTP: 8 cells by 4 rows, plain ASCII so that no terminal
// takes a line drawing character for a wide one.
constexpr std::array<std::string_view, 4> kProgramIconArt{
    "+------+",
    "| FTP  |",
    "| <==> |",
    "+------+",
};

bool isImageStatic(const ControlTemplate& c) {
  return c.kind == ControlKind::Static && (c.style & kStyleIcon) == kStyleIcon;
}

// Puts the template's title into the control: its text, or its icon if the resource exists
// (a missing icon keeps whatever the control showed).
void applyTitle(DialogControl& control, const ControlTemplate& c) {
  if (c.kind == ControlKind::Edit) return;
  if (c.resourceId != 0) {
    if (isImageStatic(c) && !iconArt(c.resourceId).empty()) control.iconId = c.resourceId;
    return;
  }
  control.text.assign(c.text);
}

}  // namespace

const DialogTemplate* findDialogTemplate(int id) noexcept {
  for (const DialogTemplate& t : kTemplates) {
    if (t.id == id) return &t;
  }
  return nullptr;
}

std::span<const std::string_view> iconArt(int resourceId) noexcept {
  if (resourceId == kProgramIcon) return kProgramIconArt;
  return {};
}

DialogControls createControls(const DialogTemplate& t) {
  DialogControls controls;
  controls.reserve(t.controls.size());
  for (const ControlTemplate& c : t.controls) {
    DialogControl control;
    control.kind = c.kind;
    control.id = c.id;
    control.style = c.style;
    control.rect = dialogRectToPixels(c.rect);
    applyTitle(control, c);
    controls.push_back(std::move(control));
  }
  return controls;
}

DialogControl* findControl(DialogControls& controls, int id) noexcept {
  for (DialogControl& c : controls) {
    if (c.id == id) return &c;
  }
  return nullptr;
}

const DialogControl* findControl(const DialogControls& controls, int id) noexcept {
  for (const DialogControl& c : controls) {
    if (c.id == id) return &c;
  }
  return nullptr;
}

bool relayoutDialog(DialogControls& dialog, int templateId) {
  const DialogTemplate* t = findDialogTemplate(templateId);
  if (!t) return false;
  // Walk first, move afterwards, so the dialog never shows a half-moved layout.
  struct Move {
    DialogControl* control;
    PixelRect rect;
  };
  std::vector<Move> moves;
  moves.reserve(t->controls.size());
  for (const ControlTemplate& c : t->controls) {
    DialogControl* control = findControl(dialog, c.id);
    if (!control) continue;
    moves.push_back({control, dialogRectToPixels(c.rect)});
    applyTitle(*control, c);
  }
  for (const Move& m : moves) m.control->rect = m.rect;
  return true;
}

}  // namespace drovn::shell
