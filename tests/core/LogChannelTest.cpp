#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "core/LogChannel.h"
#include "platform/MessageQueue.h"
#include "platform/TextCodec.h"
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
  static std::vector<std::u16string> entries(const std::u16string& pending) {
    std::vector<std::u16string> out;
    std::size_t start = 0;
    for (std::size_t end = pending.find(u"\r\n"); end != std::u16string::npos;
         end = pending.find(u"\r\n", start)) {
      out.push_back(pending.substr(start, end - start));
      start = end + 2;
    }
    EXPECT_EQ(start, pending.size()) << "the pending text ends inside an entry";
    return out;
  }

  platform::LinuxTextCodec codec;
  platform::MessageQueue queue;
  LogChannel channel{codec, queue};
};

struct TrimCase {
  const char* text;
  const char16_t* entry;
};

class LogChannelTrimTest : public LogChannelTest, public testing::WithParamInterface<TrimCase> {};

TEST_P(LogChannelTrimTest, EachTextBecomesOneEntryEndingInCrLf) {
  channel.writeLog(GetParam().text);
  EXPECT_EQ(take(), std::u16string(GetParam().entry) + u"\r\n");
}

INSTANTIATE_TEST_SUITE_P(
    Texts, LogChannelTrimTest,
    testing::Values(TrimCase{"200 OK \r\n", u"200 OK"},       // a reply loses its line end
                    TrimCase{" \t#1>NOOP\t\n", u"#1>NOOP"},   // blanks at both ends go
                    TrimCase{"   ", u"   "},                  // all blanks: unchanged
                    TrimCase{"\r\n", u"\r\n"},                // also a bare line end
                    TrimCase{"", u""},                        // an empty entry
                    TrimCase{"a  b", u"a  b"},                // inner blanks stay
                    TrimCase{"\xb7\xfe\xce\xf1", u"服务"}));  // code page 936

TEST_F(LogChannelTest, OperatorMessagesArriveAsTheSameCharacters) {
  channel.writeUtf8("服务已启动.");
  channel.writeUtf8("警告: 未找到网络连接！PC上会无法访问。");
  EXPECT_EQ(take(), u"服务已启动.\r\n警告: 未找到网络连接！PC上会无法访问。\r\n");
}

TEST_F(LogChannelTest, EveryAppendPostsLogTextReadyAndTakingEmptiesThePendingText) {
  channel.writeLog("one");
  platform::MessageQueue::Taken taken;
  ASSERT_TRUE(queue.take(taken, 1000));
  EXPECT_EQ(taken.message.id, platform::kLogTextReady);
  EXPECT_EQ(taken.message.wParam, 0);
  EXPECT_EQ(taken.message.lParam, 0);
  EXPECT_EQ(take(), u"one\r\n");
  EXPECT_EQ(take(), u"");  // a later message may find nothing pending

  channel.writeLog("two");
  ASSERT_TRUE(queue.take(taken, 1000));
  EXPECT_EQ(taken.message.id, platform::kLogTextReady);
  std::u16string out = u"kept:";
  channel.takePending(out);
  EXPECT_EQ(out, u"kept:two\r\n");  // appended to what the caller has
}

