// The window of a run without a console: the log list is kept in memory (so the row limit
// holds) and every log row written is printed to the output as one UTF-8 line, exactly its
// text. The progress row is never printed.
#pragma once

#include <ostream>
#include <string_view>

#include "shell/LogListView.h"
#include "shell/MemoryLogList.h"

namespace drovn::shell {

class HeadlessWindow final : public ShellWindow {
 public:
  explicit HeadlessWindow(std::ostream& out) : list_(out) {}

  LogListView& logList() override { return list_; }
  void repaintWindow() override {}
  void bringToFront() override {}
  const MemoryLogList& rows() const noexcept { return list_; }

 private:
  class PrintingList final : public MemoryLogList {
   public:
    explicit PrintingList(std::ostream& out) : out_(out) {}
    int insertRow(int index, std::string_view text, RowKind kind) override;
    void setRowText(int index, std::string_view text, RowKind kind) override;
    // The window repaints once after each batch of rows: the printed lines go out then.
    void repaint() override;

   private:
    void print(std::string_view text, RowKind kind);
    std::ostream& out_;
  };

  PrintingList list_;
};

}  // namespace drovn::shell
