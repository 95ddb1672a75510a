#include <gtest/gtest.h>

#include "core/LogChannel.h"

namespace drovn::core {
namespace {

class LogChannelTest : public testing::Test {
 protected:
  // The pending text after `kept`.
  std::string take(std::string kept = {}) {
    channel.takePending(kept);
    return kept;
  }
  // True when the window was told of new text since the last look.
  bool told() {
    platform::MessageQueue::Taken taken;
    return queue.take(taken, 0) &&
           std::holds_alternative<platform::events::LogTextReady>(taken.message);
  }

  platform::LinuxTextCodec codec;
  platform::MessageQueue queue;
  LogChannel channel{codec, queue};
};

enum class Write { CodePage, Utf8, Unannounced };
struct TextCase {
  std::string text;
  Write how;
  std::string entry;  // without its CR LF
};
class LogTextTest : public LogChannelTest, public testing::WithParamInterface<TextCase> {};

TEST_P(LogTextTest, EachTextBecomesOneEntryEndingInCrLf) {
  const TextCase& c = GetParam();
  if (c.how == Write::CodePage) channel.writeLog(c.text.c_str());
  if (c.how == Write::Utf8) channel.writeUtf8(c.text.c_str());
  if (c.how == Write::Unannounced) {
    channel.writeLogUnannounced(c.text.c_str());
    EXPECT_FALSE(told()) << "a command line alone wakes nobody";
    channel.announcePending();
  }
  EXPECT_TRUE(told());
  channel.announcePending();
  EXPECT_FALSE(told()) << "told once only";
  EXPECT_EQ(take("kept\r\n"), "kept\r\n" + c.entry + "\r\n");  // added to what the window has
  EXPECT_EQ(take(), "") << "taking empties the pending text";
}

// The long cases are built in place: g++ 12 at -O2 takes the copy of a long string out of a
// braced table for an overrun (-Warray-bounds).
TextCase cutWhereTheCodePageCuts() {  // to one line of the log buffer
  TextCase c{"", Write::Utf8, ""};
  c.text.assign(2046, 'a').append("中");
  c.entry.assign(2046, 'a');
  return c;
}

TextCase eachLoneByteReplaced() {
  TextCase c{"", Write::CodePage, ""};
  c.text.assign(3000, '\xff');
  while (c.entry.size() < 3 * 2047) c.entry.append("\uFFFD");
  return c;
}

INSTANTIATE_TEST_SUITE_P(
    Texts, LogTextTest,
    testing::Values(TextCase{"200 OK \r\n", Write::CodePage, "200 OK"},
                    TextCase{" \t#1>NOOP\t\n", Write::Unannounced, "#1>NOOP"},
                    TextCase{"   ", Write::CodePage, "   "},    // all blanks stay
                    TextCase{"\r\n", Write::CodePage, "\r\n"},  // so does a line end
                    TextCase{"a  b", Write::CodePage, "a  b"},
                    TextCase{"\xb7\xfe\xce\xf1", Write::CodePage, "服务"},
                    TextCase{" 警告: 未找到网络连接！\xff\n", Write::Utf8,
                             "警告: 未找到网络连接！\uFFFD"},
                    cutWhereTheCodePageCuts(), eachLoneByteReplaced()));

// Far more entries than the pending text holds: short ones, and ones as long as an entry gets.
class LogOverflowTest : public LogChannelTest, public testing::WithParamInterface<std::size_t> {};

TEST_P(LogOverflowTest, DropsTheOldestWholeEntriesOnly) {
  const auto entry = [&](int i) {
    const std::string number = std::to_string(100000 + i);
    return number + std::string(GetParam() - number.size(), 'x') + "\r\n";
  };
  const int written = static_cast<int>(3 * kPendingLogBytes / (GetParam() + 2));
  for (int i = 0; i < written; ++i) channel.writeLog(entry(i).c_str());
  const std::string pending = take();
  // Consecutive entries ending with the newest, and no more dropped than needed.
  std::string expected;
  for (int i = std::stoi(pending.substr(0, 6)) - 100000; i < written; ++i) expected += entry(i);
  EXPECT_EQ(pending, expected);
  EXPECT_LE(pending.size(), kPendingLogBytes);
  EXPECT_GT(pending.size() + GetParam() + 2, kPendingLogBytes);
  channel.writeLog("after");  // once taken, the channel has its whole room again
  EXPECT_EQ(take(), "after\r\n");
}

INSTANTIATE_TEST_SUITE_P(Lengths, LogOverflowTest, testing::Values(78, kLogTextSize - 1));

}  // namespace
}  // namespace drovn::core
