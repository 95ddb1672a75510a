// The names a directory listing starts from: files first, then directories, over a real store
// directory and the real code-page codec.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "platform/LinuxFileSystem.h"
#include "platform/TextCodec.h"
#include "vfs/DirectoryEnumeration.h"

namespace drovn::vfs {
namespace {

namespace fs = std::filesystem;

constexpr std::string_view kChineseUtf8 = "中文";
constexpr std::string_view kChineseGbk = "\xD6\xD0\xCE\xC4";

fs::path makeStore() {
  std::random_device rd;
  for (int attempt = 0; attempt < 100; ++attempt) {
    auto candidate = fs::temp_directory_path() / ("drovn-enum-" + std::to_string(rd()));
    if (fs::create_directory(candidate)) return candidate;
  }
  throw std::runtime_error("no temporary directory");
}

void touch(const fs::path& file, std::string_view bytes = "") {
  fs::create_directories(file.parent_path());
  std::ofstream out(file, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

fs::path utf8Path(std::string_view name) {
  return fs::path(std::u8string(name.begin(), name.end()));
}

std::string utf8Name(const fs::path& p) {
  const std::u8string name = p.filename().u8string();
  return std::string(name.begin(), name.end());
}

class DirectoryEnumerationTest : public testing::Test {
 protected:
  void SetUp() override {
    store_ = makeStore();
    files_ = std::make_unique<platform::LinuxFileSystem>(store_.string());
  }
  void TearDown() override {
    std::error_code ec;
    fs::permissions(store_ / "locked", fs::perms::owner_all, ec);
    fs::remove_all(store_, ec);
  }

  // The names of localPath (in the client encoding), checking that the count given matches
  // what was appended. pattern, when given, receives what the path was rewritten into.
  std::vector<std::string> enumerate(std::string_view localPath, bool utf8 = false,
                                     const char16_t* root = u"\\", std::string* pattern = nullptr) {
    PathText path(localPath);
    EntryNameList names;
    const std::size_t count = enumerateDirectory(*files_, codec_, root, path, names, utf8);
    EXPECT_EQ(count, names.size());
    if (pattern != nullptr) *pattern = std::string(path.view());
    std::vector<std::string> out;
    for (const auto& name : names) out.emplace_back(name);
    return out;
  }

  // What the store itself gives for dir: its non-directories, then its directories, each group
  // in the directory's own order (as a plain readdir walk sees it).
  std::vector<std::string> expectedOrder(const fs::path& dir) const {
    std::vector<std::string> filesFirst;
    std::vector<std::string> directories;
    for (const fs::directory_entry& e : fs::directory_iterator(dir)) {
      // The store follows links beneath the root; the links made here stay inside it or lead
      // nowhere.
      std::error_code ec;
      (fs::is_directory(e.path(), ec) ? directories : filesFirst).push_back(utf8Name(e.path()));
    }
    filesFirst.insert(filesFirst.end(), directories.begin(), directories.end());
    return filesFirst;
  }

  fs::path store_;
  platform::LinuxTextCodec codec_;
  std::unique_ptr<platform::LinuxFileSystem> files_;
};

TEST_F(DirectoryEnumerationTest, EmptyDirectoryGivesNoNamesThoughTheStoreReportsTheDots) {
  fs::create_directory(store_ / "empty");
  // The store reports "." and ".." for every directory: the enumeration must drop them.
  std::unique_ptr<platform::DirSearch> search;
  platform::FindData entry;
  ASSERT_EQ(files_->findFirst(u"\\", u"\\empty\\*.*", search, entry,
                              platform::FindDetail::Full),
            0u);
  int dots = 0;
  for (int i = 0; i < 4; ++i) {
    if (entry.name.view() == u"." || entry.name.view() == u"..") ++dots;
    if (!search->next(entry)) break;
  }
  EXPECT_EQ(dots, 2);

  EXPECT_EQ(enumerate("/empty"), std::vector<std::string>{});
  EXPECT_EQ(enumerate("/empty", true), std::vector<std::string>{});
}

// One directory's entries; a trailing '/' marks a directory, "->" a link.
struct Layout {
  const char* name;
  std::vector<std::string> entries;
};

void PrintTo(const Layout& l, std::ostream* os) {
  *os << l.name;
}

class EnumerationOrderTest : public DirectoryEnumerationTest,
                             public testing::WithParamInterface<Layout> {};

TEST_P(EnumerationOrderTest, FilesFirstThenDirectoriesEachInTheStoresOrder) {
  const fs::path dir = store_ / "d";
  fs::create_directory(dir);
  std::size_t directories = 0;
  for (const std::string& entry : GetParam().entries) {
    const std::size_t arrow = entry.find("->");
    if (arrow != std::string::npos) {
      fs::create_symlink(entry.substr(arrow + 2), dir / entry.substr(0, arrow));
      if (fs::is_directory(dir / entry.substr(0, arrow))) ++directories;
    } else if (entry.ends_with('/')) {
      fs::create_directory(dir / entry.substr(0, entry.size() - 1));
      ++directories;
    } else {
      touch(dir / entry, "x");
    }
  }
  const std::vector<std::string> names = enumerate("/d");
  EXPECT_EQ(names, expectedOrder(dir));
  ASSERT_EQ(names.size(), GetParam().entries.size());
  // Whatever the names, no directory comes before a file.
  for (std::size_t i = 0; i < names.size(); ++i) {
    EXPECT_EQ(fs::is_directory(dir / names[i]), i >= names.size() - directories) << names[i];
  }
}

INSTANTIATE_TEST_SUITE_P(
    Layouts, EnumerationOrderTest,
    testing::Values(Layout{"TwoFilesAndASubdirectory", {"b.txt", "a.txt", "sub/"}},
                    Layout{"DirectoryNamesThatSortFirst", {"0dir/", "A/", "_/", "zz", "zzz.txt"}},
                    Layout{"OnlyFiles", {"one", "two", "three"}},
                    Layout{"OnlyDirectories", {"x/", "y/", "z/"}},
                    // Only "." and ".." themselves are dropped: hidden names stay.
                    Layout{"HiddenAndDotLikeNames", {".hidden", "...", ".d/", "..x/", ".x.."}},
                    // A link counts as what it leads to; one that leads nowhere is a file.
                    Layout{"Links", {"real/", "toReal->real", "dangling->nowhere", "f"}},
                    Layout{"ManyOfEach",
                           {"f1", "d1/", "f2", "d2/", "f3", "d3/", "f4", "d4/", "f5", "d5/", "f6",
                            "d6/", "f7", "d7/", "f8", "d8/"}}),
    [](const testing::TestParamInfo<Layout>& p) { return std::string(p.param.name); });

// Either path form, with or without a trailing separator, names the same directory and becomes
// the same search pattern.
struct PathForm {
  const char* name;
  const char* localPath;
  const char* pattern;
};

class EnumerationPathFormTest : public DirectoryEnumerationTest,
                                public testing::WithParamInterface<PathForm> {};

TEST_P(EnumerationPathFormTest, SameNamesSamePattern) {
  touch(store_ / "docs" / "a.txt");
  fs::create_directory(store_ / "docs" / "inner");
  touch(store_ / "top.txt");
  std::string pattern;
  const std::vector<std::string> names = enumerate(GetParam().localPath, false, u"\\", &pattern);
  EXPECT_EQ(pattern, GetParam().pattern);
  if (std::string_view(GetParam().pattern) == "\\*.*") {
    EXPECT_EQ(names, (std::vector<std::string>{"top.txt", "docs"}));
  } else {
    EXPECT_EQ(names, (std::vector<std::string>{"a.txt", "inner"}));
  }
}

INSTANTIATE_TEST_SUITE_P(Forms, EnumerationPathFormTest,
                         testing::Values(PathForm{"Slash", "/docs", "\\docs\\*.*"},
                                         PathForm{"Backslash", "\\docs", "\\docs\\*.*"},
                                         PathForm{"TrailingSlash", "/docs/", "\\docs\\*.*"},
                                         PathForm{"TrailingBackslash", "\\docs\\", "\\docs\\*.*"},
                                         PathForm{"DoubledLeadingSlash", "//docs", "\\docs\\*.*"},
                                         PathForm{"Root", "/", "\\*.*"},
                                         PathForm{"RootBackslash", "\\", "\\*.*"}),
                         [](const testing::TestParamInfo<PathForm>& p) {
                           return std::string(p.param.name);
                         });

TEST_F(DirectoryEnumerationTest, RootListsTheTopLevelOfTheAccountRoot) {
  touch(store_ / "home" / "user1" / "mine.txt");
  fs::create_directory(store_ / "home" / "user1" / "photos");
  touch(store_ / "outside.txt");
  // The whole store as the root.
  const std::vector<std::string> top = enumerate("/");
  EXPECT_EQ(top, expectedOrder(store_));
  EXPECT_EQ(top, (std::vector<std::string>{"outside.txt", "home"}));
  // An account rooted deeper sees only its own directory.
  EXPECT_EQ(enumerate("/home/user1", false, u"\\home\\user1"),
            (std::vector<std::string>{"mine.txt", "photos"}));
}

TEST_F(DirectoryEnumerationTest, NamesAreAppendedAfterWhatTheListHolds) {
  touch(store_ / "d" / "f");
  PathText path("/d");
  EntryNameList names;
  names.emplace_back("earlier");
  EXPECT_EQ(enumerateDirectory(*files_, codec_, u"\\", path, names, false), 1u);
  ASSERT_EQ(names.size(), 2u);
  EXPECT_EQ(names[0], "earlier");
  EXPECT_EQ(names[1], "f");
}

// Paths that cannot be searched: nothing appended, no error, the list left as it was.
struct Unsearchable {
  const char* name;
  const char* localPath;
  const char16_t* root;
};

class UnsearchableDirectoryTest : public DirectoryEnumerationTest,
                                  public testing::WithParamInterface<Unsearchable> {
 protected:
  void SetUp() override {
    DirectoryEnumerationTest::SetUp();
    touch(store_ / "acct" / "file.txt", "f");
    touch(store_ / "other" / "secret.txt", "s");
    fs::create_directory_symlink(store_ / "other", store_ / "acct" / "outLink");
    fs::create_directory_symlink("../other", store_ / "acct" / "outRel");
    fs::create_symlink("loopB", store_ / "acct" / "loopA");
    fs::create_symlink("loopA", store_ / "acct" / "loopB");
  }
};

TEST_P(UnsearchableDirectoryTest, GivesNothing) {
  PathText path(GetParam().localPath);
  EntryNameList names;
  names.emplace_back("kept");
  EXPECT_EQ(enumerateDirectory(*files_, codec_, GetParam().root, path, names, false), 0u);
  ASSERT_EQ(names.size(), 1u);
  EXPECT_EQ(names[0], "kept");
}

INSTANTIATE_TEST_SUITE_P(
    Paths, UnsearchableDirectoryTest,
    testing::Values(Unsearchable{"Missing", "/acct/missing", u"\\acct"},
                    Unsearchable{"MissingParent", "/acct/no/such", u"\\acct"},
                    Unsearchable{"AFile", "/acct/file.txt", u"\\acct"},
                    Unsearchable{"ThroughAFile", "/acct/file.txt/x", u"\\acct"},
                    Unsearchable{"LinkOutOfTheRoot", "/acct/outLink", u"\\acct"},
                    Unsearchable{"RelativeLinkOutOfTheRoot", "/acct/outRel", u"\\acct"},
                    Unsearchable{"LinkLoop", "/acct/loopA", u"\\acct"},
                    Unsearchable{"ParentOfTheRoot", "/acct/..", u"\\acct"},
                    Unsearchable{"SiblingOfTheRoot", "/other", u"\\acct"}),
    [](const testing::TestParamInfo<Unsearchable>& p) { return std::string(p.param.name); });

TEST_F(DirectoryEnumerationTest, UnreadableDirectoryGivesNothing) {
  touch(store_ / "locked" / "inside.txt");
  fs::permissions(store_ / "locked", fs::perms::none);
  std::error_code ec;
  fs::directory_iterator probe(store_ / "locked", ec);
  if (!ec) GTEST_SKIP() << "this user reads directories whatever their mode (root)";
  EXPECT_EQ(enumerate("/locked"), std::vector<std::string>{});
}

TEST_F(DirectoryEnumerationTest, NamesInTheClientEncoding) {
  const std::string chinese(kChineseUtf8);
  const std::string gbk(kChineseGbk);
  touch(store_ / "d" / utf8Path(chinese + ".txt"));
  fs::create_directory(store_ / "d" / utf8Path(chinese));
  // U+1F600 has no code-page form: the code page shows it as '?'.
  touch(store_ / "d" / utf8Path("\xF0\x9F\x98\x80.txt"));

  std::vector<std::string> utf8Names = enumerate("/d", true);
  ASSERT_EQ(utf8Names.size(), 3u);
  EXPECT_EQ(utf8Names.back(), chinese);
  std::sort(utf8Names.begin(), utf8Names.end() - 1);
  EXPECT_EQ(utf8Names,
            (std::vector<std::string>{chinese + ".txt", "\xF0\x9F\x98\x80.txt", chinese}));

  std::vector<std::string> gbkNames = enumerate("/d", false);
  ASSERT_EQ(gbkNames.size(), 3u);
  EXPECT_EQ(gbkNames.back(), gbk);
  std::sort(gbkNames.begin(), gbkNames.end() - 1);
  EXPECT_EQ(gbkNames, (std::vector<std::string>{"?.txt", gbk + ".txt", gbk}));
}

TEST_F(DirectoryEnumerationTest, PathInTheClientEncoding) {
  const std::string chinese(kChineseUtf8);
  touch(store_ / utf8Path(chinese) / "in.txt");
  EXPECT_EQ(enumerate("/" + chinese, true), std::vector<std::string>{"in.txt"});
  EXPECT_EQ(enumerate("/" + std::string(kChineseGbk), false), std::vector<std::string>{"in.txt"});
  // The other encoding's bytes name another directory, which does not exist.
  EXPECT_EQ(enumerate("/" + std::string(kChineseGbk), true), std::vector<std::string>{});
}

TEST_F(DirectoryEnumerationTest, LongestNameArrivesWhole) {
  const std::string longest(255, 'n');  // the longest name the store's file system takes
  touch(store_ / "d" / longest);
  EXPECT_EQ(enumerate("/d"), std::vector<std::string>{longest});
}

// The pattern needs 4 bytes after the path ("\*.*"); a path of at most 2043 bytes leaves room
// for it in the 2047-byte text, a longer one is refused rather than cut into another pattern.
class PatternRoomTest : public DirectoryEnumerationTest {
 protected:
  // A directory whose local path ("/" + components) is exactly `length` bytes, with one file.
  std::string deepDirectory(std::size_t length, char fill) {
    std::string local;
    fs::path dir = store_;
    while (local.size() < length) {
      const std::size_t part = std::min<std::size_t>(200, length - local.size() - 1);
      const std::string component(part, fill);
      local += "/" + component;
      dir /= component;
    }
    fs::create_directories(dir);
    touch(dir / "leaf.txt");
    EXPECT_EQ(local.size(), length);
    return local;
  }
};

TEST_F(PatternRoomTest, PathThatLeavesExactlyRoomIsSearched) {
  const std::string local = deepDirectory(PathText::kCapacity - 4, 'a');
  std::string pattern;
  EXPECT_EQ(enumerate(local, false, u"\\", &pattern), std::vector<std::string>{"leaf.txt"});
  EXPECT_EQ(pattern.size(), PathText::kCapacity);
  EXPECT_TRUE(pattern.ends_with("\\*.*"));
}

TEST_F(PatternRoomTest, PathWithoutRoomGivesNothing) {
  // Two bytes of room would make "\*", a pattern the store takes for the whole directory.
  for (std::size_t length : {PathText::kCapacity - 3, PathText::kCapacity - 2,
                             PathText::kCapacity - 1, PathText::kCapacity}) {
    SCOPED_TRACE(length);
    const std::string local = deepDirectory(length, static_cast<char>('a' + length % 20));
    PathText path(local);
    ASSERT_EQ(path.size(), length);
    EntryNameList names;
    EXPECT_EQ(enumerateDirectory(*files_, codec_, u"\\", path, names, false), 0u);
    EXPECT_TRUE(names.empty());
    EXPECT_LE(path.size(), PathText::kCapacity);
    EXPECT_EQ(path.c_str()[path.size()], '\0');
  }
}

}  // namespace
}  // namespace drovn::vfs
