#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ProtocolTestSupport.h"

namespace drovn::protocol::test {
namespace {

constexpr char kFeatures[] = "211-Extensions supported:\r\n SIZE\r\n UTF8\r\n211 END\r\n";
constexpr char kNoop[] = "200 OK \r\n";
constexpr char kAlreadyLoggedIn[] = "500 You are already logged in.\r\n";

std::string userOk(const std::string& name) {
  return "331 User name \"" + name + "\" is okay, need password.\r\n";
}

// A script ends with NOOP: a stray second reply to any line before it would show up there.
struct Script {
  const char* name;
  bool loggedIn;
  std::vector<Exchange> exchanges;
};

class DispatcherScriptTest : public ProtocolTest, public testing::WithParamInterface<Script> {};

TEST_P(DispatcherScriptTest, RepliesInOrder) {
  auto client = connect();
  ASSERT_NE(client, nullptr);
  if (GetParam().loggedIn) login(*client);
  std::vector<Exchange> exchanges = GetParam().exchanges;
  exchanges.push_back({"NOOP", kNoop});
  expectExchanges(*client, exchanges);
}

INSTANTIATE_TEST_SUITE_P(
    Lines, DispatcherScriptTest,
    testing::Values(Script{"WordsInAnyLetterCase",
                           false,
                           {{"USER bob", userOk("bob")},
                            {"user bob", userOk("bob")},
                            {"User bob", userOk("bob")},
                            {"uSeR BoB", userOk("BoB")},
                            {"noop", kNoop},
                            {"NoOp extra words", kNoop}}},
                    Script{"UnknownWordInUpperCaseWithoutItsArguments",
                           false,
                           {{"foo bar", "500 Invalid command FOO\r\n"},
                            {"Xyz", "500 Invalid command XYZ\r\n"},
                            {"MLSD /", "500 Invalid command MLSD\r\n"}}},
                    Script{"LineOfSpacesOnly", false, {{"   ", "500 Invalid command    \r\n"}}},
                    // Lines end only at CR LF; a bare CR or LF echoed back goes out as a space
                    // so that the reply stays one line.
                    Script{"BareLineBreaksEchoedAsSpaces",
                           false,
                           {{"A\nB", "500 Invalid command A B\r\n"},
                            {"USER a\nb", userOk("a b")}}},
                    Script{"TabAfterTheWordMakesOneToken",
                           false,
                           {{"USER\tbob", "500 Invalid command USER\tBOB\r\n"},
                            {"noop\tnow", "500 Invalid command NOOP\tNOW\r\n"},
                            {"NOOP\t", kNoop}}},
                    Script{"ArgumentsJoinedWithSingleSpaces",
                           false,
                           {{"USER  two   words ", userOk("two words")},
                            {"USER \tbob\t x", userOk("bob x")},
                            {"\t USER bob", userOk("bob")}}},
                    Script{"InlineRepliesRefusedBeforeLogin",
                           false,
                           {{"PWD", kPleaseLogIn},
                            {"XPWD", kPleaseLogIn},
                            {"SYST", kPleaseLogIn},
                            {"FEAT", kPleaseLogIn},
                            {"feat anything", kPleaseLogIn},
                            {"PWD with argument", kPleaseLogIn}}},
                    Script{"HandlersRefuseBeforeLogin",
                           false,
                           {{"CWD x", kPleaseLogIn},
                            {"TYPE I", kPleaseLogIn},
                            {"SIZE x", kPleaseLogIn},
                            {"DELE x", kPleaseLogIn},
                            {"MKD x", kPleaseLogIn},
                            {"RMD x", kPleaseLogIn},
                            {"RNFR x", kPleaseLogIn},
                            {"RNTO x", kPleaseLogIn},
                            {"CDUP", kPleaseLogIn},
                            {"OPTS UTF8 ON", kPleaseLogIn},
                            {"PORT 127,0,0,1,4,1", kPleaseLogIn},
                            {"PASV", kPleaseLogIn},
                            {"LIST", kPleaseLogIn},
                            {"NLST -l", kPleaseLogIn},
                            {"RETR x", kPleaseLogIn},
                            {"STOR x", kPleaseLogIn},
                            {"APPE x", kPleaseLogIn},
                            {"REST 0", kPleaseLogIn}}},
                    // The missing parameter is answered and the command is not carried out: no
                    // second reply follows (the closing NOOP would receive it).
                    Script{"MissingArgumentBeforeLogin",
                           false,
                           {{"USER", kBadParameter},
                            {"CWD", kBadParameter},
                            {"TYPE", kBadParameter},
                            {"RETR", kBadParameter},
                            {"OPTS", kBadParameter},
                            {"PASS", "503 Enter user name\r\n"}}},
                    Script{"MissingArgumentAfterLogin",
                           true,
                           {{"USER", kBadParameter},
                            {"CWD", kBadParameter},
                            {"TYPE", kBadParameter},
                            {"PORT", kBadParameter},
                            {"RETR", kBadParameter},
                            {"SIZE", kBadParameter},
                            {"STOR", kBadParameter},
                            {"DELE", kBadParameter},
                            {"MKD", kBadParameter},
                            {"RMD", kBadParameter},
                            {"APPE", kBadParameter},
                            {"RNFR", kBadParameter},
                            {"RNTO", kBadParameter},
                            {"REST", kBadParameter},
                            {"OPTS", kBadParameter},
                            {"PWD", "257 \"/\" is current directory.\r\n"}}},
                    Script{"InlineRepliesAfterLogin",
                           true,
                           {{"PWD", "257 \"/\" is current directory.\r\n"},
                            {"xpwd", "257 \"/\" is current directory.\r\n"},
                            {"SYST", "215 UNIX (DROVN_V20091111)\r\n"},
                            {"FEAT", kFeatures},
                            {"FEAT ignored", kFeatures}}},
                    Script{"DataCommandsRoutedAfterLogin",
                           true,
                           {{"PORT 127,0,0,1,4,1", "200 PORT command ok.\r\n"},
                            {"LIST missing", kAccessDenied},
                            {"LIST -l missing", kAccessDenied},
                            {"nlst missing", kAccessDenied},
                            {"RETR a", kAccessDenied},
                            {"rest 5", "350 REST from 5\r\n"},
                            {"REST", kBadParameter}}},
                    Script{"UserWhileLoggedInKeepsTheLogin",
                           true,
                           {{"USER other", kAlreadyLoggedIn},
                            {"PASS again", kAlreadyLoggedIn},
                            {"SYST", "215 UNIX (DROVN_V20091111)\r\n"}}},
                    Script{"CdupIgnoresItsArgument",
                           true,
                           {{"MKD sub", "257 Directory created.\r\n"},
                            {"CWD sub", "250 Directory changed to /sub\r\n"},
                            {"CDUP somewhere else", "250 Directory changed to /\r\n"},
                            {"PWD", "257 \"/\" is current directory.\r\n"}}}),
    [](const testing::TestParamInfo<Script>& i) { return std::string(i.param.name); });

TEST_F(ProtocolTest, QuitSendsNothingAndEndsTheSession) {
  auto client = connect();
  ASSERT_NE(client, nullptr);
  ASSERT_TRUE(client->send("quit\r\n"));
  EXPECT_TRUE(client->waitClosed());
  EXPECT_EQ(client->readFor(100ms), "");
  EXPECT_TRUE(harness.waitForLine("#1>Disconnected."));
}

TEST_F(ProtocolTest, TheLogShowsEachLineAsSentButNeverAPassword) {
  auto client = connect();
  ASSERT_NE(client, nullptr);
  expectExchanges(*client, {{"user Bob", userOk("Bob")},
                            {"foo  bar", "500 Invalid command FOO\r\n"},
                            {"PASS top secret", kPasswordOk},
                            {"pass", kAlreadyLoggedIn},
                            {"   ", "500 Invalid command    \r\n"},
                            {"NOOP", kNoop}});
  ASSERT_TRUE(harness.waitForLine("200 OK"));
  EXPECT_TRUE(harness.hasLine("#1>user Bob"));
  EXPECT_TRUE(harness.hasLine("#1>foo  bar")) << "logged as trimmed, arguments included";
  EXPECT_TRUE(harness.hasLine("#1>PASS [hidden]"));
  EXPECT_TRUE(harness.hasLine("#1>PASS [anonymous]"));
  EXPECT_TRUE(harness.hasLine("331 User name \"Bob\" is okay, need password."));
  int sessionLines = 0;
  for (const std::string& line : harness.lines()) {
    EXPECT_EQ(line.find("secret"), std::string::npos) << line;
    if (line.starts_with("#1>")) ++sessionLines;
  }
  // Connected, five command lines (the line of spaces is not logged), nothing else yet.
  EXPECT_EQ(sessionLines, 6);
}

// A reply around a long argument is cut to the 2047 bytes of its buffer, line end kept.
class LongReplyTest : public ProtocolTest, public testing::WithParamInterface<std::size_t> {};

TEST_P(LongReplyTest, UnknownWordIsCutBeforeTheLineEnd) {
  auto client = connect();
  ASSERT_NE(client, nullptr);
  const std::string word(GetParam(), 'B');
  const std::string prefix = "500 Invalid command ";
  const std::size_t room = 2047 - prefix.size() - 2;
  EXPECT_EQ(ask(*client, word), prefix + word.substr(0, room) + "\r\n");
}

TEST_P(LongReplyTest, UserNameIsCutBeforeTheClosingText) {
  auto client = connect();
  ASSERT_NE(client, nullptr);
  const std::string name(GetParam() - 5, 'a');  // "USER " + name is as long as the word above
  const std::string first = "331 User name \"";
  const std::string last = "\" is okay, need password.\r\n";
  const std::size_t room = 2047 - first.size() - last.size();
  EXPECT_EQ(ask(*client, "USER " + name), first + name.substr(0, room) + last);
}

// 2025 fills the 500 reply exactly; 2046 is the longest line the reader takes.
INSTANTIATE_TEST_SUITE_P(Lengths, LongReplyTest, testing::Values(2024, 2025, 2026, 2046));

}  // namespace
}  // namespace drovn::protocol::test
