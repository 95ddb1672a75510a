#include "shell/HeadlessWindow.h"

namespace drovn::shell {

int HeadlessWindow::PrintingList::insertRow(int index, std::string_view text, RowKind kind) {
  const int row = MemoryLogList::insertRow(index, text, kind);
  if (row != -1) print(text, kind);
  return row;
}

void HeadlessWindow::PrintingList::setRowText(int index, std::string_view text, RowKind kind) {
  if (index < 0 || index >= rowCount()) return;
  MemoryLogList::setRowText(index, text, kind);
  print(text, kind);
}

void HeadlessWindow::PrintingList::repaint() {
  // Flushed per batch, not per line: whoever reads the output still sees each event as it is
  // handled, and a command logged with its reply costs one write.
  out_ << std::flush;
}

void HeadlessWindow::PrintingList::print(std::string_view text, RowKind kind) {
  if (kind != RowKind::Log) return;
  out_ << text << '\n';
}

}  // namespace drovn::shell
