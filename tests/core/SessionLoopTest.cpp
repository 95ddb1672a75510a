#include <cerrno>
#include <gtest/gtest.h>

#include <atomic>

#include "platform/ErrorCodes.h"
#include "protocol/Dispatcher.h"
#include "support/ServiceHarness.h"

namespace drovn::core {
namespace {

using namespace std::chrono_literals;
using Lines = std::vector<std::string>;

const std::string kNoop = "200 OK \r\n";

enum class Leave { Waits, Closes, Resets, StaysSilent, SendsEmptyLines };
struct SessionCase {
  const char* name;
  // Each piece goes out alone, then come the replies it must bring; waiting for silence after
  // a piece without one also keeps the next piece out of its receive.
  std::vector<std::pair<std::string, std::string>> pieces;
  Leave leave;
  std::string received;  // after the pieces, until the server closes
  Lines logged;          // after the greeting, before "#1>Disconnected."
};

// One client of the real dispatcher, on a clock that stands still: the idle limit passes only
// when the test moves the clock. FAIL fails as a command does whose transfer broke.
class SessionLoopTest : public testing::TestWithParam<SessionCase> {
 protected:
  int dispatch(protocol::Session& s, protocol::Text& line) {
    sessionThread = std::this_thread::get_id();
    if (line == "FAIL") throw platform::PlatformError{platform::errnoError(EIO)};
    return protocol::dispatchCommand(s, line);
  }
  // Sends `sent` just before the idle limit, moving the clock only once the session has slept
  // again, so that it has looked at the clock: at once after an empty line, a second later
  // after silence. Then moves it past the limit.
  void idle(const std::string& sent) {
    for (const uint32_t ms : {0u, 599'000u}) {
      harness.clock().advance(ms);
      const int sleeps = harness.clock().sleepsOf(sessionThread);
      ASSERT_TRUE(client->send(sent));
      const auto slept = [&] { return harness.clock().sleepsOf(sessionThread) > sleeps; };
      ASSERT_TRUE(test::eventually(slept)) << "ended " << ms << " ms after the last command";
    }
    harness.clock().advance(2'000);
    ASSERT_TRUE(client->send(sent));
  }

  std::atomic<std::thread::id> sessionThread;
  test::ServiceHarness harness{{.clockSpeed = 0,
                                .dispatch = [this](auto& s, auto& l) { return dispatch(s, l); },
                                .limits = {}}};
  std::unique_ptr<test::FtpClient> client;
};

TEST_P(SessionLoopTest, ReadsLinesUntilTheSessionEnds) {
  const SessionCase& c = GetParam();
  ASSERT_TRUE(harness.startListening());
  std::string greeting;
  client = harness.connectClient(&greeting);
  ASSERT_EQ(greeting, "220 Server ready...\r\n");
  for (const auto& [bytes, replies] : c.pieces) {
    ASSERT_TRUE(client->send(bytes));
    std::string got = replies.empty() ? client->readFor(200ms) : "";
    while (got.size() < replies.size()) got += client->readLine().value_or("<none>");
    EXPECT_EQ(got, replies) << "after " << testing::PrintToString(bytes);
  }
  if (c.leave == Leave::StaysSilent || c.leave == Leave::SendsEmptyLines) {
    idle(c.leave == Leave::StaysSilent ? "" : "\r\n");
  }
  if (c.leave == Leave::Closes) client->close();
  ASSERT_TRUE(c.leave != Leave::Resets || client->resetConnection());
  EXPECT_TRUE(client->waitClosed());
  EXPECT_EQ(client->readFor(0ms), c.received);
  ASSERT_TRUE(harness.waitForLine("#1>Disconnected."));
  EXPECT_EQ(harness.service().sessionCount(), 0);
  Lines expected{"#1>Connected from 127.0.0.1", "220 Server ready..."};
  expected.insert(expected.end(), c.logged.begin(), c.logged.end());
  expected.push_back("#1>Disconnected.");
  const Lines all = harness.lines();
  EXPECT_EQ(Lines(std::find(all.begin(), all.end(), expected[0]), all.end()), expected);
}

const Lines kTwoNoops{"#1>NOOP", "200 OK", "#1>NOOP", "200 OK"};

// Thirty commands fail unanswered, a NOOP is answered, and the next failure ends the session.
SessionCase failures() {
  SessionCase c{"FailsTheThirtyFirstTime",
                {{"", kNoop}, {"FAIL\r\n", "421 Too many bad commands.\r\n"}},
                Leave::Waits, "", Lines(30, "Failed to process")};
  for (int i = 0; i < 30; ++i) c.pieces[0].first += "FAIL\r\n";
  c.pieces[0].first += "NOOP\r\n";
  c.logged.insert(c.logged.end(), {"#1>NOOP", "200 OK", "421 Too many bad commands."});
  return c;
}

// Built in place: g++ 12 at -O2 takes the copy of a long literal string out of a braced table
// for an overrun (-Warray-bounds).
SessionCase longLine() {
  SessionCase c{"SendsALineLongerThanTheBuffer", {{"", ""}}, Leave::Waits, "", {}};
  c.pieces[0].first.assign(3000, 'A').append("\r\nNOOP\r\n");
  c.logged.push_back("Command line too long");
  return c;
}

INSTANTIATE_TEST_SUITE_P(
    Clients, SessionLoopTest,
    testing::Values(
        SessionCase{"InThreePiecesThenQuits",
                    {{"NO", ""}, {"OP\r", ""}, {"\n", kNoop}, {"QUIT\r\n", ""}},
                    Leave::Waits, "", {"#1>NOOP", "200 OK", "#1>QUIT"}},
        SessionCase{"TwoLinesInOneReceiveThenCloses", {{"NOOP\r\nNOOP\r\n", kNoop + kNoop}},
                    Leave::Closes, "", kTwoNoops},
        SessionCase{"LoneLfIsPartOfTheLineThenResets", {{"NOOP\n", ""}, {"\r\n", kNoop}},
                    Leave::Resets, "", kTwoNoops},
        SessionCase{"BareCrLfGetsNoReplyThenCloses", {{"\r\n", ""}, {"\r\n\r\nNOOP\r\n", kNoop}},
                    Leave::Closes, "", {"#1>NOOP", "200 OK"}},
        SessionCase{"LineAndPartOfTheNextThenCloses", {{"NOOP\r\nNO", kNoop}, {"OP\r\n", kNoop}},
                    Leave::Closes, "", kTwoNoops},
        longLine(), failures(),
        SessionCase{"StaysSilent", {{"NOOP\r\n", kNoop}}, Leave::StaysSilent, "",
                    {"#1>NOOP", "200 OK", "Wait for command timeout"}},
        SessionCase{"SendsOnlyEmptyLines", {{"NOOP\r\n", kNoop}}, Leave::SendsEmptyLines,
                    "500 Session timeout\r\n", {"#1>NOOP", "200 OK", "500 Session timeout"}}),
    [](const auto& p) { return std::string(p.param.name); });

}  // namespace
}  // namespace drovn::core
