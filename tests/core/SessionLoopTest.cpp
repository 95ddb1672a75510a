#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "core/SessionLoop.h"
#include "platform/ErrorCodes.h"
#include "protocol/Dispatcher.h"
#include "support/ServiceHarness.h"

namespace drovn::core {
namespace {

using namespace std::chrono_literals;
using test::FtpClient;
using test::HarnessOptions;
using test::ServiceHarness;

constexpr char kGreeting[] = "220 Server ready...\r\n";
constexpr char kNoopReply[] = "200 OK \r\n";
// Past the idle limit of 600000 seconds.
constexpr uint32_t kPastIdleLimitMs = 600000u * 1000u + 1000u;

// The real dispatcher, plus two commands only tests have: FAIL raises an error as a failed
// transfer would, UTF8 switches the session to UTF-8 as OPTS UTF8 ON does.
int testDispatch(protocol::Session& s, protocol::Text& line) {
  if (line == "FAIL") throw platform::PlatformError{platform::kErrorGenFailure};
  if (line == "UTF8") {
    s.utf8 = true;
    return 1;
  }
  return protocol::dispatchCommand(s, line);
}

class SessionLoopTest : public testing::Test {
 protected:
  SessionLoopTest() : harness(HarnessOptions{100, testDispatch, 0}) {}

  void SetUp() override {
    ASSERT_TRUE(harness.startListening());
    client = harness.connectClient(&greeting);
    ASSERT_NE(client, nullptr);
  }

