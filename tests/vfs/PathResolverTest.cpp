#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <tuple>
#include <utility>

#include "vfs/PathResolver.h"

namespace drovn::vfs {
namespace {

void mount(MountTable& table, std::string_view name, std::string_view directory) {
  table.set(std::make_unique<PathText>(name), std::make_unique<PathText>(directory));
}

// A logged-in session's table: "/" mapped to the account root.
MountTable rootTable(std::string_view root) {
  MountTable table;
  mount(table, "/", root);
  return table;
}

struct Resolved {
  bool ok;
  std::string local;
  std::string virtualPath;
};

Resolved resolve(std::string_view root, std::string_view current, std::string_view argument,
                 const MountTable& table, bool utf8 = false) {
  const auto r = resolvePath(PathText(root), PathText(current), argument, table, utf8);
  if (!r) return Resolved{false, "", ""};
  return Resolved{true, std::string(r->local.view()), std::string(r->virtualPath.view())};
}

Resolved resolve(std::string_view root, std::string_view current, std::string_view argument,
                 bool utf8 = false) {
  return resolve(root, current, argument, rootTable(root), utf8);
}

struct ResolveCase {
  const char* root;
  const char* current;
  const char* argument;
  bool ok;
  const char* local;
  const char* virtualPath;
};

void PrintTo(const ResolveCase& c, std::ostream* os) {
  *os << "root \"" << c.root << "\", current \"" << c.current << "\", argument \"" << c.argument
      << "\"";
}

class ResolvePathTest : public testing::TestWithParam<ResolveCase> {};

TEST_P(ResolvePathTest, GivesTheLocalAndTheVirtualPath) {
  const ResolveCase& c = GetParam();
  const Resolved r = resolve(c.root, c.current, c.argument);
  EXPECT_EQ(r.ok, c.ok);
  EXPECT_EQ(r.local, c.local);
  EXPECT_EQ(r.virtualPath, c.virtualPath);
}

INSTANTIATE_TEST_SUITE_P(
    EdgeCases, ResolvePathTest,
    testing::Values(
        // ".." at the root climbs above it
        ResolveCase{"/", "/", "..", false, "", ""},
        // the virtual path collapses, the local one keeps its ".."
        ResolveCase{"/Card", "/a/b", "../c", true, "/Card/a/b/../c", "/a/c"},
        ResolveCase{"/", "/a/b", "../c", true, "/a/b/../c", "/a/c"},
        // one separator between the directory and the argument, never two
        ResolveCase{"/", "/", "x", true, "/x", "/x"},
        ResolveCase{"/", "/a", "x", true, "/a/x", "/a/x"},
        ResolveCase{"/", "/a/", "x", true, "/a/x", "/a/x"},
        // an absolute argument replaces the current directory
        ResolveCase{"/", "/a/b", "/c", true, "/c", "/c"},
        // a doubled slash is one level to the depth rule but stays in both outputs
        ResolveCase{"/", "/", "a//b", true, "/a//b", "/a//b"},
        ResolveCase{"/", "/", "a//b/../..", true, "/a//b/../..", "/a/"},
        // the empty argument: "/" + "/" folds to "/"
        ResolveCase{"/", "/", "", true, "/", "/"},
        ResolveCase{"/Card", "/docs", "", true, "/Card/docs", "/docs"},
        // the empty argument takes the root unchanged, trailing '/' included
        ResolveCase{"/Card/", "/", "", true, "/Card/", "/"},
        ResolveCase{"/Card/", "/docs", "", true, "/Card//docs", "/docs"},
        // a root's one trailing '/' is dropped; a trailing '\' is not, and slash form doubles it
        ResolveCase{"/Card/", "/", "x", true, "/Card/x", "/x"},
        ResolveCase{"/Card//", "/", "x", true, "/Card//x", "/x"},
        ResolveCase{"\\Card\\", "/", "x", true, "/Card//x", "/x"},
        ResolveCase{"\\Card", "/", "docs/a.txt", true, "/Card/docs/a.txt", "/docs/a.txt"},
        ResolveCase{"/", "/", "/docs/a.txt", true, "/docs/a.txt", "/docs/a.txt"},
        // the first ".." of the directory is part of a name, so nothing is collapsed
        ResolveCase{"/", "/a..b/../c", "", true, "/a..b/../c", "/a..b/../c"},
        ResolveCase{"/", "/a..b/../c", "x", true, "/a..b/../c/x", "/a..b/../c/x"},
        // "." is a level to the depth rule and stays in the local path
        ResolveCase{"/", "/", "./x", true, "/./x", "/./x"},
        ResolveCase{"/", "/", "/./a/..", true, "/./a/..", "/./"},
        // ".." that stays inside the root keeps working
        ResolveCase{"/Card", "/", "/a/b/../c", true, "/Card/a/b/../c", "/a/c"},
        ResolveCase{"/Card", "/a", "..", true, "/Card/a/..", "/"},
        ResolveCase{"/Card", "/x/a", "../../c", true, "/Card/x/a/../../c", "/c"},
        // three leading slashes reach the "/" mount itself: its directory, then the rest
        ResolveCase{"/Card", "/", "///x", true, "/Card/x", "///x"},
        ResolveCase{"/Card/", "/", "///x", true, "/Card//x", "///x"},
        // blanks at the ends of the argument go; a tab-only argument stays a name
        ResolveCase{"/", "/", " \tx y\r\n", true, "/x y", "/x y"},
        ResolveCase{"/", "/", "\t", true, "/\t", "/\t"},
        // a current directory that ends in ".." is normalised first
        ResolveCase{"/", "/a/b/..", "x", true, "/a/x", "/a/x"}));

TEST(ResolvePathTest, NormalisesTheCurrentDirectoryAndTrimsTheArgument) {
  const Resolved r = resolve("/", "/x/a/../../c/..", "  f  ");
  EXPECT_TRUE(r.ok);
  EXPECT_EQ(r.virtualPath, "/f");
  EXPECT_FALSE(resolve("/", "/a/b/..", "../..").ok);
}

TEST(ResolvePathTest, BeforeLoginNothingIsMountedAndThePrefixStillApplies) {
  const Resolved r = resolve("/Card", "/", "x", MountTable());
  EXPECT_TRUE(r.ok);
  EXPECT_EQ(r.local, "/Card/x");
}

TEST(ResolvePathTest, AnEmptyCurrentDirectoryMapsToNothing) {
  // "/.." collapses to the empty text; mapping it fails and the local path stays empty.
  const Resolved r = resolve("/", "/..", "");
  EXPECT_TRUE(r.ok);
  EXPECT_EQ(r.local, "");
  EXPECT_EQ(r.virtualPath, "");
}

TEST(ResolvePathTest, MountNamesMatchInAnyLetterCase) {
  MountTable table = rootTable("/store");
  mount(table, "/Docs", "/store/documents");
  // The name is matched in any letter case; the rest of the path passes unchanged.
  const Resolved r = resolve("/store", "/", "/dOcS/Read.Me", table);
  EXPECT_TRUE(r.ok);
  EXPECT_EQ(r.virtualPath, "/dOcS/Read.Me");
  EXPECT_EQ(r.local, "/store/documents/Read.Me");
}

// Every way out of the account root, each against several ways of writing the root.
class ConfinementTest
    : public testing::TestWithParam<std::tuple<const char*, std::pair<const char*, const char*>>> {
};

TEST_P(ConfinementTest, EscapingPathsAreRefusedLikeAPathAboveTheRoot) {
  const char* root = std::get<0>(GetParam());
  const auto [current, argument] = std::get<1>(GetParam());
  for (bool utf8 : {false, true}) {
    const Resolved r = resolve(root, current, argument, utf8);
    EXPECT_FALSE(r.ok) << "utf8=" << utf8;
  }
}

// In a code-page session the file layer gets the path in backslash form and converts a lead
// byte and the separator after it as one character, so the path has one separator fewer there.
TEST(CodePageConfinementTest, ASeparatorThatBecomesATrailByteCannotHideAClimb) {
  const Resolved codePage = resolve("/Card", "/", "\x81/b/../../secret", false);
  EXPECT_FALSE(codePage.ok);
  EXPECT_EQ(codePage.local, "");
  // In UTF-8 the lone 0x81 is no character and the '/' stays a separator: the path stays inside.
  const Resolved utf8 = resolve("/Card", "/", "\x81/b/../../secret", true);
  EXPECT_TRUE(utf8.ok);
  EXPECT_EQ(utf8.local, "/Card/\x81/b/../../secret");
}

INSTANTIATE_TEST_SUITE_P(
    Forms, ConfinementTest,
    testing::Combine(
        testing::Values("/", "\\Card", "/Card/"),
        testing::Values(std::pair{"/", ".."}, std::pair{"/", "../x"}, std::pair{"/a", "../.."},
                        // "." counts as a level to the virtual depth rule only
                        std::pair{"/", "/./.."}, std::pair{"/", "/./../x"},
                        std::pair{"/", "./../x"}, std::pair{"/a", "./../../x"},
                        std::pair{"/", "/a/./../../x"},
                        // backslashes separate in the local path
                        std::pair{"/", "\\..\\x"}, std::pair{"/", "..\\x"},
                        std::pair{"/", "a\\..\\..\\x"}, std::pair{"/a", "..\\..\\x"},
                        std::pair{"/", "/a/..\\..\\x"}, std::pair{"/", "\\.\\..\\x"},
                        // a code-page-936 character whose trail byte is 0x5C, then ".."
                        std::pair{"/", "\x81\\..\\..\\x"},
                        std::pair{"/", "\xD6\xD0\x95\\..\\..\\..\\x"},
                        // the current directory may hold a "." the depth rule let through
                        std::pair{"/./", "..\\x"}, std::pair{"/.", "../x"},
                        // an uncollapsed current directory walked back past the root
                        std::pair{"/a..b/x/../..", "..\\x"})));

class InsideRootTest
    : public testing::TestWithParam<std::tuple<const char*, std::pair<const char*, const char*>>> {
};

TEST_P(InsideRootTest, DotsThatStayInsideTheRootKeepWorking) {
  const char* root = std::get<0>(GetParam());
  const auto [current, argument] = std::get<1>(GetParam());
  for (bool utf8 : {false, true}) {
    const Resolved r = resolve(root, current, argument, utf8);
    EXPECT_TRUE(r.ok) << "utf8=" << utf8;
    EXPECT_FALSE(r.local.empty());
  }
}

INSTANTIATE_TEST_SUITE_P(
    Forms, InsideRootTest,
    testing::Combine(testing::Values("/", "\\Card", "/Card/"),
                     testing::Values(std::pair{"/", "/a/b/../c"}, std::pair{"/a", ".."},
                                     std::pair{"/a/b", "../../x"}, std::pair{"/", "./x"},
                                     std::pair{"/", "a\\..\\b"}, std::pair{"/a", "..\\b"},
                                     std::pair{"/", "\\x"}, std::pair{"/", "x\\.."},
                                     std::pair{"/", "\x81\\.."}, std::pair{"/", "a..b"},
                                     std::pair{"/", "..."}, std::pair{"/", "/"}, std::pair{"/", ""},
                                     std::pair{"/a..b/x/../..", ""},
                                     std::pair{"/", "\xD6\xD0\xCE\xC4/b/.."})));

TEST(BoundedPathTest, ACombinedPathOf2047BytesIsAcceptedAnd2048Refused) {
  const std::string name2046(2046, 'n');
  Resolved r = resolve("/", "/", name2046);  // "/" + 2046
  EXPECT_TRUE(r.ok);
  EXPECT_EQ(r.virtualPath, "/" + name2046);
  EXPECT_EQ(r.local, "/" + name2046);

  r = resolve("/", "/", std::string(2047, 'n'));  // "/" + 2047 = 2048
  EXPECT_FALSE(r.ok);
  EXPECT_EQ(r.local, "");

  r = resolve("/", "/abc", std::string(2043, 'n'));  // "/abc" + "/" + 2043 = 2048
  EXPECT_FALSE(r.ok);

  r = resolve("/", "/abc", std::string(2042, 'n'));  // 2047
  EXPECT_TRUE(r.ok);
  EXPECT_EQ(r.virtualPath.size(), 2047u);
}

TEST(BoundedPathTest, AMappedPathOf2047BytesIsAcceptedAnd2048Refused) {
  // "/Card" + "/" + name
  Resolved r = resolve("/Card", "/", std::string(2041, 'n'));
  EXPECT_TRUE(r.ok);
  EXPECT_EQ(r.local, "/Card/" + std::string(2041, 'n'));

  r = resolve("/Card", "/", std::string(2042, 'n'));
  EXPECT_FALSE(r.ok);
  EXPECT_EQ(r.local, "");

  // the empty argument maps root + current directory
  const std::string dir2042 = "/" + std::string(2041, 'd');
  r = resolve("/Card", dir2042, "");
  EXPECT_TRUE(r.ok);
  EXPECT_EQ(r.local, "/Card" + dir2042);
  const std::string dir2043 = "/" + std::string(2042, 'd');
  r = resolve("/Card", dir2043, "");
  EXPECT_FALSE(r.ok);
  EXPECT_EQ(r.local, "");

  // through the "/" mount: its directory "/Card", then "/" + name from "///" + name
  r = resolve("/Card", "/", "///" + std::string(2041, 'n'));
  EXPECT_TRUE(r.ok);
  EXPECT_EQ(r.local, "/Card/" + std::string(2041, 'n'));
  r = resolve("/Card", "/", "///" + std::string(2042, 'n'));
  EXPECT_FALSE(r.ok);
}

struct MapCase {
  const char* path;
  const char* prefix;
  bool ok;
  const char* local;
};

class MapToLocalTest : public testing::TestWithParam<MapCase> {};

TEST_P(MapToLocalTest, MountsFirstThenThePrefix) {
  MountTable table;
  mount(table, "/", "/root");
  mount(table, "/docs", "C:\\Docs");
  mount(table, "/DOCS", "/second");
  PathText path(GetParam().path);
  EXPECT_EQ(mapToLocal(path, GetParam().prefix, table), GetParam().ok);
  EXPECT_EQ(path.view(), GetParam().local);
}

INSTANTIATE_TEST_SUITE_P(
    Paths, MapToLocalTest,
    testing::Values(MapCase{"", "/p", false, ""},
                    // no mount name is followed by '/': prefix + path in slash form
                    MapCase{"/x", "/p", true, "/p/x"}, MapCase{"\\x\\y\\", "/p", true, "/p/x/y"},
                    MapCase{"/", "", true, "/"}, MapCase{"/", "/p", true, "/p"},
                    MapCase{"/docs", "/p", true, "/p/docs"},
                    MapCase{"/docsx/a", "/p", true, "/p/docsx/a"}, MapCase{"x", "\\p", true, "/px"},
                    // first match in insertion order, any letter case; the result is taken
                    // as it is, not put in slash form
                    MapCase{"/Docs/a", "/p", true, "C:\\Docs/a"},
                    // slash form drops the trailing '/' first, so no mount name is followed by one
                    MapCase{"/DOCS/", "/p", true, "/p/DOCS"},
                    MapCase{"\\docs\\a", "/p", true, "C:\\Docs/a"},
                    MapCase{"///x", "/p", true, "/root/x"}, MapCase{"//", "/p", true, "/p"}));

TEST(MapToLocalTest, AMappingLongerThan2047BytesEmptiesThePath) {
  MountTable table;
  PathText path("/" + std::string(2046, 'x'));
  EXPECT_TRUE(mapToLocal(path, "", table));
  EXPECT_EQ(path.size(), 2047u);
  path.assign("/" + std::string(2046, 'x'));
  EXPECT_FALSE(mapToLocal(path, "p", table));
  EXPECT_TRUE(path.empty());

  mount(table, "/", std::string(2040, 'm'));
  path.assign("///" + std::string(6, 'x'));
  EXPECT_TRUE(mapToLocal(path, "", table));
  EXPECT_EQ(path.size(), 2047u);
  path.assign("///" + std::string(7, 'x'));
  EXPECT_FALSE(mapToLocal(path, "", table));
  EXPECT_TRUE(path.empty());
}

struct CollapseCase {
  const char* path;
  int changes;  // calls that give true before the first false
  const char* result;
};

class CollapseDotDotTest : public testing::TestWithParam<CollapseCase> {};

TEST_P(CollapseDotDotTest, RemovesTheFirstDotDotWithItsParent) {
  PathText path(GetParam().path);
  int changes = 0;
  while (changes < 100 && collapseDotDot(path)) ++changes;
  EXPECT_EQ(changes, GetParam().changes);
  EXPECT_EQ(path.view(), GetParam().result);
}

INSTANTIATE_TEST_SUITE_P(
    Paths, CollapseDotDotTest,
    testing::Values(CollapseCase{"", 0, ""}, CollapseCase{"/", 0, "/"},
                    CollapseCase{"/a/b/..", 1, "/a/"}, CollapseCase{"/a/../b", 1, "/b"},
                    CollapseCase{"/x/a/../../c", 2, "/c"}, CollapseCase{"/a/b/../../c", 2, "/c"},
                    CollapseCase{"/a/..", 1, "/"}, CollapseCase{"/./..", 1, "/"},
                    // nothing before the parent's '/': the front goes too
                    CollapseCase{"/..", 1, ""}, CollapseCase{"/../x", 1, "x"},
                    CollapseCase{"a/..", 1, ""}, CollapseCase{"x/../y", 1, "y"},
                    // ".." at the very start, or not a whole component: unchanged
                    CollapseCase{"..", 0, ".."}, CollapseCase{"../a", 0, "../a"},
                    CollapseCase{"/a..b/../c", 0, "/a..b/../c"},
                    CollapseCase{"/a/..b", 0, "/a/..b"}, CollapseCase{"/.../x", 0, "/.../x"},
                    CollapseCase{"/a/b../..", 0, "/a/b../.."},
                    // a real ".." first, then the name with dots stops the repetition
                    CollapseCase{"/a/../b..c/../d", 1, "/b..c/../d"},
                    // only '/' separates here
                    CollapseCase{"\\a\\..\\b", 0, "\\a\\..\\b"},
                    CollapseCase{"/a\\b/../c", 1, "/c"}, CollapseCase{"//..", 1, "/"}));

struct FormCase {
  const char* path;
  const char* result;
};

class SlashFormTest : public testing::TestWithParam<FormCase> {};

TEST_P(SlashFormTest, BackslashesBecomeSlashesAndOneSlashGoesAtEachEnd) {
  PathText path(GetParam().path);
  toSlashForm(path);
  EXPECT_EQ(path.view(), GetParam().result);
}

INSTANTIATE_TEST_SUITE_P(
    Paths, SlashFormTest,
    testing::Values(FormCase{"", ""}, FormCase{"/", "/"}, FormCase{"\\", "/"}, FormCase{"//", "/"},
                    FormCase{"///", "/"}, FormCase{"a\\b\\", "a/b"}, FormCase{"///x", "//x"},
                    FormCase{"//x//", "/x/"}, FormCase{"/a/", "/a"}, FormCase{"a", "a"},
                    FormCase{"\\\\server\\share", "/server/share"},
                    FormCase{"C:\\Docs\\", "C:/Docs"}, FormCase{"/a//b", "/a//b"}));

class BackslashFormTest : public testing::TestWithParam<FormCase> {};

TEST_P(BackslashFormTest, SlashesBecomeBackslashesAndOneLeadingOneOfTwoGoes) {
  PathText path(GetParam().path);
  toBackslashForm(path);
  EXPECT_EQ(path.view(), GetParam().result);
}

INSTANTIATE_TEST_SUITE_P(Paths, BackslashFormTest,
                         testing::Values(FormCase{"", ""}, FormCase{"/", "\\"},
                                         FormCase{"//", "\\"}, FormCase{"/a/b", "\\a\\b"},
                                         FormCase{"//x", "\\x"}, FormCase{"///x", "\\\\x"},
                                         FormCase{"/a/", "\\a\\"}, FormCase{"/a//", "\\a\\\\"},
                                         FormCase{"\\\\x", "\\x"}, FormCase{"/*.*", "\\*.*"},
                                         FormCase{"a", "a"}));

struct FindCase {
  const char* needle;
  const char* text;
  int index;
};

class FindSubstringTest : public testing::TestWithParam<FindCase> {};

TEST_P(FindSubstringTest, FirstByteExactOccurrence) {
  EXPECT_EQ(findSubstring(GetParam().needle, GetParam().text), GetParam().index);
}

INSTANTIATE_TEST_SUITE_P(
    Texts, FindSubstringTest,
    testing::Values(FindCase{"..", "/a/..", 3}, FindCase{"..", "...", 0},
                    FindCase{"..", "/a.b/.", -1}, FindCase{"b", "abcb", 1},
                    FindCase{"abc", "ab", -1}, FindCase{"ab", "ab", 0}, FindCase{"bc", "abc", 1},
                    FindCase{"cd", "abc", -1}, FindCase{"A", "a", -1},
                    // an empty needle matches at the first position, which an empty text lacks
                    FindCase{"", "abc", 0}, FindCase{"", "", -1}, FindCase{"a", "", -1}));

struct AffixCase {
  const char* text;
  const char* affix;
  bool starts;
  bool ends;
};

class AffixTest : public testing::TestWithParam<AffixCase> {};

TEST_P(AffixTest, ByteExactPrefixAndSuffix) {
  EXPECT_EQ(startsWith(GetParam().text, GetParam().affix), GetParam().starts);
  EXPECT_EQ(endsWith(GetParam().text, GetParam().affix), GetParam().ends);
}

INSTANTIATE_TEST_SUITE_P(
    Texts, AffixTest,
    testing::Values(AffixCase{"", "", true, true}, AffixCase{"abc", "", true, true},
                    AffixCase{"/a/", "/", true, true}, AffixCase{"/a", "/", true, false},
                    AffixCase{"a/", "/", false, true}, AffixCase{"abc", "ab", true, false},
                    AffixCase{"abc", "bc", false, true}, AffixCase{"ab", "abc", false, false},
                    AffixCase{"Abc", "abc", false, false}, AffixCase{"aba", "a", true, true}));

struct PrefixCase {
  const char* root;
  const char* prefix;
};

class RootPrefixTest : public testing::TestWithParam<PrefixCase> {};

TEST_P(RootPrefixTest, DropsOneTrailingSlashOnly) {
  EXPECT_EQ(rootPrefix(PathText(GetParam().root)).view(), GetParam().prefix);
}

INSTANTIATE_TEST_SUITE_P(Roots, RootPrefixTest,
                         testing::Values(PrefixCase{"", ""}, PrefixCase{"/", ""},
                                         PrefixCase{"//", "/"}, PrefixCase{"/Card", "/Card"},
                                         PrefixCase{"/Card/", "/Card"},
                                         PrefixCase{"\\Card\\", "\\Card\\"},
                                         PrefixCase{"\\", "\\"}));

struct BeneathCase {
  const char* local;
  const char* root;
  bool beneath;
};

class StaysBeneathRootTest : public testing::TestWithParam<BeneathCase> {};

TEST_P(StaysBeneathRootTest, ComponentsStartWithTheRootsAndNeverClimbAboveIt) {
  for (bool utf8 : {false, true})
    EXPECT_EQ(staysBeneathRoot(GetParam().local, GetParam().root, utf8), GetParam().beneath);
}

INSTANTIATE_TEST_SUITE_P(
    Paths, StaysBeneathRootTest,
    testing::Values(
        BeneathCase{"/", "/", true}, BeneathCase{"/x", "/", true}, BeneathCase{"/..", "/", false},
        BeneathCase{"/./..", "/", false}, BeneathCase{"/a/../..", "/", false},
        BeneathCase{"/a/../b", "/", true}, BeneathCase{"/Card", "/Card", true},
        BeneathCase{"/Card/x", "\\Card\\", true}, BeneathCase{"/Card//x", "\\Card", true},
        BeneathCase{"/Cardx", "/Card", false}, BeneathCase{"/Car", "/Card", false},
        BeneathCase{"/", "/Card", false}, BeneathCase{"/Card/x/../..", "/Card", false},
        // climbing out and back in is still a climb out
        BeneathCase{"/Card/../Card/x", "/Card", false}, BeneathCase{"/Card\\..\\x", "/Card", false},
        BeneathCase{"/Card/a\\b/../..", "/Card", true},
        BeneathCase{"/Card/a\\b/../../..", "/Card", false},
        // names are compared byte for byte: the local file system decides case
        BeneathCase{"/card/x", "/Card", false},
        // "." in the root or the path moves nothing; a ".." in the root is part of
        // its text, which the local path repeats
        BeneathCase{"/Card/./x", "/Card/.", true}, BeneathCase{"/a/../b/x", "/a/../b", true},
        BeneathCase{"/a/../b/..", "/a/../b", false},
        BeneathCase{"C:/Storage/x", "C:\\Storage", true}));

TEST(MountTableTest, KeepsInsertionOrderAndEmptiesOnClear) {
  MountTable table;
  EXPECT_TRUE(table.empty());
  mount(table, "/", "/first");
  mount(table, "/", "/second");
  ASSERT_EQ(table.entries().size(), 2u);
  EXPECT_EQ(table.entries()[0].directory->view(), "/first");
  PathText path("///x");
  EXPECT_TRUE(mapToLocal(path, "", table));
  EXPECT_EQ(path.view(), "/first/x");
  table.clear();
  EXPECT_TRUE(table.empty());
  mount(table, "/", "/again");
  EXPECT_EQ(table.entries().size(), 1u);
}

}  // namespace
}  // namespace drovn::vfs