TEST_F(LogChannelTest, AnUnannouncedLineWaitsForTheNextPostOrAnnouncement) {
  platform::MessageQueue::Taken taken;
  channel.writeLogUnannounced("#1>NOOP");
  EXPECT_FALSE(queue.take(taken, 0)) << "the command line alone wakes nobody";
  channel.writeLog("200 OK");
  ASSERT_TRUE(queue.take(taken, 1000));
  EXPECT_EQ(taken.message.id, platform::kLogTextReady);
  EXPECT_EQ(take(), u"#1>NOOP\r\n200 OK\r\n");
  channel.announcePending();
  EXPECT_FALSE(queue.take(taken, 0)) << "the reply's post already told of the command line";

  channel.writeLogUnannounced("#1>QUIT");
  channel.announcePending();
  ASSERT_TRUE(queue.take(taken, 1000));
  EXPECT_EQ(taken.message.id, platform::kLogTextReady);
  EXPECT_EQ(take(), u"#1>QUIT\r\n");
  channel.announcePending();
  EXPECT_FALSE(queue.take(taken, 0)) << "announced once only";
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
          FixedText<64> line;
          line.format("t%d line %d", t, i);
          channel.writeLog(line.c_str());
        }
      });
    }
    // The main window takes text while the writers are still going.
    for (int round = 0; round < 50; ++round) channel.takePending(all);
  }
  channel.takePending(all);

  const auto rows = entries(all);
  ASSERT_EQ(rows.size(), std::size_t{kThreads * kLines});
  std::vector<int> next(kThreads, 0);
  for (const auto& row : rows) {
    const std::string text = platform::utf16ToUtf8(row);
    int t = -1;
    int i = -1;
    ASSERT_EQ(std::sscanf(text.c_str(), "t%d line %d", &t, &i), 2) << text;
    ASSERT_GE(t, 0);
    ASSERT_LT(t, kThreads);
    EXPECT_EQ(i, next[static_cast<std::size_t>(t)]++) << text;
  }
}

TEST_F(LogChannelTest, AFullPendingTextDropsTheOldestWholeEntries) {
  // About 1500 entries of 80 units: far more than the pending text holds.
  constexpr int kWritten = 1500;
  for (int i = 0; i < kWritten; ++i) {
    FixedText<128> line;
    line.format("entry %05d %s", i, std::string(66, 'x').c_str());
    channel.writeLog(line.c_str());
  }
  const std::u16string pending = take();
  EXPECT_LE(pending.size(), kPendingLogUnits - 1);
  EXPECT_GT(pending.size(), kPendingLogUnits - 1 - 100);  // no more dropped than needed

  const auto rows = entries(pending);
  ASSERT_FALSE(rows.empty());
  // Whole entries, consecutive, ending with the newest.
  const std::string first = platform::utf16ToUtf8(rows.front());
  int firstIndex = -1;
  ASSERT_EQ(std::sscanf(first.c_str(), "entry %d", &firstIndex), 1) << first;
  ASSERT_EQ(rows.size(), std::size_t(kWritten - firstIndex));
  for (std::size_t k = 0; k < rows.size(); ++k) {
    FixedText<128> expected;
    expected.format("entry %05d %s", firstIndex + static_cast<int>(k),
                    std::string(66, 'x').c_str());
    ASSERT_EQ(platform::utf16ToUtf8(rows[k]), expected.view());
  }

  // Once taken, the channel has its whole room again.
  channel.writeLog("after");
  EXPECT_EQ(take(), u"after\r\n");
}

TEST_F(LogChannelTest, ALongTextIsCutToOneLineOfTheLogBuffer) {
  const std::string longText(3000, 'a');
  channel.writeLog(longText.c_str());
  channel.writeLog("next");
  const std::u16string pending = take();
  EXPECT_EQ(pending, std::u16string(kLogTextSize - 1, u'a') + u"\r\nnext\r\n");
}

TEST_F(LogChannelTest, LongTextsRightAtTheCapacityKeepTheNewestWhole) {
  // Entries of 2049 units: the pending text holds fewer than fifty of them.
  const std::string longText(3000, 'b');
  for (int i = 0; i < 60; ++i) {
    channel.writeLog(longText.c_str());
    channel.writeLog(std::to_string(i).c_str());
  }
  const auto rows = entries(take());
  ASSERT_GE(rows.size(), 2u);
  EXPECT_EQ(rows.back(), u"59");
  EXPECT_EQ(rows[rows.size() - 2], std::u16string(kLogTextSize - 1, u'b'));
}

}  // namespace
}  // namespace drovn::core