  ServiceHarness harness;
  std::unique_ptr<FtpClient> client;
  std::string greeting;
};

TEST_F(SessionLoopTest, AClientIsGreetedAndLoggedWithItsAddress) {
  EXPECT_EQ(greeting, kGreeting);
  EXPECT_TRUE(harness.waitForLine("#1>Connected from 127.0.0.1"));
  EXPECT_TRUE(harness.waitForLine("220 Server ready..."));  // replies are logged unprefixed
  EXPECT_EQ(harness.service().sessionCount(), 1);
}

// One receive per piece; `replies` is what the client must have got after that piece.
struct Piece {
  std::string bytes;
  std::vector<std::string> replies;
};
struct LineCase {
  const char* name;
  std::vector<Piece> pieces;
};

class LineReaderTest : public SessionLoopTest, public testing::WithParamInterface<LineCase> {};

TEST_P(LineReaderTest, LinesEndOnlyAtCrLf) {
  for (const Piece& piece : GetParam().pieces) {
    ASSERT_TRUE(client->send(piece.bytes));
    if (piece.replies.empty()) {
      EXPECT_EQ(client->readFor(200ms), "") << "after " << testing::PrintToString(piece.bytes);
      continue;
    }
    for (const std::string& reply : piece.replies) {
      EXPECT_EQ(client->readLine(2s).value_or("<none>"), reply);
    }
  }
  EXPECT_EQ(client->readFor(100ms), "");
  EXPECT_EQ(harness.service().sessionCount(), 1);
}

INSTANTIATE_TEST_SUITE_P(
    Pieces, LineReaderTest,
    testing::Values(
        LineCase{"InThreePieces", {{"NO", {}}, {"OP\r", {}}, {"\n", {kNoopReply}}}},
        LineCase{"TwoLinesInOnePacket", {{"NOOP\r\nNOOP\r\n", {kNoopReply, kNoopReply}}}},
        LineCase{"LoneLfIsPartOfTheLine", {{"NOOP\n", {}}, {"\r\n", {kNoopReply}}}},
        LineCase{"CrAtTheEndOfAReceive", {{"NOOP\r", {}}, {"\n", {kNoopReply}}}},
        LineCase{"BareCrLfGetsNoReply", {{"\r\n", {}}, {"\r\n\r\nNOOP\r\n", {kNoopReply}}}},
        LineCase{"LineAndAPieceOfTheNext",
                 {{"NOOP\r\nNO", {kNoopReply}}, {"OP\r\n", {kNoopReply}}}}),
    [](const testing::TestParamInfo<LineCase>& param) { return param.param.name; });

TEST_F(SessionLoopTest, ALineEndedByALoneLfIsLoggedTrimmed) {
  ASSERT_TRUE(client->send("noop\n\r\n"));
  EXPECT_EQ(client->readLine().value_or("<none>"), kNoopReply);
  EXPECT_TRUE(harness.waitForLine("#1>noop"));
}

TEST_F(SessionLoopTest, ALineLongerThanTheBufferIsNeverHandledAndTheSessionWaitsForTheLimit) {
  ASSERT_TRUE(client->send(std::string(3000, 'A') + "\r\nNOOP\r\n"));
  EXPECT_EQ(client->readFor(300ms), "");
  EXPECT_EQ(harness.service().sessionCount(), 1);
  EXPECT_EQ(harness.count("Wait for command timeout."), 0);

  harness.clock().advance(kPastIdleLimitMs);
  EXPECT_TRUE(harness.waitForLine("Wait for command timeout."));
  EXPECT_TRUE(harness.waitForLine("#1>Disconnected."));
  EXPECT_TRUE(client->waitClosed());
  EXPECT_TRUE(harness.waitForSessionCount(0));
}

struct SilenceCase {
  const char* name;
  bool clientCloses;
  const char* line;
};

class SilenceTest : public SessionLoopTest, public testing::WithParamInterface<SilenceCase> {};

TEST_P(SilenceTest, TheIdleLimitEndsTheSessionWithoutAReply) {
  ASSERT_TRUE(client->send("NOOP\r\n"));
  ASSERT_EQ(client->readLine().value_or("<none>"), kNoopReply);
  if (GetParam().clientCloses) client->close();
  // Well inside the limit nothing happens.
  harness.clock().advance(1000u * 1000u);
  EXPECT_FALSE(harness.waitForLine(GetParam().line, 1500ms));
  EXPECT_EQ(harness.service().sessionCount(), 1);

  harness.clock().advance(kPastIdleLimitMs);
  EXPECT_TRUE(harness.waitForLine(GetParam().line, 5s));
  EXPECT_TRUE(harness.waitForLine("#1>Disconnected."));
  EXPECT_TRUE(harness.waitForSessionCount(0));
  if (!GetParam().clientCloses) {
    EXPECT_TRUE(client->waitClosed());
  }
  EXPECT_EQ(harness.count("500 Session timeout"), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Clients, SilenceTest,
    testing::Values(SilenceCase{"Silent", false, "Wait for command timeout"},
                    SilenceCase{"ClosedItsSide", true, "Wait for command timeout."}),
    [](const testing::TestParamInfo<SilenceCase>& param) { return param.param.name; });

TEST_F(SessionLoopTest, EmptyLinesPastTheLimitGetSessionTimeout) {
  ASSERT_TRUE(client->send("NOOP\r\n"));
  ASSERT_EQ(client->readLine().value_or("<none>"), kNoopReply);
  // The session notes the time of a command after its reply; let it do so before time jumps.
  std::this_thread::sleep_for(100ms);
  harness.clock().advance(kPastIdleLimitMs);
  ASSERT_TRUE(client->send("\r\n"));
  EXPECT_EQ(client->readLine().value_or("<none>"), "500 Session timeout\r\n");
  EXPECT_TRUE(client->waitClosed());
  EXPECT_TRUE(harness.waitForLine("#1>Disconnected."));
}

TEST_F(SessionLoopTest, TheThirtyFirstFailingCommandClosesTheSession) {
  for (int i = 0; i < 30; ++i) ASSERT_TRUE(client->send("FAIL\r\n"));
  // Thirty errors: no reply to any of them, and the session still answers.
  ASSERT_TRUE(client->send("NOOP\r\n"));
  EXPECT_EQ(client->readLine().value_or("<none>"), kNoopReply);
  EXPECT_EQ(harness.count("Failed to process"), 30);

  ASSERT_TRUE(client->send("FAIL\r\n"));
  EXPECT_EQ(client->readLine().value_or("<none>"), "421 Too many bad commands.\r\n");
  EXPECT_TRUE(client->waitClosed());
  EXPECT_TRUE(harness.waitForLine("#1>Disconnected."));
  EXPECT_EQ(harness.count("Failed to process"), 30);
}

TEST_F(SessionLoopTest, QuitClosesWithoutAReply) {
  ASSERT_TRUE(client->send("QUIT\r\n"));
  EXPECT_TRUE(client->waitClosed());
  EXPECT_EQ(client->readFor(10ms), "");
  EXPECT_TRUE(harness.waitForLine("#1>Disconnected."));
  EXPECT_TRUE(harness.waitForSessionCount(0));
  EXPECT_TRUE(harness.hasLine("#1>QUIT"));
}

TEST_F(SessionLoopTest, AResetConnectionLogsOnlyDisconnected) {
  ASSERT_TRUE(client->resetConnection());
  EXPECT_TRUE(harness.waitForLine("#1>Disconnected."));
  EXPECT_TRUE(harness.waitForSessionCount(0));
  for (const std::string& line : harness.lines()) {
    EXPECT_FALSE(line.starts_with("Receive error")) << line;
    EXPECT_NE(line, "Failed to process");
  }
}

TEST_F(SessionLoopTest, UnknownWordsAreAnsweredInUpperCaseAndNotCounted) {
  ASSERT_TRUE(client->send("  foo bar\r\n"));
  EXPECT_EQ(client->readLine().value_or("<none>"), "500 Invalid command FOO\r\n");
  EXPECT_TRUE(harness.waitForLine("#1>foo bar"));
  ASSERT_TRUE(client->send("   \t \r\n"));  // a word of blanks is still a word
  EXPECT_EQ(client->readLine().value_or("<none>"), "500 Invalid command \t\r\n");
  EXPECT_EQ(harness.count("Failed to process"), 0);
}

TEST_F(SessionLoopTest, AnOverlongWordIsCutButTheReplyKeepsItsLineEnd) {
  const std::string word(protocol::kReceiveBufferSize - 2, 'x');  // the longest line
  ASSERT_TRUE(client->send(word + "\r\n"));
  const std::string reply = client->readLine().value_or("<none>");
  EXPECT_EQ(reply.size(), protocol::kTextSize - 1);
  EXPECT_TRUE(reply.starts_with("500 Invalid command XXXX"));
  EXPECT_TRUE(reply.ends_with("X\r\n"));
  // The log line is cut to its buffer too: prefix and as much of the line as fits.
  EXPECT_TRUE(harness.waitForLine("#1>" + std::string(protocol::kTextSize - 1 - 3, 'x')));
}

TEST_F(SessionLoopTest, InUtf8ModeRepliesGoOutAsSentAndAreLoggedConverted) {
  ASSERT_TRUE(client->send("UTF8\r\n"));
  ASSERT_TRUE(client->send("文件 x\r\n"));
  EXPECT_EQ(client->readLine().value_or("<none>"), "500 Invalid command 文件\r\n");
  EXPECT_TRUE(harness.waitForLine("#1>文件 x"));
  EXPECT_TRUE(harness.waitForLine("500 Invalid command 文件"));
}

}  // namespace
}  // namespace drovn::core
