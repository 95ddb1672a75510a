// LIST and NLST over real data connections on 127.0.0.1 and a real store directory: the exact
// bytes of every line, the order of the entries, the options and paths the commands take, the
// refusals that come before any data connection, and listings far larger than one block.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <tuple>
#include <vector>

#include "ProtocolTestSupport.h"
#include "protocol/Session.h"

namespace drovn::protocol::test {
namespace {

namespace fs = std::filesystem;

constexpr char kTransferCompleted[] = "226 Transfer completed.\r\n";
constexpr char kPassiveOpened[] = "125 Connection transfer starting...\r\n";
constexpr char kActiveOpening[] = "150 Opening data connection...\r\n";
constexpr char kPortOk[] = "200 PORT command ok.\r\n";
constexpr char kNoop[] = "200 OK \r\n";

constexpr std::string_view kFilePermissions = "-rw-rw-rw-   1 user     group";
constexpr std::string_view kDirectoryPermissions = "drw-rw-rw-   1 user     group";
constexpr std::string_view kBadPermissions = "drw-rw-rw-   1 user       bad";

// The device clock of most tests, and the last write of most entries (a UTC time) with the
// date column it shows in that year.
constexpr platform::CalendarTime kNow{2026, 6, 15, 10, 30, 0};
constexpr platform::CalendarTime kWritten{2026, 3, 4, 9, 5, 0};
constexpr std::string_view kWrittenColumn = "Mar  4  9:05";

enum class Mode { Active, Passive };

std::string modeName(Mode m) {
  return m == Mode::Active ? "Active" : "Passive";
}

void setLastWrite(const fs::path& p, const platform::CalendarTime& t) {
  using namespace std::chrono;
  const sys_seconds utc = sys_days{year{t.year} / month{static_cast<unsigned>(t.month)} /
                                   day{static_cast<unsigned>(t.day)}} +
                          hours{t.hour} + minutes{t.minute} + seconds{t.second};
  fs::last_write_time(p, file_clock::from_sys(utc));
}

fs::path utf8Path(std::string_view name) {
  return fs::path(std::u8string(name.begin(), name.end()));
}

std::string line(std::string_view permissions, long long size, std::string_view date,
                 std::string_view name) {
  std::string number = std::to_string(size);
  if (number.size() < 10) number.insert(0, 10 - number.size(), ' ');
  return std::string(permissions) + " " + number + " " + std::string(date) + " " +
         std::string(name);
}

std::string fileLine(long long size, std::string_view name,
                     std::string_view date = kWrittenColumn) {
  return line(kFilePermissions, size, date, name);
}

std::string dirLine(std::string_view name, std::string_view date = kWrittenColumn) {
  return line(kDirectoryPermissions, 0, date, name);
}

std::vector<std::string> splitLines(const std::string& data) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  while (start < data.size()) {
    const std::size_t end = data.find("\r\n", start);
    if (end == std::string::npos) {
      lines.push_back(data.substr(start) + "<no line end>");
      break;
    }
    lines.push_back(data.substr(start, end - start));
    start = end + 2;
  }
  return lines;
}

// The entries of dir as the store walks them: non-directories first, then directories, each
// group in the directory's own order. Names in UTF-8.
std::vector<std::string> storeOrder(const fs::path& dir) {
  std::vector<std::string> files;
  std::vector<std::string> directories;
  for (const fs::directory_entry& e : fs::directory_iterator(dir)) {
    const std::u8string name = e.path().filename().u8string();
    std::error_code ec;
    (fs::is_directory(e.path(), ec) ? directories : files).emplace_back(name.begin(), name.end());
  }
  files.insert(files.end(), directories.begin(), directories.end());
  return files;
}

// What one listing command brought.
struct Listing {
  std::string opening;              // the 125 or 150 reply; "" when none came
  bool connected = false;           // the server opened the data connection
  std::optional<std::string> data;  // everything up to the server's close
  std::string reply;                // the final reply
};

class ListingTest : public ProtocolTest {
 protected:
  void configure(config::Settings& s) override { s.opt_enableUtf8 = true; }

