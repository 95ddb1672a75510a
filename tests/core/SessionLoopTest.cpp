#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "platform/ErrorCodes.h"
#include "protocol/Dispatcher.h"
#include "support/ServiceHarness.h"

namespace drovn::core {
namespace {

using namespace std::chrono_literals;

const std::string kNoop = "200 OK \r\n";

std::string times(int n, const std::string& text) {
  std::string out;
  while (n-- > 0) out += text;
  return out;
}

// One client of the real dispatcher, on a clock that stands still: the idle limit passes only
// when a test moves the clock. FAIL fails as a command does whose transfer broke.
class SessionLoopTest : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(harness.startListening());
    std::string greeting;
    client = harness.connectClient(&greeting);
    ASSERT_EQ(greeting, "220 Server ready...\r\n");
  }
  int dispatch(protocol::Session& s, protocol::Text& line) {
    sessionThread = std::this_thread::get_id();
    if (line == "FAIL") throw platform::PlatformError{platform::kErrorGenFailure};
    return protocol::dispatchCommand(s, line);
  }
  // The client gets `received` before the server closes, and the session's log is `logged`
  // between its greeting and its end.
  void expectEnd(const std::string& received, const std::vector<std::string>& logged) {
    EXPECT_TRUE(client->waitClosed());
    EXPECT_EQ(client->readFor(0ms), received);
    ASSERT_TRUE(harness.waitForLine("#1>Disconnected."));
    EXPECT_EQ(harness.service().sessionCount(), 0);
    std::vector<std::string> expected{"#1>Connected from 127.0.0.1", "220 Server ready..."};
    expected.insert(expected.end(), logged.begin(), logged.end());
    expected.push_back("#1>Disconnected.");
    const auto all = harness.lines();
    EXPECT_EQ(std::vector(std::find(all.begin(), all.end(), expected[0]), all.end()), expected);
  }

  std::atomic<std::thread::id> sessionThread;
  test::ServiceHarness harness{{.clockSpeed = 0,
                                .dispatch = [this](auto& s, auto& l) { return dispatch(s, l); },
                                .limits = {}}};
  std::unique_ptr<test::FtpClient> client;
};

// Each piece goes out alone, then come the replies it must bring.
struct LineCase {
  const char* name;
  std::vector<std::pair<std::string, std::string>> pieces;
};
class LineReaderTest : public SessionLoopTest, public testing::WithParamInterface<LineCase> {};

TEST_P(LineReaderTest, CommandsEndOnlyAtCrLf) {
  for (const auto& [bytes, replies] : GetParam().pieces) {
    ASSERT_TRUE(client->send(bytes));
    // Waiting for silence also keeps the next piece out of this one's receive.
    std::string got = replies.empty() ? client->readFor(200ms) : "";
    while (got.size() < replies.size()) got += client->readLine().value_or("<none>");
    EXPECT_EQ(got, replies) << "after " << testing::PrintToString(bytes);
  }
  ASSERT_TRUE(client->send("XYZ\r\n"));  // and nothing else came before its reply
  EXPECT_EQ(client->readLine().value_or("<none>"), "500 Invalid command XYZ\r\n");
}

INSTANTIATE_TEST_SUITE_P(
    Pieces, LineReaderTest,
    testing::Values(LineCase{"InThreePieces", {{"NO", ""}, {"OP\r", ""}, {"\n", kNoop}}},
                    LineCase{"TwoInOneReceive", {{"NOOP\r\nNOOP\r\n", times(2, kNoop)}}},
                    LineCase{"LoneLfIsPartOfTheLine", {{"NOOP\n", ""}, {"\r\n", kNoop}}},
                    LineCase{"BareCrLfGetsNoReply", {{"\r\n", ""}, {"\r\n\r\nNOOP\r\n", kNoop}}},
                    LineCase{"LineAndPartOfTheNext", {{"NOOP\r\nNO", kNoop}, {"OP\r\n", kNoop}}}),
    [](const auto& p) { return std::string(p.param.name); });

enum class Leave { Waits, Closes, Resets };
struct EndCase {
  const char* name;
  std::string sent;
  Leave leave;
  std::string received;
  std::vector<std::string> logged;
};
class SessionEndTest : public SessionLoopTest, public testing::WithParamInterface<EndCase> {};

TEST_P(SessionEndTest, EndsAtOnce) {
  ASSERT_TRUE(client->send(GetParam().sent));
  if (GetParam().leave == Leave::Closes) client->close();
  ASSERT_TRUE(GetParam().leave != Leave::Resets || client->resetConnection());
  expectEnd(GetParam().received, GetParam().logged);
}

std::vector<std::string> thirtyFailuresAndANoop() {
  std::vector<std::string> lines(30, "Failed to process");
  lines.insert(lines.end(), {"#1>NOOP", "200 OK", "421 Too many bad commands."});
  return lines;
}

INSTANTIATE_TEST_SUITE_P(
    Clients, SessionEndTest,
    testing::Values(EndCase{"Quits", "QUIT\r\n", Leave::Waits, "", {"#1>QUIT"}},
                    EndCase{"ClosesItsSide", "", Leave::Closes, "", {}},
                    EndCase{"Resets", "", Leave::Resets, "", {"#1>NOOP", "200 OK"}},
                    EndCase{"SendsALineLongerThanTheBuffer",
                            std::string(3000, 'A') + "\r\nNOOP\r\n", Leave::Waits, "",
                            {"Command line too long"}},
                    EndCase{"FailsTheThirtyFirstTime", times(30, "FAIL\r\n") + "NOOP\r\nFAIL\r\n",
                            Leave::Waits, kNoop + "421 Too many bad commands.\r\n",
                            thirtyFailuresAndANoop()}),
    [](const auto& p) { return std::string(p.param.name); });

struct IdleCase {
  const char* name;
  std::string sent;  // while the session waits: nothing, or empty lines
  std::string received;
  std::string logged;
};
class IdleLimitTest : public SessionLoopTest, public testing::WithParamInterface<IdleCase> {};

TEST_P(IdleLimitTest, EndsTheSessionTenMinutesAfterTheLastCommand) {
  ASSERT_TRUE(client->send("NOOP\r\n"));
  ASSERT_EQ(client->readLine().value_or("<none>"), kNoop);
  // Once the session sleeps again it has looked at the clock: at once after an empty line, a
  // second later after silence.
  for (const uint32_t ms : {0u, 599'000u}) {
    harness.clock().advance(ms);
    const int sleeps = harness.clock().sleepsOf(sessionThread);
    ASSERT_TRUE(client->send(GetParam().sent));
    EXPECT_TRUE(test::eventually([&] { return harness.clock().sleepsOf(sessionThread) > sleeps; }))
        << "the session ended " << ms << " ms after its last command";
  }
  harness.clock().advance(2'000);
  ASSERT_TRUE(client->send(GetParam().sent));
  expectEnd(GetParam().received, {"#1>NOOP", "200 OK", GetParam().logged});
}

INSTANTIATE_TEST_SUITE_P(
    Clients, IdleLimitTest,
    testing::Values(IdleCase{"Silent", "", "", "Wait for command timeout"},
                    IdleCase{"SendsEmptyLines", "\r\n", "500 Session timeout\r\n",
                             "500 Session timeout"}),
    [](const auto& p) { return std::string(p.param.name); });

}  // namespace
}  // namespace drovn::core
