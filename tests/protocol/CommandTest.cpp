// The replies of the commands that need no data connection, byte for byte, on a real store; and
// confinement: no command reaches anything outside the account root.
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "ProtocolTestSupport.h"

namespace drovn::protocol::test {
namespace {

namespace fs = std::filesystem;

constexpr char kPleaseLogIn[] = "530 Please log in first.\r\n";
constexpr char kNotLoggedIn[] = "530 Not logged in.\r\n";
constexpr char kEnterUserName[] = "503 Enter user name\r\n";
constexpr char kAlreadyIn[] = "500 You are already logged in.\r\n";
constexpr char kBadParameter[] = "500 Bad command parameter.\r\n";
constexpr char kSyst[] = "215 UNIX (DROVN_V20091111)\r\n";
constexpr char kDeleteOk[] = "250 DELE command ok.\r\n";
constexpr char kCreated[] = "257 Directory created.\r\n";
constexpr char kDestinationNeeded[] = "350 Destination needed.\r\n";
constexpr char kNewNameNeeded[] = "503 New name needed.\r\n";
constexpr char kRenamed[] = "250 File renamed.\r\n";
constexpr char kRenameFailed[] = "550 Rename failed.\r\n";

std::string userOk(const std::string& name) {
  return "331 User name \"" + name + "\" is okay, need password.\r\n";
}
std::string changedTo(const std::string& dir) {
  return "250 Directory changed to " + dir + "\r\n";
}
std::string current(const std::string& dir) {
  return "257 \"" + dir + "\" is current directory.\r\n";
}

void enableAdmin(config::Settings& s) {
  s.auth_enable1 = true;
  s.auth_user1.assign("admin");
  s.auth_pwd1.assign("Secret");
}

// A fresh service whose settings `edit` sets up, a store with a.txt ("hello"), empty.txt,
// sub/inner.txt, full/kept.txt, emptyDir/ and sparse files past the 32-bit marks.
struct Script {
  const char* name;
  std::function<void(config::Settings&)> edit;
  bool loggedIn;
  std::vector<Exchange> exchanges;
};

class CommandScriptTest : public ProtocolTest, public testing::WithParamInterface<Script> {
 protected:
  void configure(config::Settings& s) override {
    if (GetParam().edit) GetParam().edit(s);
  }
};

TEST_P(CommandScriptTest, RepliesInOrder) {
  writeFile(store() / "a.txt", "hello");
  writeFile(store() / "empty.txt", "");
  writeFile(store() / "sub" / "inner.txt", "in");
  writeFile(store() / "full" / "kept.txt", "kept");
  fs::create_directory(store() / "emptyDir");
  for (const auto& [name, size] : {std::pair{"max31", (2ull << 30) - 1},
                                   std::pair{"big3g", 3ull << 30}, std::pair{"big5g", 5ull << 30}}) {
    writeFile(store() / name, "");
    fs::resize_file(store() / name, size);
  }
  auto client = connect();
  ASSERT_NE(client, nullptr);
  if (GetParam().loggedIn) login(*client);
  std::vector<Exchange> exchanges = GetParam().exchanges;
  exchanges.push_back({"NOOP", kNoop});  // no second reply came for any command
  expectExchanges(*client, exchanges);
}

INSTANTIATE_TEST_SUITE_P(
    Commands, CommandScriptTest,
    testing::Values(
        Script{"AnonymousWithAnyPassword", nullptr, false,
               {{"SYST", kPleaseLogIn}, {"USER anonymous", userOk("anonymous")},
                {"PASS whatever", kPasswordOk}, {"SYST", kSyst}, {"PASS x", kAlreadyIn},
                {"USER admin", kAlreadyIn}}},
        Script{"DisabledAccountRefusesItsOwnPassword",
               [](config::Settings& s) {
                 enableAdmin(s);
                 s.auth_enable1 = false;
               },
               false, {{"USER admin", userOk("admin")}, {"PASS Secret", kNotLoggedIn},
                       {"SYST", kPleaseLogIn}}},
        Script{"AccountIgnoresLetterCaseAndForgetsTheNameOnARefusal", enableAdmin, false,
               {{"USER admin", userOk("admin")}, {"PASS wrong", kNotLoggedIn},
                {"PASS Secret", kEnterUserName}, {"USER ADMIN", userOk("ADMIN")},
                {"PASS sECRET", kPasswordOk}}},
        Script{"EmptyRoot",
               [](config::Settings& s) {
                 enableAdmin(s);
                 s.auth_root1.clear();
               },
               false, {{"USER admin", userOk("admin")},
                       {"PASS Secret", "530 Root directory is empty\r\n"}}},
        Script{"RefusedBeforeLogin", nullptr, false,
               {{"PASS x", kEnterUserName}, {"CWD x", kPleaseLogIn}, {"PWD", kPleaseLogIn},
                {"SIZE a.txt", kPleaseLogIn}, {"DELE a.txt", kPleaseLogIn},
                {"MKD x", kPleaseLogIn}, {"RNFR a.txt", kPleaseLogIn},
                {"PORT 127,0,0,1,4,1", kPleaseLogIn}, {"PASV", kPleaseLogIn},
                {"LIST", kPleaseLogIn}, {"RETR a.txt", kPleaseLogIn},
                {"STOR a.txt", kPleaseLogIn}, {"APPE a.txt", kPleaseLogIn},
                {"REST 3", kPleaseLogIn}, {"USER", kBadParameter}}},
        Script{"Dispatcher", nullptr, true,
               {{"foo bar", "500 Invalid command FOO\r\n"},
                {"MLSD /", "500 Invalid command MLSD\r\n"},
                {"A\nB", "500 Invalid command A B\r\n"},
                {"USER\tbob", "500 Invalid command USER\tBOB\r\n"},
                {"NoOp extra words", kNoop}, {"CWD", kBadParameter}, {"RETR", kBadParameter},
                {"FEAT", "211-Extensions supported:\r\n SIZE\r\n UTF8\r\n211 END\r\n"}}},
        Script{"CurrentDirectory", nullptr, true,
               {{"CDUP", kAccessDenied}, {"CWD ..", kAccessDenied},
                {"CWD a.txt", kAccessDenied}, {"CWD missing", kAccessDenied},
                {"CWD sub", changedTo("/sub")}, {"XPWD", current("/sub")},
                {"SIZE inner.txt", "213 2\r\n"}, {"SIZE ../a.txt", "213 5\r\n"},
                {"SIZE a.txt", kAccessDenied}, {"CWD /sub/../emptyDir", changedTo("/emptyDir")},
                {"CWD ../sub", changedTo("/sub")}, {"CDUP somewhere", changedTo("/")},
                {"CDUP", kAccessDenied}, {"PWD", current("/")}}},
        Script{"SizeOfFilesOnly", nullptr, true,
               {{"SIZE a.txt", "213 5\r\n"}, {"SIZE empty.txt", "213 0\r\n"},
                {"SIZE max31", "213 2147483647\r\n"}, {"SIZE big3g", "213 3221225472\r\n"},
                {"SIZE big5g", "213 5368709120\r\n"}, {"SIZE sub", kAccessDenied},
                {"SIZE missing", kAccessDenied}}},
        Script{"DeleteAndDirectories", nullptr, true,
               {{"DELE a.txt", kDeleteOk}, {"DELE a.txt", kAccessDenied},
                {"DELE sub", kAccessDenied}, {"MKD made", kCreated},
                {"MKD made", kAccessDenied}, {"MKD empty.txt", kAccessDenied},
                {"MKD no/such/parent", kAccessDenied}, {"RMD emptyDir", kDeleteOk},
                {"RMD emptyDir", kAccessDenied}, {"RMD full", kAccessDenied},
                {"RMD empty.txt", kAccessDenied}, {"RMD made", kDeleteOk}}},
        Script{"Rename", nullptr, true,
               {{"RNFR missing", kAccessDenied}, {"RNTO b.txt", kNewNameNeeded},
                {"RNFR a.txt", kDestinationNeeded}, {"RNFR missing", kAccessDenied},
                {"RNTO empty.txt", kRenameFailed}, {"RNTO b.txt", kNewNameNeeded},
                {"RNFR a.txt", kDestinationNeeded}, {"RNTO ..", kAccessDenied},
                {"RNTO b.txt", kRenamed}, {"SIZE b.txt", "213 5\r\n"},
                {"RNFR sub", kDestinationNeeded}, {"RNTO emptyDir/moved", kRenamed},
                {"SIZE emptyDir/moved/inner.txt", "213 2\r\n"}}},
        Script{"TypeAndRest", nullptr, true,
               {{"TYPE i", "200 Type is set to 'i'.\r\n"}, {"TYPE A", "200 Type is set to 'A'.\r\n"},
                {"TYPE E", "500 Invalid type 'E.\r\n"}, {"TYPE A N", "500 Invalid type 'A N.\r\n"},
                {"REST abc", "350 REST from 0\r\n"}, {"REST +42", "350 REST from 42\r\n"},
                {"REST -5", "350 REST from -5\r\n"}, {"REST 12abc", "350 REST from 12\r\n"},
                {"REST --5", "350 REST from 0\r\n"},
                {"REST 3000000000", "350 REST from 3000000000\r\n"},
                {"REST 99999999999999999999999", "350 REST from 9223372036854775807\r\n"},
                {"REST -99999999999999999999", "350 REST from -9223372036854775807\r\n"}}}),
    [](const testing::TestParamInfo<Script>& i) { return std::string(i.param.name); });

// Everything below dir (links not followed) with the files' bytes.
std::string tree(const fs::path& dir) {
  std::string all;
  for (const fs::directory_entry& e : fs::recursive_directory_iterator(dir)) {
    all += e.path().string() + (e.is_symlink() ? " link" : e.is_regular_file() ? " " +
                                readFile(e.path()) : "/") + "\n";
  }
  return all;
}

// Account 1 with its root in home/user1; home/user2 is a sibling, and a file lies beside the
// store. Links in the root lead out to both, and one stays inside.
class ConfinementTest : public ProtocolTest {
 protected:
  void configure(config::Settings& s) override {
    enableAdmin(s);
    s.auth_root1.assign("/home/user1");
  }
  void TearDown() override { fs::remove(beside); }
  fs::path beside = store().parent_path() / (store().filename().string() + "-secret.txt");
};

TEST_F(ConfinementTest, EscapesAreRefusedAndChangeNothing) {
  const fs::path root = store() / "home" / "user1";
  writeFile(root / "inside.txt", "inside");
  writeFile(store() / "home" / "user2" / "secret.txt", "secret sibling");
  writeFile(beside, "secret beside");
  fs::create_directories(root / "sub");
  fs::create_directory_symlink(store() / "home" / "user2", root / "siblingDir");
  fs::create_symlink("../user2/secret.txt", root / "siblingFile");
  fs::create_directory_symlink("..", root / "upLink");
  fs::create_symlink(beside, root / "besideFile");
  fs::create_directory_symlink("sub", root / "inLink");
  const std::string storeBefore = tree(store());
  const std::string out = "../../../" + beside.filename().string();
  auto client = connect();
  ASSERT_NE(client, nullptr);
  login(*client, "admin", "Secret");
  DataPeer peer(harness.network());
  ASSERT_EQ(ask(*client, "PORT " + peer.listen()), kPortOk);
  for (const char* command : {"SIZE", "CWD", "DELE", "MKD", "RMD", "RNTO", "RETR", "STOR",
                              "APPE", "LIST", "RNFR"}) {
    for (const std::string& target :
         {std::string("../user2/secret.txt"), std::string("/../user2"), out,
          std::string("sub/../../user2/secret.txt"), std::string("/./../user2/secret.txt"),
          std::string("..\\user2\\secret.txt"), std::string("\\..\\user2"),
          std::string("\\\\..\\user2"), std::string("\x81\x5c..\x5c..\x5cuser2"),
          std::string("siblingDir/secret.txt"), std::string("siblingDir/new.txt"),
          std::string("siblingDir"), std::string("siblingFile"), std::string("upLink/user2"),
          std::string("besideFile")}) {
      // A refused RNTO forgets its source: each one gets it again.
      SCOPED_TRACE(std::string(command) + " " + target);
      const bool rnto = command == std::string("RNTO");
      if (rnto) {
        ASSERT_EQ(ask(*client, "RNFR inside.txt"), kDestinationNeeded);
      }
      // RNTO onto a link's own name finds that name taken.
      const std::string reply = ask(*client, std::string(command) + " " + target);
      EXPECT_TRUE(reply == kAccessDenied || (rnto && reply == kRenameFailed)) << reply;
    }
  }
  EXPECT_FALSE(peer.accept(300ms));
  EXPECT_EQ(tree(store()), storeBefore);
  EXPECT_EQ(readFile(beside), "secret beside");
  expectExchanges(*client, {{"SIZE inLink/../inside.txt", "213 6\r\n"},
                            {"CWD inLink", changedTo("/inLink")},
                            {"CDUP", changedTo("/")}});
}

}  // namespace
}  // namespace drovn::protocol::test
