#include <gtest/gtest.h>

#include <sstream>

#include "shell/HeadlessWindow.h"

namespace drovn::shell {
namespace {

TEST(HeadlessWindow, PrintsEveryLogRowWrittenAndNeverTheProgressRow) {
  std::ostringstream out;
  HeadlessWindow window(out);
  LogListView& list = window.logList();
  EXPECT_EQ(list.insertRow(0, u"服务已启动.", RowKind::Log), 0);
  EXPECT_EQ(list.insertRow(1, u"正在传输: 2 KB", RowKind::Progress), 1);
  list.setRowText(1, u"正在传输: 3 KB", RowKind::Progress);
  // A log line that takes the progress row's place is printed.
  list.setRowText(1, u"226 Transfer completed.", RowKind::Log);
  list.setRowText(5, u"no such row", RowKind::Log);
  EXPECT_EQ(out.str(), "服务已启动.\n226 Transfer completed.\n");
  EXPECT_EQ(list.rowCount(), 2);
}

// Counts the flushes of whatever is printed through it.
class CountingBuffer : public std::stringbuf {
 public:
  int syncs = 0;

 protected:
  int sync() override {
    ++syncs;
    return std::stringbuf::sync();
  }
};

// A batch of rows goes out in one flush, at the repaint that ends it: one write for a command
// and its reply, and nothing printed is left waiting in the buffer once the batch is handled.
TEST(HeadlessWindow, FlushesOncePerBatchAtTheRepaint) {
  CountingBuffer buffer;
  std::ostream out(&buffer);
  HeadlessWindow window(out);
  LogListView& list = window.logList();
  list.insertRow(0, u"#1>NOOP", RowKind::Log);
  list.insertRow(1, u"200 OK", RowKind::Log);
  EXPECT_EQ(buffer.syncs, 0);
  list.repaint();
  EXPECT_EQ(buffer.syncs, 1);
  EXPECT_EQ(buffer.str(), "#1>NOOP\n200 OK\n");
}

TEST(HeadlessWindow, KeepsCountingRowsSoTheListCanBeEmptied) {
  std::ostringstream out;
  HeadlessWindow window(out);
  LogListView& list = window.logList();
  for (int i = 0; i < 201; ++i) list.insertRow(list.rowCount(), u"x", RowKind::Log);
  EXPECT_EQ(list.rowCount(), 201);
  list.deleteAllRows();
  EXPECT_EQ(list.rowCount(), 0);
  EXPECT_EQ(list.nextSelectedRow(-1), -1);
}

TEST(MemoryLogList, InsertsDeletesAndSelectsLikeAListControl) {
  MemoryLogList list;
  EXPECT_EQ(list.insertRow(-1, u"x", RowKind::Log), -1);
  EXPECT_EQ(list.insertRow(0, u"b", RowKind::Log), 0);
  EXPECT_EQ(list.insertRow(0, u"a", RowKind::Log), 0);
  EXPECT_EQ(list.insertRow(9, u"c", RowKind::Log), 2);  // past the end appends
  list.select(1);
  EXPECT_EQ(list.nextSelectedRow(-1), 1);
  EXPECT_EQ(list.nextSelectedRow(0), 1);
  EXPECT_EQ(list.nextSelectedRow(1), -1);
  list.deleteRow(0);
  EXPECT_EQ(list.nextSelectedRow(-1), 0);  // the selection moves with its row
  list.clearSelection(0);
  EXPECT_EQ(list.nextSelectedRow(-1), -1);
  list.ensureVisible(7);
  EXPECT_EQ(list.visibleRow(), -1);
  list.ensureVisible(1);
  EXPECT_EQ(list.visibleRow(), 1);
  ASSERT_EQ(list.rowCount(), 2);
  EXPECT_EQ(list.rows()[1].text, u"c");
}

}  // namespace
}  // namespace drovn::shell