  void SetUp() override {
    ProtocolTest::SetUp();
    if (HasFatalFailure()) return;
    harness.clock().setNow(kNow);
    client = connectAndLogin();
    ASSERT_NE(client, nullptr);
  }

  // Creates the file with `size` bytes (sparse) and the standard last write.
  void makeFile(const fs::path& relative, uint64_t size = 0) {
    const fs::path p = store() / relative;
    writeFile(p, "");
    if (size != 0) fs::resize_file(p, size);
    setLastWrite(p, kWritten);
  }
  void makeDirectory(const fs::path& relative) {
    fs::create_directories(store() / relative);
    setLastWrite(store() / relative, kWritten);
  }

  // Sends the command over a fresh data connection of the given mode and collects what comes.
  Listing run(std::string_view command, Mode mode = Mode::Passive,
              std::chrono::milliseconds dataTimeout = 10s) {
    Listing got;
    DataPeer peer(harness.network());
    if (mode == Mode::Passive) {
      const uint16_t port = passivePort(ask(*client, "PASV"));
      EXPECT_NE(port, 0);
      EXPECT_TRUE(peer.connectTo(port));
    } else {
      const std::string argument = peer.listen();
      EXPECT_FALSE(argument.empty());
      EXPECT_EQ(ask(*client, "PORT " + argument), kPortOk);
    }
    EXPECT_TRUE(client->send(std::string(command) + "\r\n"));
    std::optional<std::string> first = client->readLine(5s);
    if (!first) {
      got.reply = "<no reply>";
      return got;
    }
    if (first->starts_with("125 ") || first->starts_with("150 ")) {
      got.opening = *first;
      got.connected = mode == Mode::Passive || peer.accept(5s);
      if (got.connected) got.data = peer.readAll(dataTimeout);
      got.reply = client->readLine(dataTimeout).value_or("<no reply>");
    } else {
      got.reply = *first;
      // A refusal comes before any data connection: none may arrive afterwards either.
      if (mode == Mode::Active) got.connected = peer.accept(300ms);
    }
    return got;
  }

  // The listing must have succeeded; gives its data.
  std::string listed(std::string_view command, Mode mode = Mode::Passive) {
    const Listing got = run(command, mode);
    EXPECT_EQ(got.opening, mode == Mode::Passive ? kPassiveOpened : kActiveOpening) << command;
    EXPECT_EQ(got.reply, kTransferCompleted) << command;
    EXPECT_TRUE(got.data.has_value()) << command;
    return got.data.value_or("<no data>");
  }

  void expectRefusedBeforeAnyConnection(std::string_view command, std::string_view reply) {
    const Listing got = run(command, Mode::Active);
    EXPECT_EQ(got.opening, "") << command;
    EXPECT_EQ(got.reply, reply) << command;
    EXPECT_FALSE(got.connected) << command;
    // Nothing else was sent for the command.
    EXPECT_EQ(ask(*client, "NOOP"), kNoop) << "after " << command;
  }

