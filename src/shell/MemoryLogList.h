// The log list kept in memory: rows with their kind and selection, and the row last scrolled
// into view. The headless window prints from it; a terminal console draws it.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "shell/LogListView.h"

namespace drovn::shell {

class MemoryLogList : public LogListView {
 public:
  struct Row {
    std::string text;
    RowKind kind = RowKind::Log;
    bool selected = false;
  };

  int rowCount() const override;
  int insertRow(int index, std::string_view text, RowKind kind) override;
  void setRowText(int index, std::string_view text, RowKind kind) override;
  void deleteRow(int index) override;
  void deleteAllRows() override;
  int nextSelectedRow(int after) const override;
  void clearSelection(int index) override;
  void ensureVisible(int index) override;
  void repaint() override {}

  // The operator's selection (one row at a time, as in a single-selection list).
  void select(int index);
  // The row last scrolled into view, -1 before any.
  int visibleRow() const noexcept { return visibleRow_; }
  const std::vector<Row>& rows() const noexcept { return rows_; }

 private:
  bool valid(int index) const noexcept;

  std::vector<Row> rows_;
  int visibleRow_ = -1;
};

}  // namespace drovn::shell
