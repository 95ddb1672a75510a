#include "shell/FakeCanvas.h"

#include "platform/Utf8.h"

namespace drovn::test {

FakeCanvas::FakeCanvas(int rows, int columns)
    : rows_(rows), columns_(columns), cells_(static_cast<std::size_t>(rows * columns)) {}

void FakeCanvas::clear() {
  for (Cell& c : cells_) c = Cell{};
}

int FakeCanvas::drawText(int row, int column, std::u16string_view text, platform::CellStyle style,
                         int maxColumns) {
  if (row < 0 || row >= rows_ || column < 0 || column >= columns_) return 0;
  int limit = columns_ - column;
  if (maxColumns >= 0 && maxColumns < limit) limit = maxColumns;
  int used = 0;
  for (std::size_t i = 0; i < text.size();) {
    char32_t cp = text[i];
    std::size_t units = 1;
    if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
        text[i + 1] <= 0xDFFF) {
      cp = 0x10000 + ((cp - 0xD800) << 10) + (static_cast<char32_t>(text[i + 1]) - 0xDC00);
      units = 2;
    } else if (cp >= 0xD800 && cp <= 0xDFFF) {
      cp = 0xFFFD;
    }
    const int w = platform::codePointWidth(cp);
    if (used + w > limit) break;  // a wide character that does not fit whole is left out
    if (w > 0) {
      Cell& first = at(row, column + used);
      first = Cell{cp, false, style};
      if (w == 2) at(row, column + used + 1) = Cell{U' ', true, style};
      used += w;
    }
    i += units;
  }
  return used;
}

void FakeCanvas::fill(int row, int column, int width, platform::CellStyle style) {
  if (row < 0 || row >= rows_) return;
  for (int c = column < 0 ? 0 : column; c < column + width && c < columns_; ++c) {
    at(row, c) = Cell{U' ', false, style};
  }
}

void FakeCanvas::placeCursor(int row, int column) {
  cursorRow_ = row;
  cursorColumn_ = column;
}

std::string FakeCanvas::rowText(int row) const {
  if (row < 0 || row >= rows_) return {};
  std::u16string text;
  for (int c = 0; c < columns_; ++c) {
    const Cell& cell = at(row, c);
    if (cell.continuation) continue;
    if (cell.ch >= 0x10000) {
      text += static_cast<char16_t>(0xD800 + ((cell.ch - 0x10000) >> 10));
      text += static_cast<char16_t>(0xDC00 + ((cell.ch - 0x10000) & 0x3FF));
    } else {
      text += static_cast<char16_t>(cell.ch);
    }
  }
  return platform::utf16ToUtf8(text);
}

std::string FakeCanvas::screen() const {
  std::string all;
  for (int r = 0; r < rows_; ++r) all += rowText(r) + "\n";
  return all;
}

FakeCanvas::Position FakeCanvas::find(const std::string& utf8) const {
  for (int r = 0; r < rows_; ++r) {
    const std::string text = rowText(r);
    const std::size_t at = text.find(utf8);
    if (at == std::string::npos) continue;
    // rowText gives each wide character once, so the column is the width of what precedes.
    return Position{r, platform::displayWidth(platform::utf8ToUtf16(text.substr(0, at)))};
  }
  return Position{};
}

platform::CellStyle FakeCanvas::styleAt(int row, int column) const {
  if (row < 0 || row >= rows_ || column < 0 || column >= columns_)
    return platform::CellStyle::Normal;
  return at(row, column).style;
}

}  // namespace drovn::test
