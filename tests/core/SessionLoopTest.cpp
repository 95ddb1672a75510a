#include <gtest/gtest.h>

#include <atomic>

#include "platform/ErrorCodes.h"
#include "protocol/Dispatcher.h"
#include "support/ServiceHarness.h"

namespace drovn::core {
namespace {

using namespace std::chrono_literals;

const std::string kNoop = "200 OK \r\n";

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
  // Sends a NOOP, then `sent` just before the idle limit; the clock is moved only once the
  // session has slept again, so that it has looked at the clock: at once after an empty line,
  // a second later after silence.
  void idle(const std::string& sent) {
    ASSERT_TRUE(client->send("NOOP\r\n"));
    ASSERT_EQ(client->readLine().value_or("<none>"), kNoop);
    for (const uint32_t ms : {0u, 599'000u}) {
      harness.clock().advance(ms);
      const int sleeps = harness.clock().sleepsOf(sessionThread);
      ASSERT_TRUE(client->send(sent));
      const auto slept = [&] { return harness.clock().sleepsOf(sessionThread) > sleeps; };
      ASSERT_TRUE(test::eventually(slept)) << "ended " << ms << " ms after the last command";
    }
    harness.clock().advance(2'000);  // ten minutes and a second after the NOOP
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
                    LineCase{"TwoInOneReceive", {{"NOOP\r\nNOOP\r\n", kNoop + kNoop}}},
                    LineCase{"LoneLfIsPartOfTheLine", {{"NOOP\n", ""}, {"\r\n", kNoop}}},
                    LineCase{"BareCrLfGetsNoReply", {{"\r\n", ""}, {"\r\n\r\nNOOP\r\n", kNoop}}},
                    LineCase{"LineAndPartOfTheNext", {{"NOOP\r\nNO", kNoop}, {"OP\r\n", kNoop}}}),
    [](const auto& p) { return std::string(p.param.name); });

enum class Leave { Waits, Closes, Resets, Idles };
struct EndCase {
  const char* name;
  std::string sent;
  Leave leave;
  std::string received;
  std::vector<std::string> logged;  // after the greeting
};
class SessionEndTest : public SessionLoopTest, public testing::WithParamInterface<EndCase> {};

TEST_P(SessionEndTest, EndsTheSessionAndFreesItsSlot) {
  const EndCase& c = GetParam();
  if (c.leave == Leave::Idles) idle(c.sent);
  ASSERT_TRUE(client->send(c.sent));
  if (c.leave == Leave::Closes) client->close();
  ASSERT_TRUE(c.leave != Leave::Resets || client->resetConnection());
  EXPECT_TRUE(client->waitClosed());
  EXPECT_EQ(client->readFor(0ms), c.received);
  ASSERT_TRUE(harness.waitForLine("#1>Disconnected."));
  EXPECT_EQ(harness.service().sessionCount(), 0);
  std::vector<std::string> expected{"#1>Connected from 127.0.0.1", "220 Server ready..."};
  expected.insert(expected.end(), c.logged.begin(), c.logged.end());
  expected.push_back("#1>Disconnected.");
  const auto all = harness.lines();
  EXPECT_EQ(std::vector(std::find(all.begin(), all.end(), expected[0]), all.end()), expected);
}

// Thirty commands fail unanswered, a NOOP is answered, and the next failure ends the session.
EndCase failures() {
  EndCase c{"FailsTheThirtyFirstTime", "", Leave::Waits, kNoop + "421 Too many bad commands.\r\n",
            std::vector<std::string>(30, "Failed to process")};
  for (int i = 0; i < 30; ++i) c.sent += "FAIL\r\n";
  c.sent += "NOOP\r\nFAIL\r\n";
  c.logged.insert(c.logged.end(), {"#1>NOOP", "200 OK", "421 Too many bad commands."});
  return c;
}

INSTANTIATE_TEST_SUITE_P(
    Clients, SessionEndTest,
    testing::Values(EndCase{"Quits", "QUIT\r\n", Leave::Waits, "", {"#1>QUIT"}},
                    EndCase{"ClosesItsSide", "", Leave::Closes, "", {}},
                    EndCase{"Resets", "", Leave::Resets, "", {"#1>NOOP", "200 OK"}},
                    EndCase{"SendsALineLongerThanTheBuffer",
                            std::string(3000, 'A') + "\r\nNOOP\r\n", Leave::Waits, "",
                            {"Command line too long"}},
                    failures(),
                    EndCase{"StaysSilent", "", Leave::Idles, "",
                            {"#1>NOOP", "200 OK", "Wait for command timeout"}},
                    EndCase{"SendsOnlyEmptyLines", "\r\n", Leave::Idles, "500 Session timeout\r\n",
                            {"#1>NOOP", "200 OK", "500 Session timeout"}}),
    [](const auto& p) { return std::string(p.param.name); });

}  // namespace
}  // namespace drovn::core
