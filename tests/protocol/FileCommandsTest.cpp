#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "ProtocolTestSupport.h"

namespace drovn::protocol::test {
namespace {

namespace fs = std::filesystem;

constexpr char kDeleteOk[] = "250 DELE command ok.\r\n";
constexpr char kCreated[] = "257 Directory created.\r\n";
constexpr char kDestinationNeeded[] = "350 Destination needed.\r\n";
constexpr char kNewNameNeeded[] = "503 New name needed.\r\n";
constexpr char kRenamed[] = "250 File renamed.\r\n";
constexpr char kRenameFailed[] = "550 Rename failed.\r\n";

std::string changedTo(const std::string& dir) {
  return "250 Directory changed to " + dir + "\r\n";
}
std::string current(const std::string& dir) {
  return "257 \"" + dir + "\" is current directory.\r\n";
}

// The anonymous account with the whole store as its root, which holds:
//   a.txt ("hello"), empty.txt, sub/ with inner.txt, full/ with one file, and emptyDir/.
class FileCommandsTest : public ProtocolTest {
 protected:
  void SetUp() override {
    ProtocolTest::SetUp();
    writeFile(store() / "a.txt", "hello");
    writeFile(store() / "empty.txt", "");
    writeFile(store() / "sub" / "inner.txt", "in");
    writeFile(store() / "full" / "kept.txt", "kept");
    fs::create_directory(store() / "emptyDir");
    client = connectAndLogin();
    ASSERT_NE(client, nullptr);
  }

