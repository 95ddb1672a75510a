// The names a directory listing starts from, over a real store, and the client encodings.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "platform/LinuxFileSystem.h"
#include "support/Files.h"
#include "vfs/DirectoryEnumeration.h"
#include "vfs/Encoding.h"

namespace drovn::vfs {
namespace {

namespace fs = std::filesystem;
using Names = std::vector<std::string>;

fs::path u8(std::string_view name) { return fs::path(std::u8string(name.begin(), name.end())); }

TEST(DirectoryEnumerationTest, FilesThenDirectoriesInTheClientEncodingOrNothing) {
  const test::TempDir folder;
  const fs::path& store = folder.path;
  for (const char* dir : {"d/.d", "d/..x", "d/sub/inner", "d/中文", "other"})
    fs::create_directories(store / u8(dir));
  for (const char* file : {"d/.hidden", "d/...", "d/.x..", "d/f", "d/中文.txt", "d/😀.txt",
                           "d/sub/in.txt", "other/secret.txt"})
    std::ofstream(store / u8(file)) << "x";
  std::ofstream(store / u8("d/中文") / std::string(255, 'n')) << "x";  // the longest name
  fs::create_directory_symlink("sub", store / "d/toSub");
  fs::create_symlink("nowhere", store / "d/dangling");
  fs::create_directory_symlink("../other", store / "d/outRel");
  fs::create_symlink("loopB", store / "d/loopA");
  fs::create_symlink("loopA", store / "d/loopB");

  platform::LinuxFileSystem files(store.string());
  platform::LinuxTextCodec codec;
  const auto enumerate = [&](std::string_view local, const char16_t* root, bool utf8) {
    PathText path(local);
    EntryNameList names;
    const std::size_t count = enumerateDirectory(files, codec, root, path, names, utf8);
    EXPECT_EQ(count, names.size());
    return names;
  };

  // Every entry but "." and "..": those that are not directories first, then the directories
  // (a link counts as what it leads to), each group in the order the store reads them.
  Names expected, directories;
  for (const fs::directory_entry& e : fs::directory_iterator(store / "d")) {
    const std::u8string name = e.path().filename().u8string();
    std::error_code ec;
    Names& group = fs::is_directory(e.path(), ec) ? directories : expected;
    group.emplace_back(name.begin(), name.end());
  }
  expected.insert(expected.end(), directories.begin(), directories.end());
  EXPECT_EQ(enumerate("/d", u"\\", true), expected);
  for (std::string& name : expected) {
    if (name.starts_with("中文")) name.replace(0, 6, "\xD6\xD0\xCE\xC4");
    if (name.starts_with("😀")) name.replace(0, 4, "?");  // not in the code page
  }
  EXPECT_EQ(enumerate("/d", u"\\", false), expected);

  const struct {
    std::string path;
    const char16_t* root;
    bool utf8;
    Names names;
  } rows[] = {
      {"//d\\sub/", u"\\d", false, {"in.txt", "inner"}},
      {"/d/中文", u"\\", true, {std::string(255, 'n')}},
      {"/d/\xD6\xD0\xCE\xC4", u"\\", false, {std::string(255, 'n')}},
      // what cannot be searched, or lies outside the root, gives nothing
      {"/d/missing", u"\\d", false, {}},
      {"/d/f", u"\\d", false, {}},
      {"/d/outRel", u"\\d", false, {}},
      {"/d/loopA", u"\\d", false, {}},
  };
  for (const auto& r : rows) EXPECT_EQ(enumerate(r.path, r.root, r.utf8), r.names) << r.path;
}

// Broken input and characters with no client form; the names above cover the rest.
TEST(EncodingTest, InvalidInputAndMissingCharactersAreReplaced) {
  const struct {
    bool utf8, toWide;
    std::string client;
    std::u16string wide;
  } rows[] = {
      // invalid sequences become U+FFFD, never a separator they might hide
      {true, true, "a\x80z", u"a\uFFFDz"},
      {true, true, "\xE4\xB8/x", u"\uFFFD/x"},
      {false, true, "a\x81", u"a\uFFFD"},
      // what the code page lacks shows as '?', a lone surrogate as U+FFFD
      {false, false, "x?y", u"x\U0001F600y"},
      {true, false, "a\xEF\xBF\xBD" "b", std::u16string{u'a', char16_t(0xD800), u'b'}},
  };
  platform::LinuxTextCodec codec;
  FixedWide<kConvertLimit> wide(u"left over from before, longer than what comes next");
  FixedText<kConvertLimit> text("left over from before, longer than what comes next");
  for (const auto& r : rows) {
    if (r.toWide) {
      clientToWide(codec, r.utf8, wide, r.client.c_str());
      EXPECT_EQ(wide.view(), r.wide) << r.client;
    } else {
      wideToClient(codec, r.utf8, text, r.wide.c_str());
      EXPECT_EQ(text.view(), r.client) << r.utf8;
    }
  }
}

}  // namespace
}  // namespace drovn::vfs
