// Login rules, path resolution, and the splitting that command lines go through first.
#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "vfs/Login.h"
#include "vfs/PathResolver.h"
#include "vfs/Tokens.h"

namespace drovn::vfs {
namespace {

struct Row {
  std::string root, current, argument;
  std::optional<std::string> local;  // nothing: refused
  std::string virtualPath = {};
  int utf8 = -1;  // -1: in both client encodings, else only in this one
};

// A logged-in session's table maps "/" to the account root; a mount deeper than the root
// follows, which the local walk alone would let ".." climb out of by its name and come back.
void expectResolves(const Row& r) {
  MountTable t;
  t.set(std::make_unique<PathText>("/"), std::make_unique<PathText>(r.root));
  t.set(std::make_unique<PathText>("/Docs"), std::make_unique<PathText>("/store/a/b"));
  for (const bool utf8 : {false, true}) {
    if (r.utf8 >= 0 && utf8 != (r.utf8 == 1)) continue;
    SCOPED_TRACE(r.root + " | " + r.current + " | " + r.argument + (utf8 ? " | utf8" : ""));
    const auto got = resolvePath(PathText(r.root), PathText(r.current), r.argument, t, utf8);
    ASSERT_EQ(got.has_value(), r.local.has_value());
    if (!got) continue;
    EXPECT_EQ(got->local.view(), *r.local);
    EXPECT_EQ(got->virtualPath.view(), r.virtualPath);
  }
}

TEST(ResolvePathTest, GivesTheLocalAndTheVirtualPathOrRefuses) {
  const std::string n2041(2041, 'n'), n2042(2042, 'n');
  const Row rows[] = {
      // the virtual path collapses, the local one keeps its ".." for the file layer to check
      {"/Card", "/x/a", "../../c", "/Card/x/a/../../c", "/c"},
      {"/", "/a/", "x", "/a/x", "/a/x"},
      {"/", "/", "a//b/../..", "/a//b/../..", "/a/"},
      {"/", "/x/a/../../c/..", "  f \r\n", "/f", "/f"},
      // the empty argument gives the current directory; the root goes in as it is written
      {"/Card/", "/docs", "", "/Card//docs", "/docs"},
      // a root's trailing '\' stays, and slash form doubles it
      {"\\Card\\", "/", "a\\..\\b", "/Card//a/../b", "/a\\..\\b"},
      // a code-page character whose trail byte is '/' hides a separator from the file layer
      {"/Card", "/", "\x81/b/../../s", "/Card/\x81/b/../../s", "/s", 1},
      {"/Card", "/", "\x81/b/../../s", std::nullopt, "", 0},
      {"/", "/", "\xD6\xD0\xCE\xC4/b/..", "/\xD6\xD0\xCE\xC4/b/..", "/\xD6\xD0\xCE\xC4/"},
      // a path that does not fit is refused rather than cut: a cut path names another file;
      // three leading slashes reach the "/" mount itself
      {"/", "/abcd", n2041, "/abcd/" + n2041, "/abcd/" + n2041},
      {"/", "/abcd", n2042, std::nullopt},
      {"/Card", "/", "///" + n2041, "/Card/" + n2041, "///" + n2041},
      {"/Card", "/", n2042, std::nullopt},
      {"/Card", "/" + n2042, "", std::nullopt},
      // mount names match in any letter case; ".." may not climb out of one and come back
      {"/store", "/", "/dOcS/Read.Me", "/store/a/b/Read.Me", "/dOcS/Read.Me"},
      {"/store", "/", "/docs/../x", "/store/a/b/../x", "/x"},
      {"/store", "/", "/docs/../../docs", std::nullopt},
      {"/store", "/docs", "x/../../../docs/x", std::nullopt},
  };
  for (const Row& r : rows) expectResolves(r);
}

// Every way above the account root, against several ways of writing the root.
TEST(ResolvePathTest, PathsThatClimbAboveTheRootAreRefused) {
  const std::pair<const char*, const char*> escapes[] = {
      {"/", ".."}, {"/", "/../x"}, {"/", "a/../../b"}, {"/a", "./../../x"}, {"/a/b/..", "../.."},
      // backslashes separate in the local path only
      {"/", "\\..\\x"}, {"/", "a\\..\\..\\x"}, {"/", "/a/..\\..\\x"}, {"/./", "..\\x"},
      {"/a..b/x/../..", "..\\x"},
      // a code-page-936 character whose trail byte is 0x5C, then ".."
      {"/", "\x81\\..\\..\\x"}, {"/", "\xD6\xD0\x95\\..\\..\\..\\x"}};
  for (const char* root : {"/", "\\Card", "/Card/"})
    for (const auto& [current, argument] : escapes)
      expectResolves({root, current, argument, std::nullopt});
}

// Words are runs of bytes other than the separator; a tab or CR is part of a word.
TEST(TokensTest, CommandLinesSplitIntoWordsAtEveryRunOfTheSeparator) {
  const std::pair<std::string, std::vector<std::string>> rows[] = {
      {"   ", {}}, {"  RNFR  a   b\r\n", {"RNFR", "a", "b\r\n"}},
      {"CWD\tdocs", {"CWD\tdocs"}}, {"\v x \xA0", {"\v", "x", "\xA0"}},
  };
  for (const auto& [text, tokens] : rows) {
    TokenList list;
    list.append("left over from the last line");
    EXPECT_EQ(splitTokens(text, ' ', list), tokens.size()) << text;
    ASSERT_EQ(list.size(), tokens.size());
    for (std::size_t i = 0; i < list.size(); ++i) EXPECT_EQ(list[i].view(), tokens[i]);
  }
}

TEST(LoginTest, TheNameSelectsTheAccountAndItsRulesDecide) {
  const char* name2 = "\xD5\xC5\xC8\xFD";
  const struct {
    const char *user, *password;
    bool enable1, enable2, anonymous, accepted;
    const char* root;   // the root fixed at login
    const char* mount;  // the directory mounted as "/"
    const char* user2 = "\xD5\xC5\xC8\xFD";  // a code-page account name
  } rows[] = {
      // names and passwords match in any ASCII letter case, nothing else folds
      {"AdMIN", "sECRET1", true, true, true, true, "/Card", "/Card"},
      {name2, "P\xC4", true, true, true, true, "\\Storage", "\\Storage"},
      {name2, "p\xE4", true, true, true, false, "\\Storage", "\\Storage"},
      {"\xF5\xE5\xE8\xDD", "P\xC4", true, true, false, false, "/pub", "/pub"},
      // a switched-off account is refused, and its name never falls to the anonymous account
      {"admin", "Secret1", false, true, true, false, "/Card", "/Card"},
      {name2, "p\xC4", true, false, true, false, "\\Storage", "\\Storage"},
      // any other name is the anonymous account: its switch alone decides
      {"anonymous", "", false, false, true, true, "/pub", "/pub"},
      {"admin ", "anything", true, true, false, false, "/pub", "/pub"},
      // two accounts of one name: the first one's password and mount, the second one's root
      {"Admin", "Secret1", true, true, false, true, "\\Storage", "/Card", "ADMIN"},
      {"Admin", "p\xC4", true, true, false, false, "\\Storage", "/Card", "ADMIN"},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(std::string(r.user) + " / " + r.password);
    config::Settings s;
    config::setDefaultSettings(s);
    s.auth_anonyRoot.assign("/pub");
    s.auth_pwd1.assign("Secret1");
    s.auth_root1.assign("/Card");
    s.auth_user2.assign(r.user2);
    s.auth_pwd2.assign("p\xC4");
    s.auth_root2.assign("\\Storage");
    s.auth_enable1 = r.enable1;
    s.auth_enable2 = r.enable2;
    s.auth_Anonymous = r.anonymous;
    EXPECT_EQ(checkPassword(s, r.user, r.password), r.accepted);
    EXPECT_EQ(lookupAccountRoot(s, r.user).view(), r.root);
    MountTable t;
    ASSERT_TRUE(buildMountTable(s, r.user, t));
    ASSERT_EQ(t.entries().size(), 1u);
    EXPECT_EQ(t.entries()[0].name->view(), "/");
    EXPECT_EQ(t.entries()[0].directory->view(), r.mount);
    // Only a path with "//" after slash form reaches the mount. When the mount and the root
    // differ, that path is refused as outside the root, where without the table it would be
    // served: the table decides a reply, so it stays.
    const PathText root(r.root);
    EXPECT_EQ(resolvePath(root, PathText("/"), "///sub", t, false).has_value(),
              std::string_view(r.mount) == r.root);
    EXPECT_TRUE(resolvePath(root, PathText("/"), "///sub", MountTable(), false));
  }
}

}  // namespace
}  // namespace drovn::vfs
