// Listings for clients that speak the standard extensions, one command line a row against one
// small store: option words, a file alone, patterns, dates by age, MLSD and MLST.
#include <filesystem>
#include <optional>
#include <set>

#include "ProtocolTestSupport.h"
#include "vfs/Pattern.h"

namespace drovn::protocol::test {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono;

enum class As { Modern, ReadOnly, LoggedOut, Plain };  // Plain: without the extensions
struct Row {
  std::string command;
  std::optional<std::string> listing;  // nothing: the reply comes alone, on the control line
  std::string reply = kCompleted;
  As as = As::Modern;
};

const std::string kModify = "modify=20261201091500;perm=", kGbkName = "\xD6\xD0.txt";
std::string ls(const std::string& size, const std::string& name, char kind = '-',
               const std::string& date = "Dec  1  9:15") {
  return kind + std::string("rw-rw-rw-   1 user     group ") + std::string(10 - size.size(), ' ') +
         size + " " + date + " " + name + "\r\n";
}
std::string mlst(const std::string& name, const std::string& facts) {
  return "250-Listing " + name + "\r\n " + facts + name + "\r\n250 End\r\n";
}

std::vector<Row> rows() {
  const std::string root = "a.txt\r\nab.txt\r\nf0.dat\r\nsub\r\nwhen\r\n";
  const std::string subFiles = "sub/a.txt\r\nsub/b.txt\r\nsub/" + kGbkName + "\r\n";
  const std::string file = "type=file;size=", dir = "type=dir;" + kModify;
  const auto facts = [&](const std::string& size, const std::string& perm) {
    return file + size + ";" + kModify + perm + "; ";
  };
  // clang-format off
  return {
      {"NLST -CF", root}, {"NLST -1", root}, {"NLST *", root},
      {"LIST -R", ls("5", "a.txt") + ls("2", "ab.txt") + ls("0", "f0.dat") + ls("0", "sub", 'd') +
                  ls("0", "when", 'd')},
      {"LIST -la sub", ls("8", "a.txt") + ls("2", "b.txt") + ls("1", kGbkName)},
      {"LIST sub/a.txt", ls("8", "a.txt")}, {"NLST f0.dat", "f0.dat\r\n"},
      {"NLST -a sub/a.txt", "sub/a.txt\r\n"}, {"NLST *.txt", "a.txt\r\nab.txt\r\n"},
      {"NLST ?.txt", "a.txt\r\n"}, {"NLST sub/?.txt", subFiles}, {"NLST sub/*.txt", subFiles},
      {"NLST *.none", std::nullopt, kAccessDenied},
      {"LIST when", ls("0", "recent", '-', "Jul  7 12:00") + ls("0", "old", '-', "May  7  2026") +
                    ls("0", "ahead", '-', "Jul  7  2027")},
      {"MLSD sub", facts("8", "radfw") + "a.txt\r\n" + facts("2", "radfw") + "b.txt\r\n" +
                   facts("1", "radfw") + kGbkName + "\r\n"},
      {"MLSD", facts("5", "r") + "a.txt\r\n" + facts("2", "r") + "ab.txt\r\n" + facts("0", "r") +
               "f0.dat\r\n" + dir + "el; sub\r\n" + dir + "el; when\r\n", kCompleted, As::ReadOnly},
      {"MLSD a.txt", std::nullopt, kAccessDenied}, {"MLST missing", std::nullopt, kAccessDenied},
      {"MLST a.txt", std::nullopt, mlst("a.txt", facts("5", "radfw"))},
      {"MLST sub", std::nullopt, mlst("sub", dir + "elcdmpf; ")},
      {"MLST", std::nullopt, mlst("/", dir + "elcdmpf; ")},
      {"MLST a.txt", std::nullopt, "530 Please log in first.\r\n", As::LoggedOut},
      {"NLST -CF", std::nullopt, kAccessDenied, As::Plain}};
  // clang-format on
}

std::multiset<std::string> lines(const std::string& text) {  // each with its line end
  std::multiset<std::string> out;
  for (std::size_t at = 0, end = 0; at < text.size(); at = end) {
    end = std::min(text.find('\n', at), text.size() - 1) + 1;
    out.insert(text.substr(at, end - at));
  }
  return out;
}

class ModernListingTest : public ProtocolTest, public testing::WithParamInterface<Row> {
  void configure(config::Settings& s) override {
    s.opt_modernClients = GetParam().as != As::Plain;
    s.auth_readOnlyAnonymous = GetParam().as == As::ReadOnly;
  }
};

TEST_P(ModernListingTest, ListingOrReply) {
  const auto at = [](year_month_day date, minutes time) {
    return file_clock::from_sys(sys_seconds{sys_days{date} + time});
  };
  // clang-format off
  for (const auto& [name, bytes] :
       {std::pair{"a.txt", "hello"}, {"ab.txt", "hi"}, {"f0.dat", ""}, {"sub/a.txt", "12345678"},
        {"sub/b.txt", "hi"}, {"sub/\u4e2d.txt", "x"}, {"when/recent", ""}, {"when/old", ""},
        {"when/ahead", ""}, {"sub", nullptr}, {"when", nullptr}, {"", nullptr}}) {
    if (bytes != nullptr) writeFile(store() / name, bytes);
    fs::last_write_time(store() / name, at(2026y / 12 / 1, 9h + 15min));  // folders last
  }
  for (const auto& [name, date] : {std::pair{"when/recent", 2026y / 7 / 7},
                                   {"when/old", 2026y / 5 / 7}, {"when/ahead", 2027y / 7 / 7}}) {
    fs::last_write_time(store() / name, at(date, 12h));  // 5 months ago, 7 ago, 7 ahead
  }
  // clang-format on
  harness.clock().setNow({2026, 12, 7, 12, 0, 0});

  const Row& row = GetParam();
  auto client = connect(row.as == As::LoggedOut ? "" : "anonymous");
  ASSERT_NE(client, nullptr);
  std::string reply;
  if (row.listing) {
    EXPECT_EQ(lines(download(*client, Mode::Passive, row.command, reply)), lines(*row.listing));
  }
  EXPECT_EQ(row.listing ? reply : ask(*client, row.command), row.reply);
}
INSTANTIATE_TEST_SUITE_P(Rows, ModernListingTest, testing::ValuesIn(rows()));

// A wildcard takes whole characters: '@' here is the second byte of a code-page character.
TEST(PatternTest, StepsOverWholeCharacters) {
  EXPECT_TRUE(vfs::matchesPattern("a*b?", "aXbYb\xE4\xB8\xAD", true));
  EXPECT_FALSE(vfs::matchesPattern("*@", "\x81@", false));
}

}  // namespace
}  // namespace drovn::protocol::test
