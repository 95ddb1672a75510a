// The console's dialogs as data: the About templates (105 portrait, 106 landscape) and the
// Options template (129), each with its caption, size, style and controls in tab order, and the
// one pixel geometry through which dialog units, pixels and terminal cells are converted.
//
// Geometry. A terminal cell is 8 pixels wide and 16 pixels high, and the dialog base units are
// those of the cell (base width 8, base height 16). A dialog unit is a quarter of the base width
// across and an eighth of the base height down, so 1 dialog unit = 2 pixels either way, a cell
// is 4 units across and 8 units down, and a screen of R rows and C columns is 8*C x 16*R pixels.
// Scroll positions, scroll ranges and control rectangles are all kept in these pixels; only the
// drawing turns them into cells.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace drovn::shell {

// ---- Geometry --------------------------------------------------------------------------------

inline constexpr int kCellWidthPx = 8;
inline constexpr int kCellHeightPx = 16;
inline constexpr int kBaseUnitX = kCellWidthPx;
inline constexpr int kBaseUnitY = kCellHeightPx;
static_assert(kBaseUnitX % 4 == 0 && kBaseUnitY % 8 == 0,
              "whole pixels per dialog unit keep every conversion exact");
// A full-screen dialog's caption takes the top row; its client area starts below it.
inline constexpr int kDialogClientTopPx = kCellHeightPx;

struct DialogRect {  // dialog units
  int x = 0;
  int y = 0;
  int width = 0;
  int height = 0;
};

struct PixelRect {  // pixels, relative to the dialog's client area
  int left = 0;
  int top = 0;
  int width = 0;
  int height = 0;
  constexpr int right() const noexcept { return left + width; }
  constexpr int bottom() const noexcept { return top + height; }
  bool operator==(const PixelRect&) const = default;
};

struct CellRect {  // cells: columns [column, column + width), rows [row, row + height)
  int row = 0;
  int column = 0;
  int height = 0;
  int width = 0;
  bool operator==(const CellRect&) const = default;
};

struct ScreenPixels {
  int width = 0;
  int height = 0;
};

constexpr int dialogUnitsToPixelsX(int units) noexcept {
  return units * kBaseUnitX / 4;
}
constexpr int dialogUnitsToPixelsY(int units) noexcept {
  return units * kBaseUnitY / 8;
}
constexpr PixelRect dialogRectToPixels(const DialogRect& r) noexcept {
  return PixelRect{dialogUnitsToPixelsX(r.x), dialogUnitsToPixelsY(r.y),
                   dialogUnitsToPixelsX(r.width), dialogUnitsToPixelsY(r.height)};
}

// Division rounding towards minus infinity: a control scrolled above the screen has negative
// pixel coordinates and must land on a negative row, not on row 0.
constexpr int floorDiv(int a, int b) noexcept {
  return a / b - ((a % b != 0) && ((a < 0) != (b < 0)));
}

// The cell that holds the pixel.
constexpr int pixelToColumn(int x) noexcept {
  return floorDiv(x, kCellWidthPx);
}
constexpr int pixelToRow(int y) noexcept {
  return floorDiv(y, kCellHeightPx);
}

// A rectangle of screen pixels as cells: each edge goes to the cell that holds it (so two
// controls that touch in pixels leave no gap and never share a cell); never less than 1 x 1.
constexpr CellRect pixelRectToCells(const PixelRect& r) noexcept {
  const int column = pixelToColumn(r.left);
  const int row = pixelToRow(r.top);
  const int width = pixelToColumn(r.right()) - column;
  const int height = pixelToRow(r.bottom()) - row;
  return CellRect{row, column, height < 1 ? 1 : height, width < 1 ? 1 : width};
}

constexpr ScreenPixels screenPixels(int rows, int columns) noexcept {
  return ScreenPixels{columns * kCellWidthPx, rows * kCellHeightPx};
}
// Taller than wide in pixels; a square screen counts as landscape.
constexpr bool isPortraitScreen(int rows, int columns) noexcept {
  const ScreenPixels s = screenPixels(rows, columns);
  return s.height > s.width;
}

// ---- Templates -------------------------------------------------------------------------------