  std::unique_ptr<FtpClient> client;
};

// ---- the empty listing, in both data-connection modes ----

class EmptyListingTest : public ListingTest,
                         public testing::WithParamInterface<std::tuple<std::string, Mode>> {};

TEST_P(EmptyListingTest, ConnectionOpensAndClosesWithNothingOnIt) {
  makeDirectory("empty");
  const auto& [command, mode] = GetParam();
  const Listing got = run(command + " empty", mode);
  EXPECT_EQ(got.opening, mode == Mode::Passive ? kPassiveOpened : kActiveOpening);
  EXPECT_TRUE(got.connected);
  ASSERT_TRUE(got.data.has_value()) << "the data connection was not closed";
  EXPECT_EQ(*got.data, "");
  EXPECT_EQ(got.reply, kTransferCompleted);
  EXPECT_EQ(ask(*client, "NOOP"), kNoop);
}

INSTANTIATE_TEST_SUITE_P(Commands, EmptyListingTest,
                         testing::Combine(testing::Values("LIST", "NLST", "LIST -l", "NLST -l"),
                                          testing::Values(Mode::Active, Mode::Passive)),
                         [](const auto& p) {
                           std::string name = std::get<0>(p.param);
                           std::erase(name, ' ');
                           std::erase(name, '-');
                           return name + modeName(std::get<1>(p.param));
                         });

// ---- the long format ----

TEST_F(ListingTest, LongFormatFilesFirstThenDirectories) {
  makeFile("d/b.txt", 5);
  makeFile("d/a.txt", 1234567890);
  makeFile("d/zero");
  makeDirectory("d/0sub");  // sorts before every file: still listed after them
  makeDirectory("d/full");
  makeFile("d/full/inner.txt", 99);  // a directory with content still shows size 0
  setLastWrite(store() / "d/full", kWritten);

  const std::map<std::string, std::string> expected{
      {"b.txt", fileLine(5, "b.txt")}, {"a.txt", fileLine(1234567890, "a.txt")},
      {"zero", fileLine(0, "zero")},   {"0sub", dirLine("0sub")},
      {"full", dirLine("full")},
  };
  std::string whole;
  for (const std::string& name : storeOrder(store() / "d")) whole += expected.at(name) + "\r\n";
  ASSERT_EQ(storeOrder(store() / "d").size(), expected.size());
  EXPECT_EQ(listed("LIST d"), whole);
  EXPECT_EQ(listed("LIST d", Mode::Active), whole);
}

TEST_F(ListingTest, LineLayoutIsFixed) {
  makeFile("d/x", 7);
  const std::string data = listed("LIST d");
  EXPECT_EQ(data, "-rw-rw-rw-   1 user     group          7 Mar  4  9:05 x\r\n");
}

// The date column: hour and minute for an entry of the device clock's year, the year for any
// other, even last December. Entry times are the UTC fields of the last write.
struct DateCase {
  const char* name;
  platform::CalendarTime now;
  platform::CalendarTime written;
  const char* column;
};

class ListingDateTest : public ListingTest, public testing::WithParamInterface<DateCase> {};

TEST_P(ListingDateTest, Column) {
  const DateCase& c = GetParam();
  harness.clock().setNow(c.now);
  writeFile(store() / "d" / "f", "abc");
  fs::create_directory(store() / "d" / "sub");
  setLastWrite(store() / "d" / "f", c.written);
  setLastWrite(store() / "d" / "sub", c.written);
  EXPECT_EQ(listed("LIST d"),
            fileLine(3, "f", c.column) + "\r\n" + dirLine("sub", c.column) + "\r\n");
}

INSTANTIATE_TEST_SUITE_P(
    Dates, ListingDateTest,
    testing::Values(
        DateCase{"MorningThisYear", kNow, {2026, 3, 4, 9, 5, 0}, "Mar  4  9:05"},
        DateCase{"MidnightNewYear", kNow, {2026, 1, 1, 0, 0, 0}, "Jan  1  0:00"},
        DateCase{"LastMinuteOfTheYear", kNow, {2026, 12, 31, 23, 59, 59}, "Dec 31 23:59"},
        DateCase{"TwoDigitHour", kNow, {2026, 10, 10, 10, 10, 0}, "Oct 10 10:10"},
        // Only the calendar year counts: months ahead of the clock still show the time.
        DateCase{"LaterThisYear", kNow, {2026, 11, 30, 18, 45, 0}, "Nov 30 18:45"},
        DateCase{"LastDecember", {2026, 1, 2, 8, 0, 0}, {2025, 12, 31, 23, 59, 0}, "Dec 31  2025"},
        DateCase{"LongAgo", kNow, {1999, 7, 20, 14, 0, 0}, "Jul 20  1999"},
        DateCase{"NextYear", {2026, 12, 31, 23, 0, 0}, {2027, 1, 1, 0, 0, 0}, "Jan  1  2027"},
        DateCase{"Epoch", kNow, {1970, 1, 1, 0, 0, 0}, "Jan  1  1970"},
        DateCase{"EpochInItsOwnYear", {1970, 5, 5, 5, 5, 5}, {1970, 1, 1, 0, 0, 0}, "Jan  1  0:00"},
        // Just before midnight UTC: a local-time conversion would move it to another day.
        DateCase{"UtcFieldsBeforeMidnight", kNow, {2026, 5, 31, 23, 30, 0}, "May 31 23:30"},
        DateCase{"UtcFieldsAfterMidnight", kNow, {2026, 6, 1, 0, 30, 0}, "Jun  1  0:30"}),
    [](const testing::TestParamInfo<DateCase>& p) { return std::string(p.param.name); });

// The size column holds the whole size, past every 32-bit mark (the files are sparse).
struct SizeCase {
  const char* name;
  uint64_t size;
};

class ListingSizeTest : public ListingTest, public testing::WithParamInterface<SizeCase> {};

TEST_P(ListingSizeTest, Column) {
  makeFile("d/f", GetParam().size);
  EXPECT_EQ(listed("LIST d"), fileLine(static_cast<long long>(GetParam().size), "f") + "\r\n");
}

INSTANTIATE_TEST_SUITE_P(
    Sizes, ListingSizeTest,
    testing::Values(SizeCase{"Empty", 0}, SizeCase{"TenDigits", 1234567890},
                    SizeCase{"Largest32BitSigned", (2ull << 30) - 1}, SizeCase{"TwoGiB", 2ull << 30},
                    SizeCase{"ThreeGiB", 3ull << 30}, SizeCase{"FiveGiB", 5ull << 30},
                    SizeCase{"ElevenDigits", 99999999999ull}),
    [](const testing::TestParamInfo<SizeCase>& p) { return std::string(p.param.name); });

// ---- options, paths and the two forms ----

// The store of the command table, entered at /sub:
//   top.txt (1), sub/ with s1.txt (3) and sdir/ with deep.txt (4), other/ with o.txt (7) and
//   odir/, "two words"/ with t.txt (2).
enum class Form { Long, Names, Refused };

struct CommandCase {
  const char* name;
  const char* command;
  Form form;
  const char* listedDir;  // from the store; "" for the root
};

void PrintTo(const CommandCase& c, std::ostream* os) {
  *os << c.command;
}

class ListingCommandTest : public ListingTest, public testing::WithParamInterface<CommandCase> {
 protected:
  void SetUp() override {
    ListingTest::SetUp();
    if (HasFatalFailure()) return;
    makeFile("top.txt", 1);
    makeFile("sub/s1.txt", 3);
    makeFile("sub/sdir/deep.txt", 4);
    makeFile("other/o.txt", 7);
    makeDirectory("other/odir");
    makeFile("two words/t.txt", 2);
    for (const char* dir : {"sub/sdir", "sub", "other", "two words"}) {
      setLastWrite(store() / dir, kWritten);
    }
    ASSERT_EQ(ask(*client, "CWD sub"), "250 Directory changed to /sub\r\n");
  }

