// No command reaches anything outside the account root: not through ".." hidden behind ".",
// backslashes, a code-page-936 character whose second byte is a backslash, or a symbolic link.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <tuple>
#include <vector>

#include "ProtocolTestSupport.h"

namespace drovn::protocol::test {
namespace {

namespace fs = std::filesystem;

constexpr char kDestinationNeeded[] = "350 Destination needed.\r\n";

// A place outside the account root, with what the battery aims at there.
struct Place {
  std::string fromRoot;   // relative path from the root to the place, '/'-separated
  std::string file;       // an existing secret file
  std::string dir;        // an existing empty directory
  std::string newName;    // a name that must not come to exist
  std::string dirLink;    // a link inside the root to the place (absolute target)
  std::string upLink;     // a link inside the root to the place (relative target)
  std::string fileLink;   // a link inside the root to the secret file
  std::string emptyLink;  // a link inside the root to the empty directory
};

std::string backslashed(std::string path) {
  for (char& c : path) {
    if (c == '/') c = '\\';
  }
  return path;
}

int climbs(const std::string& path) {
  int n = 0;
  for (std::size_t at = path.find(".."); at != std::string::npos; at = path.find("..", at + 2)) {
    ++n;
  }
  return n;
}

std::string repeated(const std::string& piece, int n) {
  std::string all;
  for (int i = 0; i < n; ++i) all += piece;
  return all;
}

// Every way of writing the path (relative to the root) that the battery tries.
std::vector<std::string> escapingForms(const std::string& path) {
  const int k = climbs(path);
  const std::string bs = backslashed(path);
  return {
      path,                                  // the plain climb, refused by depth alone
      "/" + repeated("./", k) + path,        // "." counted as a level hides the climb
      "sub/../" + repeated("./", k) + path,  // the same behind a real directory
      "\\" + bs,                             // one component to the depth rule
      "\\\\" + bs,                           // and through the mount ("//" after slash form)
      "///" + repeated("./", k) + path,      // the mount again
      bs,
      "a\\..\\" + bs,
      "/sub\\..\\" + bs,
      "\x81\x5c..\x5c" + bs,  // 0x81 0x5C is one character of code page 936
  };
}

enum class Command { Size, Cwd, Dele, Rnfr, Rnto, Mkd, Rmd };

struct Account {
  const char* name;
  const char* user;
  const char* rootSetting;  // the account's root directory, as configured
  std::string rootInStore;  // the same below the store
};

class ConfinementTest : public ProtocolTest,
                        public testing::WithParamInterface<std::tuple<Account, Command>> {
 protected:
  void configure(config::Settings& s) override {
    s.auth_enable1 = true;
    s.auth_user1.assign("user1");
    s.auth_pwd1.assign("pw");
    s.auth_root1.assign("/home/user1");
  }

  void SetUp() override {
    ProtocolTest::SetUp();
    if (HasFatalFailure()) return;
    const Account& account = std::get<0>(GetParam());
    root = store() / account.rootInStore;
    fs::create_directories(root);
    const std::string stem = store().filename().string();
    beside = store().parent_path();
    // Beside the store: names of this store's own, removed at the end.
    besideNames = {stem + "-secret.txt", stem + "-empty", stem + "-made", stem + "-moved.txt"};
    writeFile(beside / besideNames[0], "secret beside");
    fs::create_directory(beside / besideNames[1]);

    writeFile(root / "inside.txt", "inside");
    fs::create_directories(root / "sub");
    const std::string toStore = account.rootInStore.empty() ? "" : "../../";
    places.push_back(Place{toStore + "..", besideNames[0], besideNames[1], besideNames[2],
                           "besideAbs", "besideRel", "besideFile", "besideEmpty"});
    fs::create_directory_symlink(beside, root / "besideAbs");
    fs::create_directory_symlink(toStore + "..", root / "besideRel");
    fs::create_symlink(beside / besideNames[0], root / "besideFile");
    fs::create_directory_symlink(beside / besideNames[1], root / "besideEmpty");
    if (!account.rootInStore.empty()) {
      // A sibling of the account root, inside the store.
      const fs::path sibling = store() / "home" / "user2";
      writeFile(sibling / "secret.txt", "secret sibling");
      fs::create_directories(sibling / "empty");
      places.push_back(Place{"../user2", "secret.txt", "empty", "made", "siblingAbs", "siblingRel",
                             "siblingFile", "siblingEmpty"});
      fs::create_directory_symlink(sibling, root / "siblingAbs");
      fs::create_directory_symlink("../user2", root / "siblingRel");
      fs::create_symlink("../user2/secret.txt", root / "siblingFile");
      fs::create_directory_symlink("../user2/empty", root / "siblingEmpty");
    }
    storeBefore = snapshotTree(store());
    besideBefore = besideState();
  }

  void TearDown() override {
    std::error_code ec;
    for (const std::string& name : besideNames) fs::remove_all(beside / name, ec);
  }

  // What lies beside the store under this store's names.
  std::vector<std::string> besideState() const {
    std::vector<std::string> state;
    for (const std::string& name : besideNames) {
      const fs::path p = beside / name;
      state.push_back(name + (fs::is_directory(p)      ? " dir"
                              : fs::is_regular_file(p) ? " file " + readFile(p)
                                                       : " none"));
    }
    return state;
  }

  // The paths the command is tried with, from the root.
  std::vector<std::string> targets(Command command) const {
    std::vector<std::string> all;
    auto add = [&](const std::string& path, std::initializer_list<std::string> links) {
      for (const std::string& form : escapingForms(path)) all.push_back(form);
      for (const std::string& link : links) all.push_back(link);
    };
    for (const Place& p : places) {
      switch (command) {
        case Command::Size:
        case Command::Dele:
          add(p.fromRoot + "/" + p.file,
              {p.fileLink, p.dirLink + "/" + p.file, p.upLink + "/" + p.file});
          break;
        case Command::Rnfr:
          add(p.fromRoot + "/" + p.file,
              {p.fileLink, p.dirLink + "/" + p.file, p.upLink + "/" + p.file, p.emptyLink});
          add(p.fromRoot + "/" + p.dir, {p.dirLink, p.upLink});
          break;
        case Command::Cwd:
          add(p.fromRoot, {p.dirLink, p.upLink, p.emptyLink, p.upLink + "/" + p.dir});
          add(p.fromRoot + "/" + p.dir, {});
          break;
        case Command::Rmd:
          add(p.fromRoot + "/" + p.dir, {p.emptyLink, p.dirLink + "/" + p.dir});
          break;
        case Command::Mkd:
        case Command::Rnto:
          add(p.fromRoot + "/" + p.newName,
              {p.dirLink + "/" + p.newName, p.upLink + "/" + p.newName});
          break;
      }
    }
    return all;
  }

  fs::path root;
  fs::path beside;
  std::vector<std::string> besideNames;
  std::vector<Place> places;
  std::vector<std::string> storeBefore;
  std::vector<std::string> besideBefore;
};

const char* word(Command c) {
  switch (c) {
    case Command::Size:
      return "SIZE";
    case Command::Cwd:
      return "CWD";
    case Command::Dele:
      return "DELE";
    case Command::Rnfr:
      return "RNFR";
    case Command::Rnto:
      return "RNTO";
    case Command::Mkd:
      return "MKD";
    case Command::Rmd:
      return "RMD";
  }
  return "?";
}

TEST_P(ConfinementTest, EveryEscapeIsRefusedAndNothingOutsideIsTouched) {
  const auto& [account, command] = GetParam();
  auto client = connect();
  ASSERT_NE(client, nullptr);
  login(*client, account.user, "pw");
  const std::vector<std::string> all = targets(command);
  ASSERT_GE(all.size(), 10u);
  for (const std::string& target : all) {
    SCOPED_TRACE(testing::PrintToString(target));
    if (command == Command::Rnto) {
      ASSERT_EQ(ask(*client, "RNFR inside.txt"), kDestinationNeeded);
    }
    EXPECT_EQ(ask(*client, std::string(word(command)) + " " + target), kAccessDenied);
  }
  EXPECT_EQ(ask(*client, "PWD"), "257 \"/\" is current directory.\r\n");
  EXPECT_EQ(snapshotTree(store()), storeBefore);
  EXPECT_EQ(besideState(), besideBefore);
}

const Account kAnonymous{"Anonymous", "anonymous", "/", ""};
const Account kAccountOne{"AccountOne", "user1", "/home/user1", "home/user1"};

INSTANTIATE_TEST_SUITE_P(
    Battery, ConfinementTest,
    testing::Combine(testing::Values(kAnonymous, kAccountOne),
                     testing::Values(Command::Size, Command::Cwd, Command::Dele, Command::Rnfr,
                                     Command::Rnto, Command::Mkd, Command::Rmd)),
    [](const testing::TestParamInfo<std::tuple<Account, Command>>& i) {
      return std::string(std::get<0>(i.param).name) + word(std::get<1>(i.param));
    });

// "." and ".." that stay inside the root, backslashes and links inside the root keep working.
class InsideRootTest : public ProtocolTest {
 protected:
  void configure(config::Settings& s) override {
    s.auth_enable1 = true;
    s.auth_user1.assign("user1");
    s.auth_pwd1.assign("pw");
    s.auth_root1.assign("/home/user1/");
  }
};

TEST_F(InsideRootTest, PathsThatStayInsideWork) {
  const fs::path root = store() / "home" / "user1";
  writeFile(root / "sub" / "inner.txt", "12");
  writeFile(root / "top.txt", "123");
  fs::create_directory_symlink("sub", root / "inLink");
  auto client = connect();
  ASSERT_NE(client, nullptr);
  login(*client, "user1", "pw");
  expectExchanges(*client, {{"SIZE /./sub/../top.txt", "213 3\r\n"},
                            {"SIZE sub\\inner.txt", "213 2\r\n"},
                            {"SIZE \\sub\\..\\top.txt", "213 3\r\n"},
                            {"SIZE inLink/inner.txt", "213 2\r\n"},
                            {"CWD sub/..", "250 Directory changed to /\r\n"},
                            // Only ".." goes with the name before it; "." stays in the path.
                            {"CWD /./sub/..", "250 Directory changed to /.\r\n"},
                            {"CWD /inLink", "250 Directory changed to /inLink\r\n"},
                            {"SIZE ../top.txt", "213 3\r\n"},
                            {"CDUP", "250 Directory changed to /\r\n"},
                            {"MKD sub/../made", "257 Directory created.\r\n"},
                            {"RMD ./made", "250 DELE command ok.\r\n"}});
}

}  // namespace
}  // namespace drovn::protocol::test
