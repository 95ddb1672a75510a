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
                           "d/abcdefghijkl中", "d/sub/in.txt", "other/secret.txt"})
    std::ofstream(store / u8(file)) << "x";
  std::ofstream(store / u8("d/中文") / std::string(255, 'n')) << "x";  // the longest name
  fs::create_directory_symlink("sub", store / "d/toSub");
  fs::create_symlink("nowhere", store / "d/dangling");
  fs::create_directory_symlink("../other", store / "d/outRel");
  fs::create_symlink("loopB", store / "d/loopA");
  fs::create_symlink("loopA", store / "d/loopB");

  platform::LinuxFileSystem files(store.string());
  platform::LinuxTextCodec codec;
  const auto enumerate = [&](std::string_view dir, std::string_view root, bool utf8) {
    EntryNameList names;
    const std::size_t count = enumerateDirectory(files, codec, root, dir, names, utf8);
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
  EXPECT_EQ(enumerate("/d", "", true), expected);
  for (std::string& name : expected) {
    if (name.starts_with("中文")) name.replace(0, 6, "\xD6\xD0\xCE\xC4");
    if (name.starts_with("😀")) name.replace(0, 4, "?");  // not in the code page
    if (name.ends_with("中")) name.replace(name.size() - 3, 3, "\xD6\xD0");  // in the last 8
  }
  EXPECT_EQ(enumerate("/d", "/", false), expected);

  const struct {
    std::string path;
    const char* root;
    bool utf8;
    Names names;
  } rows[] = {
      {"//d//sub/", "/d", false, {"in.txt", "inner"}},
      {"/d/中文", "", true, {std::string(255, 'n')}},
      {"d/中文", "/", false, {std::string(255, 'n')}},
      // what cannot be searched, or lies outside the root, gives nothing
      {"/d/missing", "/d", false, {}},
      {"/d/f", "/d", false, {}},
      {"/d/outRel", "/d", false, {}},
      {"/d/loopA", "/d", false, {}},
      {"/other", "/d", true, {}},
  };
  for (const auto& r : rows) EXPECT_EQ(enumerate(r.path, r.root, r.utf8), r.names) << r.path;
}

// Broken input and characters with no client form; the names above cover the rest.
TEST(EncodingTest, InvalidInputAndMissingCharactersAreReplaced) {
  const struct {
    bool utf8, toStore;
    std::string client, store;
  } rows[] = {
      // invalid sequences become U+FFFD, never a separator they might hide
      {true, true, "a\x80z", "a\uFFFDz"},
      {true, true, "\xE4\xB8/x", "\uFFFD/x"},
      {false, true, "a\x81", "a\uFFFD"},
      {false, true, "\x95\x5C", "\u661E"},  // a trail byte that is '\\' stays in its character
      // what the code page lacks shows as '?', a name that is no UTF-8 as U+FFFD
      {false, false, "x?y", "x\U0001F600y"},
      {true, false, "a\uFFFD" "b", "a\xFF" "b"},
  };
  platform::LinuxTextCodec codec;
  std::string store = "left over from before, longer than what comes next";
  PathText client("left over from before, longer than what comes next");
  for (const auto& r : rows) {
    if (r.toStore) {
      clientToUtf8(codec, r.utf8, r.client, store);
      EXPECT_EQ(store, r.store) << r.client;
    } else {
      utf8ToClient(codec, r.utf8, r.store, client);
      EXPECT_EQ(client.view(), r.client) << r.utf8;
    }
  }
}

}  // namespace
}  // namespace drovn::vfs
