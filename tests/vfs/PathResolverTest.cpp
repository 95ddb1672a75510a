#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "vfs/PathResolver.h"

namespace drovn::vfs {
namespace {

// A logged-in session's table maps "/" to the account root; extra mounts follow it.
MountTable table(std::string_view root, std::string_view name = "", std::string_view dir = "") {
  MountTable t;
  t.set(std::make_unique<PathText>("/"), std::make_unique<PathText>(root));
  if (!name.empty()) t.set(std::make_unique<PathText>(name), std::make_unique<PathText>(dir));
  return t;
}

struct Row {
  std::string root, current, argument;
  const char* local;  // nullptr: refused, in either client encoding unless utf8 says which
  const char* virtualPath = "";
  int utf8 = -1;  // -1: both encodings, else only this one
};

void expectResolves(const Row& r, const MountTable& t) {
  for (const bool utf8 : {false, true}) {
    if (r.utf8 >= 0 && utf8 != (r.utf8 == 1)) continue;
    SCOPED_TRACE("root [" + r.root + "] cwd [" + r.current + "] arg [" + r.argument + "] utf8 " +
                 std::to_string(utf8));
    const auto got = resolvePath(PathText(r.root), PathText(r.current), r.argument, t, utf8);
    ASSERT_EQ(got.has_value(), r.local != nullptr);
    if (!got) continue;
    EXPECT_EQ(got->local.view(), r.local);
    EXPECT_EQ(got->virtualPath.view(), r.virtualPath);
  }
}

TEST(ResolvePathTest, GivesTheLocalAndTheVirtualPathOrRefuses) {
  const Row rows[] = {
      // the virtual path collapses, the local one keeps its ".." for the file layer to check
      {"/Card", "/a/b", "../c", "/Card/a/b/../c", "/a/c"},
      {"/Card", "/x/a", "../../c", "/Card/x/a/../../c", "/c"},
      {"/", "/a/", "x", "/a/x", "/a/x"},
      {"/", "/a/b", "/c", "/c", "/c"},
      {"/", "/", "a//b/../..", "/a//b/../..", "/a/"},
      {"/", "/", "/./a/..", "/./a/..", "/./"},
      {"/", "/x/a/../../c/..", "  f \r\n", "/f", "/f"},
      {"/", "/", "\t", "/\t", "/\t"},
      {"/", "/a..b/../c", "x", "/a..b/../c/x", "/a..b/../c/x"},
      {"/", "/", "a..b", "/a..b", "/a..b"},
      {"/", "/", "...", "/...", "/..."},
      // the empty argument gives the current directory; the root goes in as it is written
      {"/", "/", "", "/", "/"},
      {"/Card/", "/docs", "", "/Card//docs", "/docs"},
      {"/", "/..", "", "", ""},
      // a root's one trailing '/' is dropped, a '\' is not and slash form doubles it
      {"/Card/", "/", "x", "/Card/x", "/x"},
      {"\\Card\\", "/", "x", "/Card//x", "/x"},
      {"\\Card", "/", "a\\..\\b", "/Card/a/../b", "/a\\..\\b"},
      // three leading slashes reach the "/" mount itself
      {"/Card", "/", "///x", "/Card/x", "///x"},
      // a code-page character whose trail byte is '\' or '/' hides a separator from the
      // file layer: "\x81/b/../.." climbs one level more there than it does in UTF-8
      {"/Card", "/", "\x81/b/../../s", "/Card/\x81/b/../../s", "/s", 1},
      {"/Card", "/", "\x81/b/../../s", nullptr, "", 0},
      {"/Card", "/", "\xD6\xD0\xCE\xC4/b/..", "/Card/\xD6\xD0\xCE\xC4/b/..", "/\xD6\xD0\xCE\xC4/"},
  };
  for (const Row& r : rows) expectResolves(r, table(r.root));
}

// Every way above the account root, against several ways of writing the root.
TEST(ResolvePathTest, PathsThatClimbAboveTheRootAreRefused) {
  const std::pair<const char*, const char*> escapes[] = {
      {"/", ".."}, {"/", "/../x"}, {"/", "a/../../b"}, {"/a", "../.."}, {"/", "/./.."},
      {"/a", "./../../x"}, {"/", "/a/./../../x"}, {"/a/b/..", "../.."},
      // backslashes separate in the local path only
      {"/", "\\..\\x"}, {"/", "..\\x"}, {"/", "a\\..\\..\\x"}, {"/", "/a/..\\..\\x"},
      {"/", "\\.\\..\\x"}, {"/./", "..\\x"}, {"/a..b/x/../..", "..\\x"},
      // a code-page-936 character whose trail byte is 0x5C, then ".."
      {"/", "\x81\\..\\..\\x"}, {"/", "\xD6\xD0\x95\\..\\..\\..\\x"}};
  for (const char* root : {"/", "\\Card", "/Card/"})
    for (const auto& [current, argument] : escapes)
      expectResolves({root, current, argument, nullptr}, table(root));
}

// A mount deeper than the root: the local walk alone would let ".." climb out of the mount's
// name and come back down, so the virtual depth rule has to refuse it.
TEST(ResolvePathTest, MountNamesMatchInAnyCaseAndCannotBeClimbedOutOf) {
  const MountTable t = table("/store", "/Docs", "/store/a/b");
  const Row rows[] = {
      {"/store", "/", "/dOcS/Read.Me", "/store/a/b/Read.Me", "/dOcS/Read.Me"},
      {"/store", "/", "/docs/../x", "/store/a/b/../x", "/x"},
      {"/store", "/", "/docsx/y", "/store/docsx/y", "/docsx/y"},
      {"/store", "/", "/docs/../../docs", nullptr},
      {"/store", "/docs", "x/../../../docs/x", nullptr},
  };
  for (const Row& r : rows) expectResolves(r, t);
}

// A path that does not fit is refused rather than cut: a cut path names another file.
TEST(ResolvePathTest, PathsUpTo2047BytesResolveAndLongerOnesAreRefused) {
  const auto n = [](std::size_t count) { return std::string(count, 'n'); };
  const Row rows[] = {
      {"/", "/", n(2046), ""},       {"/", "/", n(2047), nullptr},
      {"/", "/abc", n(2042), ""},    {"/", "/abc", n(2043), nullptr},
      {"/Card", "/", n(2041), ""},   {"/Card", "/", n(2042), nullptr},
      {"/Card", "/" + n(2041), "", ""}, {"/Card", "/" + n(2042), "", nullptr},
      {"/Card", "/", "///" + n(2041), ""}, {"/Card", "/", "///" + n(2042), nullptr},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE("root " + r.root + ", " + std::to_string(r.current.size()) + " + " +
                 std::to_string(r.argument.size()));
    const auto got = resolvePath(PathText(r.root), PathText(r.current), r.argument,
                                 table(r.root), false);
    ASSERT_EQ(got.has_value(), r.local != nullptr);
    if (got) {
      EXPECT_EQ(got->local.size(), PathText::kCapacity);
    }
  }
}

}  // namespace
}  // namespace drovn::vfs