// Window and control style bits, with the values the templates have always carried.
inline constexpr uint32_t kStylePopup = 0x80000000;
inline constexpr uint32_t kStyleCaption = 0x00C00000;  // title bar and border
inline constexpr uint32_t kStyleVScroll = 0x00200000;
inline constexpr uint32_t kStyleSetFont = 0x00000040;
inline constexpr uint32_t kStyleChild = 0x40000000;
inline constexpr uint32_t kStyleVisible = 0x10000000;
inline constexpr uint32_t kStyleBorder = 0x00800000;
inline constexpr uint32_t kStyleTabStop = 0x00010000;
inline constexpr uint32_t kStyleAutoCheckBox = 0x00000003;  // button
inline constexpr uint32_t kStylePassword = 0x00000020;      // edit
inline constexpr uint32_t kStyleAutoHScroll = 0x00000080;   // edit
inline constexpr uint32_t kStyleCenter = 0x00000001;        // static text
inline constexpr uint32_t kStyleIcon = 0x00000003;          // static image
inline constexpr uint32_t kStyleCenterImage = 0x00000200;   // static

enum class ControlKind { Button, Edit, Static };

struct ControlTemplate {
  ControlKind kind;
  int id;
  std::string_view text;  // the title when it is a text
  int resourceId;         // the title when it is a resource ordinal (an icon), else 0
  uint32_t style;
  DialogRect rect;
};

struct DialogTemplate {
  int id;
  std::string_view caption;
  uint32_t style;
  int width;  // dialog units
  int height;
  int pointSize;
  std::string_view font;
  std::span<const ControlTemplate> controls;  // template order, which is the tab order
};

inline constexpr int kAboutPortraitTemplate = 105;
inline constexpr int kAboutLandscapeTemplate = 106;
inline constexpr int kOptionsTemplate = 129;

// The program icon, shown by the About dialog.
inline constexpr int kProgramIcon = 101;
// The OK/Done command of a dialog.
inline constexpr int kIdOk = 1;
// A static that nothing refers to.
inline constexpr int kIdStatic = -1;

// The About controls (105 and 106 carry the same ones).
inline constexpr int kIdAboutIcon = 1100;
inline constexpr int kIdAboutProduct = 1101;
inline constexpr int kIdAboutDescription = 1102;

// The Options controls.
inline constexpr int kIdEnable1 = 1000;
inline constexpr int kIdUser1 = 1001;
inline constexpr int kIdPassword1 = 1002;
inline constexpr int kIdEnable2 = 1003;
inline constexpr int kIdUser2 = 1004;
inline constexpr int kIdPassword2 = 1005;
inline constexpr int kIdRoot1 = 1006;
inline constexpr int kIdRoot2 = 1007;
inline constexpr int kIdAnonymous = 1008;
inline constexpr int kIdAnonymousRoot = 1009;
inline constexpr int kIdEnableUtf8 = 1010;
inline constexpr int kIdManualIp = 1011;
inline constexpr int kIdAddress = 1012;
inline constexpr int kIdPort = 1013;
inline constexpr int kIdKeepLightOn = 1014;

inline constexpr std::string_view kProductLine = "Drovn 2.2 版";

// The template of that id, or null.
const DialogTemplate* findDialogTemplate(int id) noexcept;

// The text art of an icon resource, one line per row, all lines the same width; empty when
// there is no such icon.
std::span<const std::string_view> iconArt(int resourceId) noexcept;

// ---- Live controls ---------------------------------------------------------------------------

// A control of a running dialog: what the template made of it, and its current state.
struct DialogControl {
  ControlKind kind = ControlKind::Static;
  int id = kIdStatic;
  uint32_t style = 0;
  PixelRect rect;          // in the dialog's client area
  std::string text;        // UTF-8
  int iconId = 0;          // the icon it shows, 0 for none
  bool checked = false;    // a check box
  std::size_t cursor = 0;  // an edit: the caret and the first character shown, as byte offsets
  std::size_t firstVisible = 0;

  bool isCheckBox() const noexcept {
    return kind == ControlKind::Button && (style & 0xF) == kStyleAutoCheckBox;
  }
  bool isEdit() const noexcept { return kind == ControlKind::Edit; }
  bool isPassword() const noexcept { return isEdit() && (style & kStylePassword) != 0; }
  bool isTabStop() const noexcept { return (style & kStyleTabStop) != 0; }
};

using DialogControls = std::vector<DialogControl>;

// The controls a dialog made from the template has, in template order, with their rectangles
// in pixels and their titles (an icon title loaded from its resource).
DialogControls createControls(const DialogTemplate& t);
// The first control with that id, or null.
DialogControl* findControl(DialogControls& controls, int id) noexcept;
const DialogControl* findControl(const DialogControls& controls, int id) noexcept;

// Lays the dialog's controls out anew from the template of that id: each control the template
// names and the dialog has is moved to the template's rectangle, and a button's or static's
// title is put back (its text, or its icon when the icon exists); the moves are applied together
// once the template has been walked. Controls the template names but the dialog lacks are
// skipped. False, with nothing changed, when there is no template of that id.
bool relayoutDialog(DialogControls& dialog, int templateId);

}  // namespace drovn::shell