  std::string expectedListing(const fs::path& dir, Form form) {
    std::string all;
    for (const std::string& name : storeOrder(dir)) {
      const fs::path p = dir / name;
      if (form == Form::Names) {
        all += name;
      } else if (fs::is_directory(p)) {
        all += dirLine(name);
      } else {
        all += fileLine(static_cast<long long>(fs::file_size(p)), name);
      }
      all += "\r\n";
    }
    return all;
  }
};

TEST_P(ListingCommandTest, ListsWhatTheCommandNames) {
  const CommandCase& c = GetParam();
  if (c.form == Form::Refused) {
    expectRefusedBeforeAnyConnection(c.command, kAccessDenied);
    return;
  }
  const fs::path dir = std::string_view(c.listedDir).empty() ? store() : store() / c.listedDir;
  EXPECT_EQ(listed(c.command), expectedListing(dir, c.form));
  EXPECT_EQ(ask(*client, "PWD"), "257 \"/sub\" is current directory.\r\n");
}

INSTANTIATE_TEST_SUITE_P(
    Commands, ListingCommandTest,
    testing::Values(CommandCase{"List", "LIST", Form::Long, "sub"},
                    CommandCase{"ListL", "LIST -l", Form::Long, "sub"},
                    CommandCase{"ListA", "LIST -a", Form::Long, "sub"},
                    CommandCase{"ListAl", "LIST -al", Form::Long, "sub"},
                    CommandCase{"ListAlUpper", "LIST -AL", Form::Long, "sub"},
                    CommandCase{"ListLUpper", "LIST -L", Form::Long, "sub"},
                    CommandCase{"ListAUpper", "LIST -A", Form::Long, "sub"},
                    CommandCase{"ListAlMixed", "LIST -aL", Form::Long, "sub"},
                    CommandCase{"ListAlPath", "LIST -al /other", Form::Long, "other"},
                    CommandCase{"ListLRelativePath", "LIST -l ../other", Form::Long, "other"},
                    CommandCase{"ListPath", "LIST /other", Form::Long, "other"},
                    CommandCase{"ListSubdirectory", "LIST sdir", Form::Long, "sub/sdir"},
                    CommandCase{"ListPathWithSpace", "LIST ../two words", Form::Long, "two words"},
                    CommandCase{"ListRoot", "LIST /", Form::Long, ""},
                    CommandCase{"ListParent", "LIST ..", Form::Long, ""},
                    CommandCase{"ListOptionThenRoot", "LIST -a /", Form::Long, ""},
                    CommandCase{"ListDot", "LIST .", Form::Long, "sub"},
                    // A reversed or second option is no option: it is taken as a path.
                    CommandCase{"ListLa", "LIST -la", Form::Refused, ""},
                    CommandCase{"ListSecondOption", "LIST -l -a", Form::Refused, ""},
                    CommandCase{"ListLt", "LIST -lt", Form::Refused, ""},
                    CommandCase{"ListLongOption", "LIST --all", Form::Refused, ""},
                    CommandCase{"ListFile", "LIST s1.txt", Form::Refused, ""},
                    CommandCase{"ListFileByOption", "LIST -l /top.txt", Form::Refused, ""},
                    CommandCase{"ListMissing", "LIST missing", Form::Refused, ""},
                    CommandCase{"ListUnderAFile", "LIST s1.txt/x", Form::Refused, ""},
                    CommandCase{"Nlst", "NLST", Form::Names, "sub"},
                    CommandCase{"NlstPath", "NLST /other", Form::Names, "other"},
                    CommandCase{"NlstRoot", "NLST /", Form::Names, ""},
                    CommandCase{"NlstSubdirectory", "NLST sdir", Form::Names, "sub/sdir"},
                    CommandCase{"NlstL", "NLST -l", Form::Long, "sub"},
                    CommandCase{"NlstA", "NLST -a", Form::Long, "sub"},
                    CommandCase{"NlstAlUpper", "NLST -AL", Form::Long, "sub"},
                    CommandCase{"NlstLPath", "NLST -l /other", Form::Long, "other"},
                    // Two words are the long form, of the path they make together.
                    CommandCase{"NlstTwoWords", "NLST ../two words", Form::Long, "two words"},
                    CommandCase{"NlstTwoWordsAbsolute", "NLST /two words", Form::Long, "two words"},
                    CommandCase{"NlstLa", "NLST -la", Form::Refused, ""},
                    CommandCase{"NlstFile", "NLST s1.txt", Form::Refused, ""},
                    CommandCase{"NlstMissing", "NLST missing", Form::Refused, ""},
                    CommandCase{"NlstTwoWordsMissing", "NLST two words", Form::Refused, ""}),
    [](const testing::TestParamInfo<CommandCase>& p) { return std::string(p.param.name); });

TEST_F(ListingTest, ReversedOptionListsADirectoryOfThatName) {
  makeFile("-la/inside.txt", 6);
  setLastWrite(store() / "-la", kWritten);
  EXPECT_EQ(listed("LIST -la"), fileLine(6, "inside.txt") + "\r\n");
  EXPECT_EQ(listed("NLST -la"), "inside.txt\r\n");
}

// Another directory's entries are looked up there: a name that also exists in the current
// directory, as another kind, shows the listed directory's entry.
TEST_F(ListingTest, OtherDirectoryShowsItsOwnEntries) {
  makeFile("same", 5);
  makeDirectory("dirHere");
  makeDirectory("other/same");
  makeFile("other/dirHere", 11);
  makeFile("other/onlyThere", 7);
  setLastWrite(store() / "other", kWritten);

  std::string expected;
  for (const std::string& name : storeOrder(store() / "other")) {
    expected += (name == "same"      ? dirLine(name)
                 : name == "dirHere" ? fileLine(11, name)
                                     : fileLine(7, name)) +
                "\r\n";
  }
  const std::string data = listed("LIST other");
  EXPECT_EQ(data, expected);
  EXPECT_EQ(data.find(" bad "), std::string::npos);
  ASSERT_EQ(ask(*client, "CWD other/same"), "250 Directory changed to /other/same\r\n");
  EXPECT_EQ(listed("LIST /other"), expected);
}

// ---- refusals ----

TEST_F(ListingTest, RefusedBeforeLogin) {
  makeDirectory("d");
  auto anonymous = connect();
  ASSERT_NE(anonymous, nullptr);
  expectExchanges(*anonymous, {{"PASV", kPleaseLogIn},
                               {"LIST", kPleaseLogIn},
                               {"LIST d", kPleaseLogIn},
                               {"LIST -l", kPleaseLogIn},
                               {"NLST", kPleaseLogIn},
                               {"NLST d", kPleaseLogIn},
                               {"NLST -l d", kPleaseLogIn},
                               {"NLST d e", kPleaseLogIn},
                               {"NOOP", kNoop}});
}

// Paths that lead out of the store: refused before any data connection.
class ListingConfinementTest : public ListingTest, public testing::WithParamInterface<const char*> {
 protected:
  void SetUp() override {
    ListingTest::SetUp();
    if (HasFatalFailure()) return;
    outside = store().parent_path() / (store().filename().string() + "-outside");
    fs::create_directories(outside / "secretDir");
    writeFile(outside / "secret.txt", "secret");
    makeFile("inside/x.txt", 1);
    fs::create_directory_symlink(outside, store() / "outAbs");
    fs::create_directory_symlink("../" + outside.filename().string(), store() / "outRel");
    fs::create_directory_symlink(outside / "secretDir", store() / "inside" / "outDeep");
    fs::create_directory_symlink("inside", store() / "inLink");
  }
  void TearDown() override {
    std::error_code ec;
    fs::remove_all(outside, ec);
  }
  fs::path outside;
};

TEST_P(ListingConfinementTest, RefusedWithoutADataConnection) {
  expectRefusedBeforeAnyConnection(GetParam(), kAccessDenied);
}

INSTANTIATE_TEST_SUITE_P(Paths, ListingConfinementTest,
                         testing::Values("LIST ..", "LIST ../", "LIST /..", "LIST -l ..",
                                         "LIST /inside/../..", "LIST ..\\", "LIST outAbs",
                                         "LIST outRel", "LIST -al outAbs", "LIST outAbs/secretDir",
                                         "LIST inside/outDeep", "LIST inLink/outDeep", "NLST ..",
                                         "NLST outAbs", "NLST outRel", "NLST -l outRel",
                                         "NLST -l outRel/secretDir"));

TEST_F(ListingConfinementTest, LinkThatStaysInsideIsListed) {
  // inside/ holds x.txt and the link out, which is shown as a file of size 0 with its own time.
  const std::string data = listed("LIST inLink");
  EXPECT_NE(data.find(fileLine(1, "x.txt") + "\r\n"), std::string::npos) << data;
  EXPECT_EQ(data.find("secret"), std::string::npos) << data;
  EXPECT_EQ(splitLines(data).size(), 2u) << data;
  EXPECT_EQ(listed("NLST inLink"), listed("NLST inside"));
}

// ---- encodings ----

TEST_F(ListingTest, NamesInTheSessionsEncoding) {
  const std::string utf8(kChineseUtf8);
  const std::string gbk(kChineseGbk);
  makeFile(utf8Path("d/" + utf8 + ".txt"), 4);
  makeDirectory(utf8Path("d/" + utf8));
  makeFile(utf8Path("d/" + utf8 + "/inner.txt"), 2);
  setLastWrite(store() / utf8Path("d/" + utf8), kWritten);

  const std::string gbkLong = fileLine(4, gbk + ".txt") + "\r\n" + dirLine(gbk) + "\r\n";
  const std::string utf8Long = fileLine(4, utf8 + ".txt") + "\r\n" + dirLine(utf8) + "\r\n";
  // Code page 936 until the client asks for UTF-8.
  EXPECT_EQ(listed("LIST d"), gbkLong);
  EXPECT_EQ(listed("NLST d"), gbk + ".txt\r\n" + gbk + "\r\n");
  EXPECT_EQ(listed("LIST d/" + gbk), fileLine(2, "inner.txt") + "\r\n");
  EXPECT_EQ(ask(*client, "OPTS UTF8 ON"), "200 Option UTF8 is on.\r\n");
  EXPECT_EQ(listed("LIST d"), utf8Long);
  EXPECT_EQ(listed("NLST d"), utf8 + ".txt\r\n" + utf8 + "\r\n");
  EXPECT_EQ(listed("LIST d/" + utf8), fileLine(2, "inner.txt") + "\r\n");
  EXPECT_EQ(ask(*client, "OPTS UTF8 OFF"), "200 Option UTF8 is off.\r\n");
  EXPECT_EQ(listed("LIST d", Mode::Active), gbkLong);
}

// A name without a code-page form reaches a code-page client as '?', which names nothing in
// the directory: its line is the "bad" one, with size 0 and the device clock's date and time.
TEST_F(ListingTest, EntryThatCannotBeLookedUpIsListedAsBad) {
  const std::string emoji = "\xF0\x9F\x98\x80";  // U+1F600
  makeFile(utf8Path("d/" + emoji + ".txt"), 9);
  makeDirectory(utf8Path("d/" + emoji + "dir"));
  harness.clock().setNow({2026, 2, 3, 4, 5, 6});
  EXPECT_EQ(listed("LIST d"), line(kBadPermissions, 0, "Feb  3  4:05", "?.txt") + "\r\n" +
                                  line(kBadPermissions, 0, "Feb  3  4:05", "?dir") + "\r\n");
  EXPECT_EQ(listed("NLST d"), "?.txt\r\n?dir\r\n");
  // Another year on the clock: the bad line still shows the clock's own date, with its time.
  harness.clock().setNow({2031, 11, 22, 13, 7, 0});
  EXPECT_EQ(splitLines(listed("LIST d"))[0], line(kBadPermissions, 0, "Nov 22 13:07", "?.txt"));
  // In UTF-8 the same entries are found.
  harness.clock().setNow(kNow);
  EXPECT_EQ(ask(*client, "OPTS UTF8 ON"), "200 Option UTF8 is on.\r\n");
  EXPECT_EQ(listed("LIST d"),
            fileLine(9, emoji + ".txt") + "\r\n" + dirLine(emoji + "dir") + "\r\n");
}

// ---- listings larger than one block ----

// Every line is checked and the count is exact; the listing arrives on one connection, whose
// meter counted exactly the bytes received.
TEST_F(ListingTest, TwentyThousandEntriesArriveWhole) {
  constexpr int kEntries = 20000;
  const fs::path dir = store() / "many";
  fs::create_directory(dir);
  std::map<std::string, std::string> expected;
  for (int i = 0; i < kEntries; ++i) {
    const std::string name =
        "entry-" + std::to_string(i) + std::string(static_cast<std::size_t>(i % 5), 'x');
    const std::size_t size = static_cast<std::size_t>(i % 3);
    writeFile(dir / name, std::string(size, 'b'));
    setLastWrite(dir / name, kWritten);
    expected.emplace(name, fileLine(static_cast<long long>(size), name));
  }
  for (int i = 0; i < 3; ++i) {
    const std::string name = "folder" + std::to_string(i);
    makeDirectory("many/" + name);
    expected.emplace(name, dirLine(name));
  }
  const std::vector<std::string> order = storeOrder(dir);
  ASSERT_EQ(order.size(), expected.size());

  const int connectsBefore = harness.faults().calls(drovn::test::NetCall::Connect);
  const Listing got = run("LIST many", Mode::Active, 120s);
  EXPECT_EQ(got.opening, kActiveOpening);
  EXPECT_EQ(got.reply, kTransferCompleted);
  ASSERT_TRUE(got.data.has_value());
  EXPECT_GT(got.data->size(), kTransferBlockSize);
  EXPECT_EQ(harness.faults().calls(drovn::test::NetCall::Connect), connectsBefore + 1);
  EXPECT_EQ(static_cast<std::size_t>(harness.meter().totalBytes.load()), got.data->size());

  const std::vector<std::string> lines = splitLines(*got.data);
  ASSERT_EQ(lines.size(), order.size());
  int wrong = 0;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    if (lines[i] != expected.at(order[i]) && ++wrong <= 5) {
      ADD_FAILURE() << "line " << i << ": " << lines[i] << " instead of " << expected.at(order[i]);
    }
  }
  EXPECT_EQ(wrong, 0);

