#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "core/ServiceController.h"
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
// The idle limit: ten minutes.
constexpr uint32_t kIdleLimitMs = 600u * 1000u;
constexpr uint32_t kPastIdleLimitMs = kIdleLimitMs + 1000u;

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
  // The service's own limits unless a test asks for others.
  explicit SessionLoopTest(protocol::SessionLimits limits = {})
      : harness(HarnessOptions{.clockSpeed = 100, .dispatch = testDispatch, .limits = limits}) {}

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

// A client that can send no more commands ends its session at once, whatever the idle limit:
// one that closed its side, and one whose line can never end in the buffer.
struct EndCase {
  const char* name;
  void (*leave)(FtpClient&);
  std::vector<std::string> lines;  // the log between the last reply and "#1>Disconnected."
};

class ClientLeavesTest : public SessionLoopTest, public testing::WithParamInterface<EndCase> {};

TEST_P(ClientLeavesTest, EndsTheSessionAtOnce) {
  ASSERT_TRUE(client->send("NOOP\r\n"));
  ASSERT_EQ(client->readLine().value_or("<none>"), kNoopReply);
  GetParam().leave(*client);
  EXPECT_TRUE(harness.waitForSessionCount(0));
  EXPECT_TRUE(harness.waitForLine("#1>Disconnected."));
  const std::vector<std::string> lines = harness.lines();
  const int noop = harness.find("200 OK");
  ASSERT_GE(noop, 0);
  EXPECT_EQ(std::vector<std::string>(lines.begin() + noop + 1, lines.end() - 1),
            GetParam().lines);
  EXPECT_EQ(lines.back(), "#1>Disconnected.");
}

INSTANTIATE_TEST_SUITE_P(
    Clients, ClientLeavesTest,
    testing::Values(EndCase{"ClosedItsSide", [](FtpClient& c) { c.close(); }, {}},
                    EndCase{"LineLongerThanTheBuffer",
                            [](FtpClient& c) {
                              ASSERT_TRUE(c.send(std::string(3000, 'A') + "\r\nNOOP\r\n"));
                              EXPECT_TRUE(c.waitClosed());
                            },
                            {"Command line too long"}}),
    [](const testing::TestParamInfo<EndCase>& param) { return param.param.name; });

TEST_F(SessionLoopTest, SilenceEndsTheSessionAtTheTenMinuteLimitWithoutAReply) {
  ASSERT_TRUE(client->send("NOOP\r\n"));
  ASSERT_EQ(client->readLine().value_or("<none>"), kNoopReply);
  // Half the limit, and a second of real time (100 s on this clock): nothing yet.
  harness.clock().advance(kIdleLimitMs / 2);
  EXPECT_FALSE(harness.waitForLine("Wait for command timeout", 1s));
  EXPECT_EQ(harness.service().sessionCount(), 1);

  harness.clock().advance(kIdleLimitMs / 2);
  EXPECT_TRUE(harness.waitForLine("Wait for command timeout"));
  EXPECT_TRUE(harness.waitForLine("#1>Disconnected."));
  EXPECT_TRUE(client->waitClosed());
  EXPECT_EQ(client->readFor(10ms), "");
  EXPECT_TRUE(harness.waitForSessionCount(0));
}

// Every slot comes back from clients that leave without QUIT: the next one is greeted at once.
class SlotsComeBackTest : public SessionLoopTest, public testing::WithParamInterface<EndCase> {
 protected:
  // The harness's long idle limit: fifty logins must not meet the real one on the fast clock.
  SlotsComeBackTest() : SessionLoopTest(HarnessOptions{}.limits) {}
};

TEST_P(SlotsComeBackTest, AfterFiftyClientsLeave) {
  client->close();
  ASSERT_TRUE(harness.waitForSessionCount(0));
  std::vector<std::unique_ptr<FtpClient>> clients;
  for (int i = 0; i < kMaxSessions; ++i) {
    clients.push_back(harness.connectClient());
    ASSERT_NE(clients.back(), nullptr) << i;
    ASSERT_TRUE(clients.back()->send("USER anonymous\r\nPASS x\r\n"));
    ASSERT_TRUE(clients.back()->readLine().has_value());
    ASSERT_EQ(clients.back()->readLine().value_or("<none>"), "230 Password ok.\r\n");
  }
  for (auto& c : clients) GetParam().leave(*c);
  std::string greeting51;
  const auto fiftyFirst = harness.connectClient(&greeting51);
  ASSERT_NE(fiftyFirst, nullptr);
  EXPECT_EQ(greeting51, kGreeting);
}

INSTANTIATE_TEST_SUITE_P(
    Clients, SlotsComeBackTest,
    testing::Values(EndCase{"ClosedWithoutQuit", [](FtpClient& c) { c.close(); }, {}},
                    EndCase{"SentALongLine",
                            [](FtpClient& c) { ASSERT_TRUE(c.send(std::string(3000, 'A'))); },
                            {}}),
    [](const testing::TestParamInfo<EndCase>& param) { return param.param.name; });

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
