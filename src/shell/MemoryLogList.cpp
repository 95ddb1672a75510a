#include "shell/MemoryLogList.h"

#include <cstddef>
#include <iterator>

namespace drovn::shell {

bool MemoryLogList::valid(int index) const noexcept {
  return index >= 0 && static_cast<std::size_t>(index) < rows_.size();
}

int MemoryLogList::rowCount() const {
  return static_cast<int>(rows_.size());
}

int MemoryLogList::insertRow(int index, std::string_view text, RowKind kind) {
  // Like a list control, an index past the end appends.
  if (index < 0) return -1;
  if (static_cast<std::size_t>(index) > rows_.size()) index = rowCount();
  rows_.insert(std::next(rows_.begin(), index), Row{std::string(text), kind, false});
  return index;
}

void MemoryLogList::setRowText(int index, std::string_view text, RowKind kind) {
  if (!valid(index)) return;
  Row& row = rows_[static_cast<std::size_t>(index)];
  row.text.assign(text);
  row.kind = kind;
}

void MemoryLogList::deleteRow(int index) {
  if (!valid(index)) return;
  rows_.erase(std::next(rows_.begin(), index));
}

void MemoryLogList::deleteAllRows() {
  rows_.clear();
  visibleRow_ = -1;
}

int MemoryLogList::nextSelectedRow(int after) const {
  for (int i = after < 0 ? 0 : after + 1; i < rowCount(); ++i) {
    if (rows_[static_cast<std::size_t>(i)].selected) return i;
  }
  return -1;
}

void MemoryLogList::clearSelection(int index) {
  if (valid(index)) rows_[static_cast<std::size_t>(index)].selected = false;
}

void MemoryLogList::ensureVisible(int index) {
  if (valid(index)) visibleRow_ = index;
}

void MemoryLogList::select(int index) {
  for (Row& row : rows_) row.selected = false;
  if (valid(index)) rows_[static_cast<std::size_t>(index)].selected = true;
}

}  // namespace drovn::shell
