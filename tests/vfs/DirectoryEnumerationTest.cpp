// The names a directory listing starts from, over a real store directory and the real codec.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <unistd.h>

#include "platform/LinuxFileSystem.h"
#include "vfs/DirectoryEnumeration.h"

namespace drovn::vfs {
namespace {

namespace fs = std::filesystem;
using Names = std::vector<std::string>;

fs::path u8(std::string_view name) { return fs::path(std::u8string(name.begin(), name.end())); }

class DirectoryEnumerationTest : public testing::Test {
 protected:
  void SetUp() override {
    const auto* info = testing::UnitTest::GetInstance()->current_test_info();
    store_ = fs::temp_directory_path() / ("drovn-enum-" + std::to_string(getpid()) + info->name());
    fs::remove_all(store_);
    for (const char* dir : {"d/.d", "d/..x", "d/sub/inner", "d/中文", "other", "long"})
      fs::create_directories(store_ / u8(dir));
    for (const char* file : {"d/.hidden", "d/...", "d/.x..", "d/f", "d/中文.txt", "d/😀.txt",
                             "d/sub/in.txt", "d/中文/in.txt", "other/secret.txt"})
      std::ofstream(store_ / u8(file)) << "x";
    std::ofstream(store_ / "long" / std::string(255, 'n')) << "x";
    fs::create_directory_symlink("sub", store_ / "d" / "toSub");
    fs::create_symlink("nowhere", store_ / "d" / "dangling");
    fs::create_directory_symlink("../other", store_ / "d" / "outRel");
    fs::create_symlink("loopB", store_ / "d" / "loopA");
    fs::create_symlink("loopA", store_ / "d" / "loopB");
  }
  void TearDown() override { fs::remove_all(store_); }

  // What was appended after an entry the list already held, which must stay first.
  Names enumerate(std::string_view localPath, const char16_t* root, bool utf8,
                  std::string* pattern = nullptr) {
    platform::LinuxFileSystem files(store_.string());
    platform::LinuxTextCodec codec;
    PathText path(localPath);
    EntryNameList names{"kept"};
    const std::size_t count = enumerateDirectory(files, codec, root, path, names, utf8);
    EXPECT_EQ(count, names.size() - 1);
    EXPECT_EQ(names.front(), "kept");
    if (pattern != nullptr) *pattern = std::string(path.view());
    return Names(names.begin() + 1, names.end());
  }

  fs::path store_;
};

// Every entry but "." and "..": those that are not directories first, then the directories
// (a link counts as what it leads to), each group in the order the store reads them.
TEST_F(DirectoryEnumerationTest, FilesThenDirectoriesInTheStoresOrderAndTheClientEncoding) {
  Names files, directories;
  for (const fs::directory_entry& e : fs::directory_iterator(store_ / "d")) {
    const std::u8string name = e.path().filename().u8string();
    std::error_code ec;
    (fs::is_directory(e.path(), ec) ? directories : files).emplace_back(name.begin(), name.end());
  }
  files.insert(files.end(), directories.begin(), directories.end());
  ASSERT_EQ(files.size(), 15u);
  EXPECT_EQ(enumerate("/d", u"\\", true), files);
  for (std::string& name : files) {
    if (name.starts_with("中文")) name.replace(0, 6, "\xD6\xD0\xCE\xC4");
    if (name.starts_with("😀")) name.replace(0, 4, "?");
  }
  EXPECT_EQ(enumerate("/d", u"\\", false), files);
}

TEST_F(DirectoryEnumerationTest, AnyPathFormNamesTheDirectoryAndUnsearchableOnesGiveNothing) {
  const struct {
    const char* path;
    const char16_t* root;
    bool utf8;
    Names names;
  } rows[] = {
      {"/d/sub", u"\\", false, {"in.txt", "inner"}},
      {"\\d\\sub\\", u"\\", false, {"in.txt", "inner"}},
      {"//d/sub/", u"\\d", false, {"in.txt", "inner"}},
      {"/d/中文", u"\\", true, {"in.txt"}},
      {"/d/\xD6\xD0\xCE\xC4", u"\\", false, {"in.txt"}},
      {"/d/\xD6\xD0\xCE\xC4", u"\\", true, {}},
      {"/long", u"\\", false, {std::string(255, 'n')}},
      {"/d/missing", u"\\d", false, {}},
      {"/d/f", u"\\d", false, {}},
      {"/d/f/x", u"\\d", false, {}},
      {"/d/outRel", u"\\d", false, {}},
      {"/d/loopA", u"\\d", false, {}},
      {"/d/..", u"\\d", false, {}},
      {"/other", u"\\d", false, {}},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.path);
    std::string pattern;
    EXPECT_EQ(enumerate(r.path, r.root, r.utf8, &pattern), r.names);
    EXPECT_TRUE(r.names.empty() || pattern.ends_with("\\*.*")) << pattern;
  }
}

// The pattern needs 4 bytes after the path ("\*.*"): a longer path is refused rather than cut
// into another pattern ("\*" alone would still search the whole directory).
TEST_F(DirectoryEnumerationTest, APathLeavingNoRoomForThePatternGivesNothing) {
  for (std::size_t length = PathText::kCapacity - 4; length <= PathText::kCapacity; ++length) {
    SCOPED_TRACE(length);
    std::string local;
    while (local.size() < length)
      local += "/" + std::string(std::min<std::size_t>(200, length - local.size() - 1), 'a');
    fs::create_directories(store_ / local.substr(1));
    std::ofstream(store_ / local.substr(1) / "leaf.txt") << "x";
    std::string pattern;
    EXPECT_EQ(enumerate(local, u"\\", false, &pattern),
              length == PathText::kCapacity - 4 ? Names{"leaf.txt"} : Names{});
    EXPECT_TRUE(length > PathText::kCapacity - 4 || pattern.size() == PathText::kCapacity);
  }
}

}  // namespace
}  // namespace drovn::vfs
