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
  s.auth_user2.assign("\xD5\xC5\xC8\xFD");  // a code-page name
  s.auth_pwd2.assign("p\xC4");
  s.auth_root2.assign("\\Storage");
  return s;
}

struct LoginRow {
  const char* user;
  const char* password;
  bool enable1, enable2, anonymous;
  bool accepted;
  const char* root;  // the root fixed at login and mounted as "/"
};

TEST(LoginTest, TheNameSelectsTheAccountAndItsRulesDecide) {
  const char* kGuest = "\xD5\xC5\xC8\xFD";
  const LoginRow rows[] = {
      // names and passwords match in any ASCII letter case, nothing else folds
      {"admin", "Secret1", true, true, true, true, "/Card"},
      {"AdMIN", "sECRET1", true, true, true, true, "/Card"},
      {"admin", "Secret1 ", true, true, true, false, "/Card"},
      {"admin", "p\xC4", true, true, true, false, "/Card"},
      {kGuest, "P\xC4", true, true, true, true, "\\Storage"},
      {kGuest, "p\xE4", true, true, true, false, "\\Storage"},
      {"\xF5\xE5\xE8\xDD", "P\xC4", true, true, false, false, "/pub"},
      // a switched-off account is refused, and its name never falls to the anonymous account
      {"admin", "Secret1", false, true, true, false, "/Card"},
      {kGuest, "p\xC4", true, false, true, false, "\\Storage"},
      // any other name is the anonymous account: its switch alone decides
      {"anonymous", "", false, false, true, true, "/pub"},
      {"admin ", "anything", true, true, true, true, "/pub"},
      {"adm", "Secret1", true, true, false, false, "/pub"},
  };
  for (const LoginRow& r : rows) {
    SCOPED_TRACE(std::string(r.user) + " / " + r.password);
    config::Settings s = accounts();
    s.auth_enable1 = r.enable1;
    s.auth_enable2 = r.enable2;
    s.auth_Anonymous = r.anonymous;
    EXPECT_EQ(checkPassword(s, r.user, r.password), r.accepted);
    EXPECT_EQ(lookupAccountRoot(s, r.user).view(), r.root);
    MountTable t;
    ASSERT_TRUE(buildMountTable(s, r.user, t));
    ASSERT_EQ(t.entries().size(), 1u);
    EXPECT_EQ(t.entries()[0].name->view(), "/");
    EXPECT_EQ(t.entries()[0].directory->view(), r.root);
  }
}

TEST(LoginTest, EqualAccountNamesSplitAndAnEmptyNameSelectsNothing) {
  config::Settings s = accounts();
  s.auth_user2.assign("ADMIN");
  // The root fixed at login is account 2's, the mounted one and the password account 1's.
  EXPECT_EQ(lookupAccountRoot(s, "Admin").view(), "\\Storage");
  MountTable table;
  ASSERT_TRUE(buildMountTable(s, "Admin", table));
  EXPECT_EQ(table.entries()[0].directory->view(), "/Card");
  EXPECT_TRUE(checkPassword(s, "Admin", "secret1"));
  EXPECT_FALSE(checkPassword(s, "Admin", "p\xC4"));
  EXPECT_FALSE(buildMountTable(s, "", table));
  EXPECT_TRUE(table.empty());
  EXPECT_TRUE(lookupAccountRoot(s, "").empty());
}

}  // namespace
}  // namespace drovn::vfs
