#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "core/LogChannel.h"
#include "platform/Utf8.h"

namespace drovn::core {
namespace {

class LogChannelTest : public testing::Test {
 protected:
  std::u16string take() {
    std::u16string out;
    channel.takePending(out);
    return out;
  }
  // The entries of a pending text, without their CR LF.
  static std::vector<std::string> entries(const std::u16string& pending) {
    std::vector<std::string> out;
    std::size_t start = 0;
    for (std::size_t end; (end = pending.find(u"\r\n", start)) != std::u16string::npos;
         start = end + 2) {
      out.push_back(platform::utf16ToUtf8(pending.substr(start, end - start)));
    }
    EXPECT_EQ(start, pending.size()) << "the pending text ends inside an entry";
    return out;
  }
  // True when the window was told of new text since the last look.
  bool told() {
    platform::MessageQueue::Taken taken;
    return queue.take(taken, 0) && taken.message.id == platform::kLogTextReady;
  }

  platform::LinuxTextCodec codec;
  platform::MessageQueue queue;
  LogChannel channel{codec, queue};
};

struct TextCase {
  std::string text;
  bool utf8;  // an operator message, written in UTF-8; otherwise code page 936
  std::u16string entry;
};

class LogTextTest : public LogChannelTest, public testing::WithParamInterface<TextCase> {};

TEST_P(LogTextTest, EachTextBecomesOneEntryEndingInCrLf) {
  const TextCase& c = GetParam();
  c.utf8 ? channel.writeUtf8(c.text.c_str()) : channel.writeLog(c.text.c_str());
  EXPECT_TRUE(told());
  EXPECT_EQ(take(), c.entry + u"\r\n");
  EXPECT_EQ(take(), u"") << "taking empties the pending text";
}

INSTANTIATE_TEST_SUITE_P(
    Texts, LogTextTest,
    testing::Values(TextCase{"200 OK \r\n", false, u"200 OK"},      // a reply loses its line end
                    TextCase{" \t#1>NOOP\t\n", false, u"#1>NOOP"},  // blanks at both ends go
                    TextCase{"   ", false, u"   "},                 // all blanks: unchanged
                    TextCase{"\r\n", false, u"\r\n"},               // also a bare line end
                    TextCase{"", false, u""},
                    TextCase{"a  b", false, u"a  b"},  // inner blanks stay
                    TextCase{"\xb7\xfe\xce\xf1", false, u"服务"},
                    TextCase{"警告: 未找到网络连接！", true, u"警告: 未找到网络连接！"},
                    // Cut to one line of the log buffer.
                    TextCase{std::string(3000, 'a'), false, std::u16string(2047, u'a')}));

TEST_F(LogChannelTest, AnUnannouncedLineWaitsForTheNextPostOrAnnouncement) {
  channel.writeLogUnannounced("#1>NOOP");
  EXPECT_FALSE(told()) << "the command line alone wakes nobody";
  channel.writeLog("200 OK");
  EXPECT_TRUE(told());
  channel.announcePending();
  EXPECT_FALSE(told()) << "the reply's post already told of the command line";
  channel.writeLogUnannounced("#1>QUIT");
  channel.announcePending();
  EXPECT_TRUE(told());
  channel.announcePending();
  EXPECT_FALSE(told()) << "announced once only";
  std::u16string out = u"kept:";
  channel.takePending(out);
  EXPECT_EQ(out, u"kept:#1>NOOP\r\n200 OK\r\n#1>QUIT\r\n");
}

TEST_F(LogChannelTest, LinesFromManyThreadsArriveWholeAndInEachThreadsOrder) {
  constexpr int kThreads = 8;
  constexpr int kLines = 200;
  std::u16string all;
  {
    std::vector<std::jthread> writers;
    for (int t = 0; t < kThreads; ++t) {
      writers.emplace_back([this, t] {
        for (int i = 0; i < kLines; ++i) {
          channel.writeLog(("t" + std::to_string(t) + " line " + std::to_string(i)).c_str());
        }
      });
    }
    // The main window takes text while the writers are still going.
    for (int round = 0; round < 50; ++round) channel.takePending(all);
  }
  channel.takePending(all);
  std::vector<int> next(kThreads, 0);
  for (const std::string& row : entries(all)) {
    int t = -1;
    int i = -1;
    ASSERT_EQ(std::sscanf(row.c_str(), "t%d line %d", &t, &i), 2) << row;
    ASSERT_TRUE(t >= 0 && t < kThreads) << row;
    EXPECT_EQ(i, next[static_cast<std::size_t>(t)]++) << row;
  }
  EXPECT_EQ(next, std::vector<int>(kThreads, kLines));
}

// Far more entries than the pending text holds: short ones, and ones as long as an entry gets.
class LogOverflowTest : public LogChannelTest, public testing::WithParamInterface<std::size_t> {};

TEST_P(LogOverflowTest, DropsTheOldestWholeEntriesOnly) {
  const std::size_t units = GetParam() + 2;  // with CR LF
  const auto text = [&](int i) {
    const std::string number = std::to_string(100000 + i);
    return number + std::string(GetParam() - number.size(), 'x');
  };
  const int written = static_cast<int>(3 * kPendingLogUnits / units);
  for (int i = 0; i < written; ++i) channel.writeLog(text(i).c_str());
  const std::vector<std::string> rows = entries(take());
  // Consecutive, ending with the newest, and no more dropped than needed.
  const int first = written - static_cast<int>(rows.size());
  for (std::size_t k = 0; k < rows.size(); ++k) {
    ASSERT_EQ(rows[k], text(first + static_cast<int>(k))) << k;
  }
  EXPECT_LE(rows.size() * units, kPendingLogUnits - 1);
  EXPECT_GT((rows.size() + 1) * units, kPendingLogUnits - 1);
  // Once taken, the channel has its whole room again.
  channel.writeLog("after");
  EXPECT_EQ(take(), u"after\r\n");
}

INSTANTIATE_TEST_SUITE_P(Lengths, LogOverflowTest, testing::Values(78, 2047));

}  // namespace
}  // namespace drovn::core
