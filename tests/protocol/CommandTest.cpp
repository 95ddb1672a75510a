// The replies of the commands that need no data connection, byte for byte, on a real store; and
// confinement: no command reaches anything outside the account root.
#include <filesystem>
#include <string>
#include <vector>

#include "ProtocolTestSupport.h"

namespace drovn::protocol::test {
namespace {

namespace fs = std::filesystem;

constexpr char kPasswordOk[] = "230 Password ok.\r\n";
constexpr char kPleaseLogIn[] = "530 Please log in first.\r\n";
constexpr char kNotLoggedIn[] = "530 Not logged in.\r\n";
constexpr char kEnterUserName[] = "503 Enter user name\r\n";
constexpr char kAlreadyIn[] = "500 You are already logged in.\r\n";
constexpr char kBadParameter[] = "500 Bad command parameter.\r\n";
constexpr char kDeleteOk[] = "250 DELE command ok.\r\n";
constexpr char kDestinationNeeded[] = "350 Destination needed.\r\n";
constexpr char kNewNameNeeded[] = "503 New name needed.\r\n";
constexpr char kRenameFailed[] = "550 Rename failed.\r\n";

std::string userOk(const std::string& name) {
  return "331 User name \"" + name + "\" is okay, need password.\r\n";
}
std::string changedTo(const std::string& dir) {
  return "250 Directory changed to " + dir + "\r\n";
}
// Account 1, "admin" with password "Secret": enabled, disabled, or with an empty root.
enum class Admin { None, Enabled, Disabled, NoRoot };
void setAdmin(config::Settings& s, Admin admin) {
  s.auth_enable1 = admin != Admin::Disabled;
  s.auth_user1.assign("admin");
  s.auth_pwd1.assign("Secret");
  if (admin == Admin::NoRoot) s.auth_root1.clear();
}

// A fresh service with account 1 as `admin` says, a store with a.txt ("hello"), empty.txt,
// sub/inner.txt, full/kept.txt, emptyDir/ and sparse files past the 32-bit marks, and a client
// logged in as anonymous or not. Each command line is followed by the reply it must get.
struct Script {
  const char* name;
  Admin admin;
  bool loggedIn;
  std::vector<std::string> lines;
  bool modern = false;  // the standard extensions on
};

class CommandScriptTest : public ProtocolTest, public testing::WithParamInterface<Script> {
 protected:
  void configure(config::Settings& s) override {
    if (GetParam().admin != Admin::None) setAdmin(s, GetParam().admin);
    s.opt_modernClients = GetParam().modern;
  }
};

constexpr char kGoodbye[] = "221 Goodbye.\r\n";

TEST_P(CommandScriptTest, RepliesInOrder) {
  writeFile(store() / "a.txt", "hello");
  writeFile(store() / "empty.txt", "");
  writeFile(store() / "sub" / "inner.txt", "in");
  writeFile(store() / "full" / "kept.txt", "kept");
  fs::create_directory(store() / "emptyDir");
  for (const auto& [name, size] :
       {std::pair{"max31", (2ull << 30) - 1}, std::pair{"big3g", 3ull << 30},
        std::pair{"big5g", 5ull << 30}}) {
    writeFile(store() / name, "");
    fs::resize_file(store() / name, size);
  }
  // 2020-01-02 03:04:05 UTC
  fs::last_write_time(store() / "a.txt",
                      fs::file_time_type::clock::from_sys(std::chrono::sys_seconds{1577934245s}));
  auto client = connect(GetParam().loggedIn ? "anonymous" : "");
  ASSERT_NE(client, nullptr);
  const std::vector<std::string>& lines = GetParam().lines;
  for (std::size_t i = 0; i + 1 < lines.size(); i += 2) {
    EXPECT_EQ(ask(*client, lines[i]), lines[i + 1]) << testing::PrintToString(lines[i]);
  }
  // No second reply came for any command.
  if (lines.back() != kGoodbye) {
    EXPECT_EQ(ask(*client, "NOOP"), kNoop);
  }
}

const std::string kModernFeatures =
    "211-Extensions supported:\r\n EPSV\r\n EPRT\r\n MDTM\r\n MFMT\r\n"
    " MLST type*;size*;modify*;perm*;\r\n REST STREAM\r\n SIZE\r\n UTF8\r\n TVFS\r\n211 END\r\n";
const std::string kSub = "257 \"/sub\" is current directory.\r\n";
const std::string kRoot = "257 \"/\" is current directory.\r\n";

// Two exchanges to a row: a command line, then its reply.
// clang-format off
INSTANTIATE_TEST_SUITE_P(Commands, CommandScriptTest, testing::Values(
    Script{"AnonymousWithAnyPassword", Admin::None, false, {
        "SYST", kPleaseLogIn,                       "USER anonymous", userOk("anonymous"),
        "PASS whatever", kPasswordOk,               "SYST", "215 UNIX (DROVN_V20091111)\r\n",
        "PASS x", kAlreadyIn,                       "USER admin", kAlreadyIn,
        "foo bar", "500 Invalid command FOO\r\n",   "A\nB", "500 Invalid command A B\r\n",
        "NoOp extra", kNoop,                        "CWD", kBadParameter,
        "USER\tbob", "500 Invalid command USER\tBOB\r\n",
        "FEAT", "211-Extensions supported:\r\n SIZE\r\n UTF8\r\n211 END\r\n",
        "MDTM a.txt", "500 Invalid command MDTM\r\n",
        "EPSV", "500 Invalid command EPSV\r\n",
        "OPTS UTF8 ON", "501 Option UTF8 is disabled.\r\n"}},
    Script{"DisabledAccountRefusesItsOwnPassword", Admin::Disabled, false, {
        "USER admin", userOk("admin"),              "PASS Secret", kNotLoggedIn,
        "PASS Secret", kEnterUserName,              "USER ADMIN", userOk("ADMIN")}},
    Script{"EmptyRoot", Admin::NoRoot, false, {
        "USER admin", userOk("admin"),       "PASS Secret", "530 Root directory is empty\r\n"}},
    Script{"RefusedBeforeLogin", Admin::None, false, {
        "PASS x", kEnterUserName,                   "CWD x", kPleaseLogIn,
        "PWD", kPleaseLogIn,                        "SIZE a.txt", kPleaseLogIn,
        "DELE a.txt", kPleaseLogIn,                 "PORT 127,0,0,1,4,1", kPleaseLogIn,
        "PASV", kPleaseLogIn,                       "RETR a.txt", kPleaseLogIn,
        "STOR a.txt", kPleaseLogIn,                 "USER", kBadParameter}},
    Script{"DirectoriesAndSizes", Admin::None, true, {
        "CDUP", kAccessDenied,                      "CWD ..", kAccessDenied,
        "CWD a.txt", kAccessDenied,                 "CWD missing", kAccessDenied,
        "CWD sub", changedTo("/sub"),               "XPWD", kSub,
        "SIZE inner.txt", "213 2\r\n",              "SIZE ../a.txt", "213 5\r\n",
        "SIZE a.txt", kAccessDenied,                "CWD /sub/../emptyDir", changedTo("/emptyDir"),
        "CWD ../sub", changedTo("/sub"),            "CDUP somewhere", changedTo("/"),
        "PWD", kRoot,                               "SIZE empty.txt", "213 0\r\n",
        "SIZE max31", "213 2147483647\r\n",         "SIZE big3g", "213 3221225472\r\n",
        "SIZE big5g", "213 5368709120\r\n",         "SIZE sub", kAccessDenied,
        "SIZE missing", kAccessDenied}},
    Script{"ChangesToFiles", Admin::None, true, {
        "DELE a.txt", kDeleteOk,                    "DELE a.txt", kAccessDenied,
        "DELE sub", kAccessDenied,                  "MKD made", "257 Directory created.\r\n",
        "MKD made", kAccessDenied,                  "MKD empty.txt", kAccessDenied,
        "MKD no/such/parent", kAccessDenied,        "RMD emptyDir", kDeleteOk,
        "RMD emptyDir", kAccessDenied,              "RMD full", kAccessDenied,
        "RMD empty.txt", kAccessDenied,             "RNFR missing", kAccessDenied,
        "RNTO b.txt", kNewNameNeeded,               "RNFR empty.txt", kDestinationNeeded,
        "RNTO sub", kRenameFailed,                  "RNTO b.txt", kNewNameNeeded,
        "RNFR empty.txt", kDestinationNeeded,       "RNTO ..", kAccessDenied,
        "RNTO b.txt", "250 File renamed.\r\n",      "SIZE b.txt", "213 0\r\n"}},
    Script{"TypeAndRest", Admin::None, true, {
        "TYPE i", "200 Type is set to 'i'.\r\n",    "TYPE A N", "500 Invalid type 'A N.\r\n",
        "REST abc", "350 REST from 0\r\n",          "REST +42", "350 REST from 42\r\n",
        "REST -5", "350 REST from -5\r\n",          "REST 12abc", "350 REST from 12\r\n",
        "REST 3000000000", "350 REST from 3000000000\r\n",
        "REST 99999999999999999999999", "350 REST from 9223372036854775807\r\n"}},
    Script{"ModernBeforeLogin", Admin::None, false, {
        "FEAT", kModernFeatures,                   "CLNT curl/7.88", "200 Noted.\r\n",
        "MDTM a.txt", kPleaseLogIn,                 "EPSV", kPleaseLogIn,
        "QUIT", kGoodbye}, true},
    Script{"ModernExtensions", Admin::None, true, {
        "STRU f", "200 Structure set to F.\r\n",   "STRU R", "504 Only file structure is supported.\r\n",
        "MODE S", "200 Mode set to S.\r\n",        "MODE B", "504 Only stream mode is supported.\r\n",
        "ALLO 512", "202 No storage allocation necessary.\r\n",
        "MDTM a.txt", "213 20200102030405\r\n",    "MDTM sub", kAccessDenied,
        "MDTM missing", kAccessDenied,              "MFMT 20210203040506 sub/inner.txt",
        "213 Modify=20210203040506; sub/inner.txt\r\n",
        "MDTM sub/inner.txt", "213 20210203040506\r\n",
        "MFMT 20210231000000 a.txt", "501 Syntax error in the time.\r\n",
        "MFMT 2021 a.txt", "501 Syntax error in the time.\r\n",
        "MFMT 2021020304050: a.txt", "501 Syntax error in the time.\r\n",
        "MFMT 20210203040506 missing", kAccessDenied,
        "XMKD made", "257 Directory created.\r\n", "XCWD made", changedTo("/made"),
        "XCUP", changedTo("/"),                     "XRMD made", kDeleteOk,
        "EPSV 2", "522 Network protocol not supported, use (1)\r\n",
        "EPSV x", "501 Syntax error in the address.\r\n",
        "EPSV ALL", "200 EPSV ALL ok.\r\n",
        "EPRT |2|::1|5000|", "522 Network protocol not supported, use (1)\r\n",
        "EPRT |1|127.0.0.2|5000|", "500 Syntax error.\r\n",
        "EPRT |1|127.0.0.1|0|", "501 Syntax error in the address.\r\n",
        "EPRT 1|127.0.0.1|5000", "501 Syntax error in the address.\r\n",
        "EPRT |1|127.0.0.1|5000|", "200 EPRT command ok.\r\n",
        "OPTS UTF8 ON", "200 Option UTF8 is on.\r\n", "QUIT", kGoodbye}, true}),
    [](const testing::TestParamInfo<Script>& i) { return std::string(i.param.name); });
// clang-format on

// Everything below dir (links not followed) with the files' bytes.
std::string tree(const fs::path& dir) {
  std::string all;
  for (const fs::directory_entry& e : fs::recursive_directory_iterator(dir)) {
    all += e.path().string() + (e.is_regular_file() ? " " + readFile(e.path()) : "/") + "\n";
  }
  return all;
}

// Anonymous and account 1, both read-only: every command that writes is refused before it
// touches the store, so nothing on disk changes, not even a time; downloads still work.
class ReadOnlyTest : public ProtocolTest, public testing::WithParamInterface<bool> {
  void configure(config::Settings& s) override {
    setAdmin(s, Admin::Enabled);
    s.auth_readOnly1 = s.auth_readOnlyAnonymous = s.opt_modernClients = true;
  }
};

TEST_P(ReadOnlyTest, NoWritingCommandChangesAByte) {
  writeFile(store() / "a.txt", "hello");
  fs::create_directory(store() / "emptyDir");
  const std::string before = tree(store());
  const auto written = fs::last_write_time(store() / "a.txt");
  auto client = GetParam() ? connect("admin", "Secret") : connect();
  ASSERT_TRUE(client && passivePort(ask(*client, "PASV")) != 0);
  for (const char* line : {"STOR a.txt", "STOR new.txt", "APPE a.txt", "APPE new.txt", "DELE a.txt",
                           "MKD made", "XMKD made", "RMD emptyDir", "XRMD emptyDir", "RNFR a.txt",
                           "RNTO b.txt", "MFMT 20210203040506 a.txt"}) {
    EXPECT_EQ(ask(*client, line), kAccessDenied) << line;
  }
  EXPECT_TRUE(tree(store()) == before && fs::last_write_time(store() / "a.txt") == written);
  std::string reply;
  EXPECT_EQ(download(*client, Mode::Passive, "RETR a.txt", reply) + reply,
            "hello" + std::string(kCompleted));
}
INSTANTIATE_TEST_SUITE_P(Accounts, ReadOnlyTest, testing::Bool());

// Account 1 with its root in home/user1, and home/user2 beside it. Links in the root lead out
// to the sibling and to the store's own parent, and one stays inside.
class ConfinementTest : public ProtocolTest {
 protected:
  void configure(config::Settings& s) override {
    setAdmin(s, Admin::Enabled);
    s.auth_root1.assign("/home/user1");
  }
};

TEST_F(ConfinementTest, EscapesAreRefusedAndChangeNothing) {
  const fs::path root = store() / "home" / "user1";
  writeFile(root / "sub" / "inside.txt", "inside");
  writeFile(store() / "home" / "user2" / "secret.txt", "secret sibling");
  fs::create_directory_symlink(store() / "home" / "user2", root / "siblingDir");
  fs::create_symlink("../user2/secret.txt", root / "siblingFile");
  fs::create_directory_symlink("..", root / "upLink");
  fs::create_directory_symlink(store().parent_path(), root / "besideStore");
  fs::create_directory_symlink("sub", root / "inLink");
  const std::string before = tree(store());
  auto client = connect("admin", "Secret");
  ASSERT_NE(client, nullptr);
  DataPeer peer(harness.network());
  ASSERT_EQ(ask(*client, "PORT " + peer.listen()), kPortOk);
  for (const char* command :
       {"SIZE", "CWD", "DELE", "MKD", "RMD", "RNFR", "RNTO", "RETR", "STOR", "APPE", "LIST"}) {
    for (const char* target :
         {"../user2/secret.txt", "/../user2", "../../../x", "sub/../../user2/secret.txt",
          "/./../user2/secret.txt", "..\\user2\\secret.txt", "\\..\\user2", "\\\\..\\user2",
          "\x81\x5c..\x5c..\x5cuser2", "siblingDir/secret.txt", "siblingDir/new.txt", "siblingDir",
          "siblingFile", "upLink/user2", "besideStore/x"}) {
      const std::string line = std::string(command) + " " + target;
      SCOPED_TRACE(line);
      // A refused RNTO forgets its source, and one onto a link's own name finds it taken.
      const bool rnto = line.starts_with("RNTO");
      ASSERT_TRUE(!rnto || ask(*client, "RNFR sub/inside.txt") == kDestinationNeeded);
      const std::string reply = ask(*client, line);
      EXPECT_TRUE(reply == kAccessDenied || (rnto && reply == kRenameFailed)) << reply;
    }
  }
  EXPECT_FALSE(peer.accept());
  EXPECT_EQ(tree(store()), before);
  EXPECT_EQ(ask(*client, "SIZE inLink/inside.txt"), "213 6\r\n");
  EXPECT_EQ(ask(*client, "CWD inLink"), changedTo("/inLink"));
  EXPECT_EQ(ask(*client, "SIZE ../sub/inside.txt"), "213 6\r\n");
}

}  // namespace
}  // namespace drovn::protocol::test
