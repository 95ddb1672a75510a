#include <gtest/gtest.h>

#include <cstdio>
#include <thread>

#include "core/LogChannel.h"
#include "platform/Utf8.h"

namespace drovn::core {
namespace {

class LogChannelTest : public testing::Test {
 protected:
  // The entries of the pending text (after those in `all`), without their CR LF.
  std::vector<std::string> take(std::u16string all = {}) {
    channel.takePending(all);
    std::vector<std::string> out;
    std::size_t start = 0;
    for (std::size_t end; (end = all.find(u"\r\n", start)) != std::u16string::npos;
         start = end + 2) {
      out.push_back(platform::utf16ToUtf8(all.substr(start, end - start)));
    }
    EXPECT_EQ(start, all.size()) << "the pending text ends inside an entry";
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

enum class Write { CodePage, Utf8, Unannounced };
struct TextCase {
  std::string text;
  Write how;
  std::vector<std::string> entries;  // as UTF-8
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
  EXPECT_EQ(take(u"kept\r\n"), c.entries);
  EXPECT_EQ(take(), std::vector<std::string>{}) << "taking empties the pending text";
}

INSTANTIATE_TEST_SUITE_P(
    Texts, LogTextTest,
    testing::Values(TextCase{"200 OK \r\n", Write::CodePage, {"kept", "200 OK"}},
                    TextCase{" \t#1>NOOP\t\n", Write::Unannounced, {"kept", "#1>NOOP"}},
                    TextCase{"   ", Write::CodePage, {"kept", "   "}},  // all blanks stay
                    TextCase{"\r\n", Write::CodePage, {"kept", "", ""}},  // so does a line end
                    TextCase{"a  b", Write::CodePage, {"kept", "a  b"}},
                    TextCase{"\xb7\xfe\xce\xf1", Write::CodePage, {"kept", "服务"}},
                    TextCase{"警告: 未找到网络连接！", Write::Utf8, {"kept", "警告: 未找到网络连接！"}},
                    // Cut to one line of the log buffer.
                    TextCase{std::string(3000, 'a'), Write::CodePage,
                             {"kept", std::string(kLogTextSize - 1, 'a')}}));

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
  std::vector<int> next(kThreads, 0);
  for (const std::string& row : take(all)) {
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
  const std::vector<std::string> rows = take();
  // Consecutive, ending with the newest, and no more dropped than needed.
  for (std::size_t k = 0; k < rows.size(); ++k) {
    ASSERT_EQ(rows[k], text(written - static_cast<int>(rows.size() - k))) << k;
  }
  EXPECT_LE(rows.size() * units, kPendingLogUnits - 1);
  EXPECT_GT((rows.size() + 1) * units, kPendingLogUnits - 1);
  channel.writeLog("after");  // once taken, the channel has its whole room again
  EXPECT_EQ(take(), std::vector<std::string>{"after"});
}

INSTANTIATE_TEST_SUITE_P(Lengths, LogOverflowTest, testing::Values(78, kLogTextSize - 1));

}  // namespace
}  // namespace drovn::core
