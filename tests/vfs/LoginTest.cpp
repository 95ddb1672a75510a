#include <gtest/gtest.h>

#include <string>

#include "vfs/Login.h"

namespace drovn::vfs {
namespace {

// Both named accounts switched on, each with a root of its own.
config::Settings accounts() {
  config::Settings s;
  config::setDefaultSettings(s);
  s.auth_anonyRoot.assign("/pub");
  s.auth_enable1 = true;
  s.auth_user1.assign("admin");
  s.auth_pwd1.assign("Secret1");
  s.auth_root1.assign("/Card");
  s.auth_enable2 = true;
  s.auth_user2.assign("guest");
  s.auth_pwd2.assign("pass2");
  s.auth_root2.assign("\\Storage");
  return s;
}

std::string mounted(const config::Settings& s, std::string_view user) {
  MountTable table;
  EXPECT_TRUE(buildMountTable(s, user, table));
  EXPECT_EQ(table.entries().size(), 1u);
  if (table.entries().size() != 1) return "";
  EXPECT_EQ(table.entries()[0].name->view(), "/");
  return std::string(table.entries()[0].directory->view());
}

struct AccountCase {
  const char* user;
  const char* root;
};

class AccountSelectionTest : public testing::TestWithParam<AccountCase> {};

TEST_P(AccountSelectionTest, TheNameSelectsTheRootAndTheMount) {
  const config::Settings s = accounts();
  EXPECT_EQ(lookupAccountRoot(s, GetParam().user).view(), GetParam().root);
  EXPECT_EQ(mounted(s, GetParam().user), GetParam().root);
}

INSTANTIATE_TEST_SUITE_P(
    Names, AccountSelectionTest,
    testing::Values(AccountCase{"admin", "/Card"}, AccountCase{"ADMIN", "/Card"},
                    AccountCase{"AdMin", "/Card"}, AccountCase{"guest", "\\Storage"},
                    AccountCase{"GUEST", "\\Storage"},
                    // every other name is the anonymous account, "anonymous" included
                    AccountCase{"anonymous", "/pub"}, AccountCase{"ftp", "/pub"},
                    AccountCase{"admin ", "/pub"}, AccountCase{"adm", "/pub"}));

TEST(AccountSelectionTest, AnEmptyUserNameSelectsNothing) {
  const config::Settings s = accounts();
  EXPECT_TRUE(lookupAccountRoot(s, "").empty());
  MountTable table;
  EXPECT_TRUE(buildMountTable(s, "admin", table));
  EXPECT_FALSE(buildMountTable(s, "", table));
  EXPECT_TRUE(table.empty());
}

TEST(AccountSelectionTest, TheEnableFlagsDoNotChangeTheRoot) {
  config::Settings s = accounts();
  s.auth_enable1 = false;
  s.auth_enable2 = false;
  s.auth_Anonymous = false;
  EXPECT_EQ(lookupAccountRoot(s, "admin").view(), "/Card");
  EXPECT_EQ(lookupAccountRoot(s, "guest").view(), "\\Storage");
  EXPECT_EQ(lookupAccountRoot(s, "someone").view(), "/pub");
}

TEST(AccountSelectionTest, EmptyRootsAreGivenAsTheyAre) {
  config::Settings s = accounts();
  s.auth_root1.clear();
  s.auth_anonyRoot.clear();
  EXPECT_TRUE(lookupAccountRoot(s, "admin").empty());
  EXPECT_TRUE(lookupAccountRoot(s, "someone").empty());
  EXPECT_EQ(lookupAccountRoot(s, "guest").view(), "\\Storage");
  EXPECT_EQ(mounted(s, "admin"), "");
}

TEST(AccountSelectionTest, EqualAccountNamesSplitBetweenTheRootAndTheMount) {
  config::Settings s = accounts();
  s.auth_user2.assign("ADMIN");
  // The root fixed at login is account 2's, the mounted one and the password account 1's.
  EXPECT_EQ(lookupAccountRoot(s, "Admin").view(), "\\Storage");
  EXPECT_EQ(mounted(s, "Admin"), "/Card");
  EXPECT_TRUE(checkPassword(s, "Admin", "secret1"));
  EXPECT_FALSE(checkPassword(s, "Admin", "pass2"));
  s.auth_enable1 = false;
  EXPECT_FALSE(checkPassword(s, "Admin", "pass2")) << "no fall-through to account 2";
  EXPECT_FALSE(checkPassword(s, "Admin", "secret1"));
}

struct PasswordCase {
  const char* user;
  const char* password;
  bool enable1;
  bool enable2;
  bool anonymous;
  bool accepted;
};

class CheckPasswordTest : public testing::TestWithParam<PasswordCase> {};

TEST_P(CheckPasswordTest, FirstMatchingAccountDecides) {
  config::Settings s = accounts();
  s.auth_enable1 = GetParam().enable1;
  s.auth_enable2 = GetParam().enable2;
  s.auth_Anonymous = GetParam().anonymous;
  EXPECT_EQ(checkPassword(s, GetParam().user, GetParam().password), GetParam().accepted);
}

INSTANTIATE_TEST_SUITE_P(
    Logins, CheckPasswordTest,
    testing::Values(
        PasswordCase{"admin", "Secret1", true, true, true, true},
        // the letter case of the password does not matter either
        PasswordCase{"ADMIN", "sECRET1", true, true, true, true},
        PasswordCase{"admin", "Secret", true, true, true, false},
        PasswordCase{"admin", "Secret1 ", true, true, true, false},
        PasswordCase{"admin", "pass2", true, true, true, false},
        PasswordCase{"guest", "PASS2", true, true, true, true},
        PasswordCase{"guest", "Secret1", true, true, true, false},
        // a switched-off account is refused even with the anonymous account on
        PasswordCase{"admin", "Secret1", false, true, true, false},
        PasswordCase{"Guest", "pass2", true, false, true, false},
        PasswordCase{"admin", "anonymous", false, false, true, false},
        // any other name: the anonymous switch alone decides, the password is not looked at
        PasswordCase{"anonymous", "", false, false, true, true},
        PasswordCase{"bob", "anything at all", false, false, true, true},
        PasswordCase{"bob", "Secret1", true, true, false, false},
        PasswordCase{"anonymous", "anonymous", true, true, false, false}));

TEST(CheckPasswordTest, AnEmptyPasswordMatchesOnlyAnEmptyOne) {
  config::Settings s = accounts();
  s.auth_pwd1.clear();
  EXPECT_TRUE(checkPassword(s, "admin", ""));
  // a bare PASS with the anonymous account on offers "anonymous"
  EXPECT_FALSE(checkPassword(s, "admin", "anonymous"));
}

TEST(CheckPasswordTest, TheDefaultsLetOnlyTheAnonymousAccountIn) {
  config::Settings s;
  config::setDefaultSettings(s);
  EXPECT_TRUE(checkPassword(s, "anonymous", "x@y"));
  EXPECT_EQ(lookupAccountRoot(s, "anonymous").view(), "/");
  EXPECT_FALSE(checkPassword(s, "admin", ""));
  EXPECT_FALSE(checkPassword(s, "Guest", ""));
}

TEST(CheckPasswordTest, NonAsciiBytesAreComparedExactly) {
  config::Settings s = accounts();
  s.auth_user1.assign("\xD5\xC5\xC8\xFD");  // a code-page name
  s.auth_pwd1.assign("p\xC4");
  EXPECT_TRUE(checkPassword(s, "\xD5\xC5\xC8\xFD", "P\xC4"));
  EXPECT_FALSE(checkPassword(s, "\xD5\xC5\xC8\xFD", "p\xE4"));
  EXPECT_EQ(lookupAccountRoot(s, "\xF5\xE5\xE8\xDD").view(), "/pub");
}

}  // namespace
}  // namespace drovn::vfs
