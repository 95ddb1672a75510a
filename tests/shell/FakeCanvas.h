// An in-memory canvas for the console's dialogs and window: a grid of cells that keeps what was
// drawn where and in which style, with the terminal's cutting rules for wide characters.
#pragma once

#include <string>
#include <vector>

#include "platform/Canvas.h"

namespace drovn::test {

class FakeCanvas final : public platform::Canvas {
 public:
  FakeCanvas(int rows, int columns);

  int rows() const override { return rows_; }
  int columns() const override { return columns_; }
  void clear() override;
  int drawText(int row, int column, std::u16string_view text, platform::CellStyle style,
               int maxColumns = -1) override;
  void fill(int row, int column, int width, platform::CellStyle style) override;
  void placeCursor(int row, int column) override;

  // The row as UTF-8, a wide character once, trailing blanks kept (each blank cell a space).
  std::string rowText(int row) const;
  // All rows joined by newlines, for failure messages.
  std::string screen() const;
  // The first (row, column) where the UTF-8 text starts on a row; {-1, -1} when it is nowhere.
  struct Position {
    int row = -1;
    int column = -1;
  };
  Position find(const std::string& utf8) const;
  platform::CellStyle styleAt(int row, int column) const;
  int cursorRow() const noexcept { return cursorRow_; }
  int cursorColumn() const noexcept { return cursorColumn_; }

 private:
  struct Cell {
    char32_t ch = U' ';
    bool continuation = false;  // the right half of a wide character
    platform::CellStyle style = platform::CellStyle::Normal;
  };
  Cell& at(int row, int column) {
    return cells_[static_cast<std::size_t>(row * columns_ + column)];
  }
  const Cell& at(int row, int column) const {
    return cells_[static_cast<std::size_t>(row * columns_ + column)];
  }

  int rows_;
  int columns_;
  std::vector<Cell> cells_;
  int cursorRow_ = -1;
  int cursorColumn_ = -1;
};

}  // namespace drovn::test