  // The same directory by names only: smaller than one block, from the session's own buffer.
  const std::string names = listed("NLST many");
  EXPECT_LT(names.size(), kTransferBlockSize);
  std::string wholeNames;
  for (const std::string& name : order) wholeNames += name + "\r\n";
  EXPECT_EQ(names, wholeNames);
}

// Name listings of exactly one block and one byte either side of it: 1792 names of 254 bytes
// and their line ends make 458752 bytes.
class BlockBoundaryTest : public ListingTest, public testing::WithParamInterface<int> {};

TEST_P(BlockBoundaryTest, ArrivesWhole) {
  constexpr std::size_t kNames = 1792;
  static_assert(kNames * 256 == kTransferBlockSize);
  const fs::path dir = store() / "block";
  fs::create_directory(dir);
  for (std::size_t i = 0; i < kNames; ++i) {
    std::string name = std::to_string(i);
    std::size_t length = 254;
    if (i == 0) length = static_cast<std::size_t>(254 + GetParam());
    name.append(length - name.size(), 'n');
    writeFile(dir / name, "");
  }
  std::string expected;
  for (const std::string& name : storeOrder(dir)) expected += name + "\r\n";
  ASSERT_EQ(static_cast<long long>(expected.size()),
            static_cast<long long>(kTransferBlockSize) + GetParam());
  EXPECT_EQ(listed("NLST block"), expected);
  EXPECT_EQ(listed("NLST block", Mode::Active), expected);
}

INSTANTIATE_TEST_SUITE_P(Sizes, BlockBoundaryTest, testing::Values(-1, 0, 1),
                         [](const testing::TestParamInfo<int>& p) {
                           return p.param < 0   ? std::string("OneByteShort")
                                  : p.param > 0 ? std::string("OneByteOver")
                                                : std::string("Exact");
                         });

}  // namespace
}  // namespace drovn::protocol::test