  std::unique_ptr<FtpClient> client;
};

TEST_F(FileCommandsTest, CurrentDirectoryMovesOnlyIntoDirectories) {
  expectExchanges(*client, {{"CDUP", kAccessDenied},
                            {"CWD ..", kAccessDenied},
                            {"CWD a.txt", kAccessDenied},
                            {"CWD missing", kAccessDenied},
                            {"PWD", current("/")},
                            {"CWD sub", changedTo("/sub")},
                            {"PWD", current("/sub")},
                            {"CWD /sub/../emptyDir", changedTo("/emptyDir")},
                            {"CWD ../sub", changedTo("/sub")},
                            {"CDUP", changedTo("/")},
                            {"CDUP", kAccessDenied},
                            {"CWD /", changedTo("/")},
                            {"PWD", current("/")}});
}

TEST_F(FileCommandsTest, PathsRelativeToTheCurrentDirectory) {
  expectExchanges(*client, {{"CWD sub", changedTo("/sub")},
                            {"SIZE inner.txt", "213 2\r\n"},
                            {"SIZE ../a.txt", "213 5\r\n"},
                            {"SIZE /a.txt", "213 5\r\n"},
                            {"SIZE a.txt", kAccessDenied}});
}

TEST_F(FileCommandsTest, DeleteRemovesFilesOnly) {
  expectExchanges(*client, {{"DELE a.txt", kDeleteOk},
                            {"DELE a.txt", kAccessDenied},
                            {"DELE sub", kAccessDenied},
                            {"DELE missing/x", kAccessDenied}});
  EXPECT_FALSE(fs::exists(store() / "a.txt"));
  EXPECT_TRUE(fs::is_directory(store() / "sub"));
}

TEST_F(FileCommandsTest, DirectoriesAreCreatedAndRemoved) {
  expectExchanges(*client, {{"MKD made", kCreated},
                            {"MKD made", kAccessDenied},   // exists already
                            {"MKD a.txt", kAccessDenied},  // a file has that name
                            {"MKD no/such/parent", kAccessDenied},
                            {"RMD emptyDir", kDeleteOk},
                            {"RMD emptyDir", kAccessDenied},
                            {"RMD full", kAccessDenied},  // not empty
                            {"RMD a.txt", kAccessDenied},
                            {"RMD made", kDeleteOk}});
  EXPECT_FALSE(fs::exists(store() / "made"));
  EXPECT_FALSE(fs::exists(store() / "emptyDir"));
  EXPECT_EQ(readFile(store() / "full" / "kept.txt"), "kept");
  EXPECT_EQ(readFile(store() / "a.txt"), "hello");
}

TEST_F(FileCommandsTest, RenameInTwoSteps) {
  expectExchanges(*client, {{"RNFR missing", kAccessDenied},
                            {"RNTO b.txt", kNewNameNeeded},
                            {"RNFR a.txt", kDestinationNeeded},
                            {"RNFR missing", kAccessDenied},  // the saved source stays
                            {"NOOP", "200 OK \r\n"},
                            {"RNTO b.txt", kRenamed},
                            {"RNTO c.txt", kNewNameNeeded},
                            {"RNFR sub", kDestinationNeeded},
                            {"RNTO emptyDir/moved", kRenamed}});
  EXPECT_FALSE(fs::exists(store() / "a.txt"));
  EXPECT_EQ(readFile(store() / "b.txt"), "hello");
  EXPECT_EQ(readFile(store() / "emptyDir" / "moved" / "inner.txt"), "in");
}

TEST_F(FileCommandsTest, RenameOntoAnExistingFileFailsAndForgetsTheSource) {
  expectExchanges(*client, {{"RNFR a.txt", kDestinationNeeded},
                            {"RNTO empty.txt", kRenameFailed},
                            {"RNTO other.txt", kNewNameNeeded},
                            {"RNFR a.txt", kDestinationNeeded},
                            {"RNTO ..", kAccessDenied},  // the source stays for a later RNTO
                            {"RNTO sub", kRenameFailed}});
  EXPECT_EQ(readFile(store() / "a.txt"), "hello");
  EXPECT_EQ(readFile(store() / "empty.txt"), "");
  EXPECT_FALSE(fs::exists(store() / "other.txt"));
}

TEST_F(FileCommandsTest, SizeOfFilesOnly) {
  // Sparse files on both sides of the 32-bit marks: every size is reported whole.
  for (const auto& [name, size] : {std::pair{"max31", (2ull << 30) - 1}, std::pair{"big3g", 3ull << 30},
                                   std::pair{"big5g", 5ull << 30}}) {
    { std::ofstream grow(store() / name, std::ios::binary); }
    fs::resize_file(store() / name, size);
  }
  expectExchanges(*client, {{"SIZE a.txt", "213 5\r\n"},
                            {"SIZE empty.txt", "213 0\r\n"},
                            {"SIZE max31", "213 2147483647\r\n"},
                            {"SIZE big3g", "213 3221225472\r\n"},
                            {"SIZE big5g", "213 5368709120\r\n"},
                            {"SIZE sub", kAccessDenied},
                            {"SIZE missing", kAccessDenied}});
}

TEST_F(FileCommandsTest, TypeIsAOrIInAnyCase) {
  expectExchanges(*client, {{"TYPE i", "200 Type is set to 'i'.\r\n"},
                            {"TYPE A", "200 Type is set to 'A'.\r\n"},
                            {"type I", "200 Type is set to 'I'.\r\n"},
                            {"TYPE E", "500 Invalid type 'E.\r\n"},
                            {"TYPE A N", "500 Invalid type 'A N.\r\n"},
                            {"TYPE L 8", "500 Invalid type 'L 8.\r\n"}});
}

// OPTS with the setting on and off: {argument, reply with it on}.
struct OptsCase {
  const char* argument;
  const char* replyWhenEnabled;
};

class OptsTest : public ProtocolTest,
                 public testing::WithParamInterface<std::tuple<bool, OptsCase>> {
 protected:
  void configure(config::Settings& s) override { s.opt_enableUtf8 = std::get<0>(GetParam()); }
};

TEST_P(OptsTest, Reply) {
  const auto& [enabled, c] = GetParam();
  auto client = connectAndLogin();
  ASSERT_NE(client, nullptr);
  const std::string line = std::string("OPTS ") + c.argument;
  EXPECT_EQ(ask(*client, line), enabled ? c.replyWhenEnabled : "501 Option UTF8 is disabled.\r\n");
}

INSTANTIATE_TEST_SUITE_P(
    Arguments, OptsTest,
    testing::Combine(testing::Bool(),
                     testing::Values(OptsCase{"UTF8 ON", "200 Option UTF8 is on.\r\n"},
                                     OptsCase{"utf8 on", "200 Option UTF8 is on.\r\n"},
                                     OptsCase{"Utf8 oN", "200 Option UTF8 is on.\r\n"},
                                     OptsCase{"UTF8 OFF", "200 Option UTF8 is off.\r\n"},
                                     OptsCase{"utf8 off", "200 Option UTF8 is off.\r\n"},
                                     OptsCase{"UTF8", "501 Option not recognized.\r\n"},
                                     OptsCase{"UTF8ON", "501 Option not recognized.\r\n"},
                                     OptsCase{"UTF-8 ON", "501 Option not recognized.\r\n"},
                                     OptsCase{"MODE Z", "501 Option not recognized.\r\n"},
                                     OptsCase{"UTF8\tON", "200 Option UTF8 is on.\r\n"},
                                     OptsCase{"UTF8 YES", "451 Bad option command.\r\n"},
                                     OptsCase{"UTF8 ON NOW", "451 Bad option command.\r\n"},
                                     OptsCase{"UTF8 O", "451 Bad option command.\r\n"})));

// A folder with a Chinese name, reached by its UTF-8 bytes in a UTF-8 session and by its code
// page 936 bytes in any other; the log shows both lines readably.
class ChineseFolderTest : public ProtocolTest {
 protected:
  void configure(config::Settings& s) override { s.opt_enableUtf8 = true; }
};

TEST_F(ChineseFolderTest, ReachedInEitherClientEncoding) {
  fs::create_directory(store() / fs::u8path(std::string(kChineseUtf8)));
  writeFile(store() / fs::u8path(std::string(kChineseUtf8) + "/f.txt"), "abc");

  auto utf8Client = connectAndLogin();
  ASSERT_NE(utf8Client, nullptr);
  const std::string utf8Name(kChineseUtf8);
  expectExchanges(*utf8Client, {{"OPTS UTF8 ON", "200 Option UTF8 is on.\r\n"},
                                {"CWD " + utf8Name, changedTo("/" + utf8Name)},
                                {"PWD", current("/" + utf8Name)},
                                {"SIZE f.txt", "213 3\r\n"}});

  auto gbkClient = connectAndLogin();
  ASSERT_NE(gbkClient, nullptr);
  const std::string gbkName(kChineseGbk);
  expectExchanges(*gbkClient, {{"CWD " + gbkName, changedTo("/" + gbkName)},
                               {"SIZE f.txt", "213 3\r\n"},
                               {"CWD /" + utf8Name, kAccessDenied}});

  EXPECT_TRUE(harness.waitForLine("#1>CWD 中文"));
  EXPECT_TRUE(harness.waitForLine("#2>CWD 中文"));
  EXPECT_EQ(harness.count("250 Directory changed to /中文"), 2);
}

TEST_F(ChineseFolderTest, SwitchingBackToTheCodePage) {
  fs::create_directory(store() / fs::u8path(std::string(kChineseUtf8)));
  auto client = connectAndLogin();
  ASSERT_NE(client, nullptr);
  const std::string gbkName(kChineseGbk);
  const std::string utf8Name(kChineseUtf8);
  expectExchanges(*client, {{"OPTS UTF8 ON", "200 Option UTF8 is on.\r\n"},
                            {"CWD /" + gbkName, kAccessDenied},
                            {"OPTS UTF8 OFF", "200 Option UTF8 is off.\r\n"},
                            {"CWD /" + gbkName, changedTo("/" + gbkName)}});
}

}  // namespace
}  // namespace drovn::protocol::test
