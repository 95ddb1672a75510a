// The list that shows the log, one UTF-8 line per row, as the main window logic sees it. The
// headless window keeps it in memory and prints it; a terminal console draws it. Every write says
// whether the row is a log line or the transfer progress row, so a front end can treat them apart.
#pragma once

#include <string_view>

#include "shell/ModalDialog.h"

namespace drovn::shell {

enum class RowKind { Log, Progress };

class LogListView {
 public:
  virtual ~LogListView() = default;

  virtual int rowCount() const = 0;
  // Inserts a row before `index` (rowCount() appends). Gives the index of the new row, -1 when
  // the row could not be inserted.
  virtual int insertRow(int index, std::string_view text, RowKind kind) = 0;
  // Replaces the text of an existing row; an index out of range changes nothing.
  virtual void setRowText(int index, std::string_view text, RowKind kind) = 0;
  virtual void deleteRow(int index) = 0;
  virtual void deleteAllRows() = 0;
  // The first selected row after `after` (-1 searches from row 0); -1 when there is none.
  virtual int nextSelectedRow(int after) const = 0;
  // Clears the selected and focused states of the row.
  virtual void clearSelection(int index) = 0;
  // Scrolls so that the row is fully visible.
  virtual void ensureVisible(int index) = 0;
  virtual void repaint() = 0;
};

// The main window around the list: what the window logic asks of a front end besides the list.
class ShellWindow {
 public:
  virtual ~ShellWindow() = default;
  virtual LogListView& logList() = 0;
  virtual void repaintWindow() = 0;
  // Another start of the program asked this one to come to the front.
  virtual void bringToFront() = 0;
  // Runs the dialog until it ends, handling the main window's messages meanwhile. A window
  // without a screen cannot show one: the dialog ends at once, as if cancelled.
  virtual void runModal(ModalDialog& dialog) { static_cast<void>(dialog); }
};

}  // namespace drovn::shell
