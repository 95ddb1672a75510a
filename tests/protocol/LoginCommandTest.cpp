#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "ProtocolTestSupport.h"

namespace drovn::protocol::test {
namespace {

constexpr char kNotLoggedIn[] = "530 Not logged in.\r\n";
constexpr char kEnterUserName[] = "503 Enter user name\r\n";
constexpr char kAlreadyLoggedIn[] = "500 You are already logged in.\r\n";
constexpr char kRootEmpty[] = "530 Root directory is empty\r\n";
constexpr char kSyst[] = "215 UNIX (DROVN_V20091111)\r\n";

std::string userOk(const std::string& name) {
  return "331 User name \"" + name + "\" is okay, need password.\r\n";
}

void enableAdmin(config::Settings& s) {
  s.auth_enable1 = true;
  s.auth_user1.assign("admin");
  s.auth_pwd1.assign("Secret");
}

// Each script runs on a fresh service whose settings `edit` sets up. SYST shows whether the
// session is logged in at that point.
struct LoginScript {
  const char* name;
  std::function<void(config::Settings&)> edit;
  std::vector<Exchange> exchanges;
};

class LoginScriptTest : public ProtocolTest, public testing::WithParamInterface<LoginScript> {
 protected:
  void configure(config::Settings& s) override {
    if (GetParam().edit) GetParam().edit(s);
  }
};

TEST_P(LoginScriptTest, RepliesInOrder) {
  auto client = connect();
  ASSERT_NE(client, nullptr);
  expectExchanges(*client, GetParam().exchanges);
}

INSTANTIATE_TEST_SUITE_P(
    States, LoginScriptTest,
    testing::Values(
        LoginScript{"DefaultsLetAnonymousInWithAnyPassword",
                    nullptr,
                    {{"SYST", kPleaseLogIn},
                     {"USER anonymous", userOk("anonymous")},
                     {"PASS whatever", kPasswordOk},
                     {"SYST", kSyst}}},
        LoginScript{"DefaultsRefuseTheDisabledAdmin",
                    nullptr,
                    {{"USER admin", userOk("admin")},
                     {"PASS anything", kNotLoggedIn},
                     {"SYST", kPleaseLogIn}}},
        LoginScript{
            "AccountNameAndPasswordIgnoreLetterCase",
            enableAdmin,
            {{"USER ADMIN", userOk("ADMIN")}, {"PASS sECRET", kPasswordOk}, {"SYST", kSyst}}},
        LoginScript{"StoredNameInMixedCase",
                    [](config::Settings& s) {
                      enableAdmin(s);
                      s.auth_user1.assign("AdMiN");
                      s.auth_Anonymous = false;
                    },
                    {{"USER aDmIn", userOk("aDmIn")}, {"PASS secret", kPasswordOk}}},
        LoginScript{"RefusedPasswordForgetsTheUserName",
                    enableAdmin,
                    {{"USER admin", userOk("admin")},
                     {"PASS wrong", kNotLoggedIn},
                     {"PASS Secret", kEnterUserName},
                     {"USER admin", userOk("admin")},
                     {"PASS Secret", kPasswordOk}}},
        LoginScript{"PassWithoutUser",
                    nullptr,
                    {{"PASS x", kEnterUserName}, {"PASS", kEnterUserName}, {"SYST", kPleaseLogIn}}},
        LoginScript{"LoggedInRefusesUserAndPassAndStays",
                    nullptr,
                    {{"USER ftp", userOk("ftp")},
                     {"PASS", kPasswordOk},
                     {"PASS other", kAlreadyLoggedIn},
                     {"USER admin", kAlreadyLoggedIn},
                     {"SYST", kSyst}}},
        LoginScript{"LaterUserReplacesTheName",
                    nullptr,
                    {{"USER admin", userOk("admin")},
                     {"USER visitor", userOk("visitor")},
                     {"PASS x", kPasswordOk}}},
        LoginScript{"UnlistedNameWithAnonymousOff",
                    [](config::Settings& s) { s.auth_Anonymous = false; },
                    {{"USER anonymous", userOk("anonymous")},
                     {"PASS x", kNotLoggedIn},
                     {"PASS x", kEnterUserName}}},
        LoginScript{"BarePassOffersAnonymousWhichAnEmptyPasswordRefuses",
                    [](config::Settings& s) {
                      s.auth_enable1 = true;
                      s.auth_user1.assign("admin");
                    },
                    {{"USER admin", userOk("admin")}, {"PASS", kNotLoggedIn}}},
        LoginScript{"BarePassOffersNothingWithAnonymousOff",
                    [](config::Settings& s) {
                      s.auth_enable1 = true;
                      s.auth_user1.assign("admin");
                      s.auth_Anonymous = false;
                    },
                    {{"USER admin", userOk("admin")}, {"PASS", kPasswordOk}}},
        LoginScript{"DisabledAccountNeverFallsToAnonymous",
                    [](config::Settings& s) { s.auth_user2.assign("guest"); },
                    {{"USER GUEST", userOk("GUEST")}, {"PASS", kNotLoggedIn}}},
        LoginScript{"PasswordWithSpacesArrivesWithSingleSpaces",
                    [](config::Settings& s) {
                      enableAdmin(s);
                      s.auth_pwd1.assign("two words");
                    },
                    {{"USER admin", userOk("admin")}, {"PASS  two    words ", kPasswordOk}}},
        LoginScript{"EmptyRootKeepsTheUserNamed",
                    [](config::Settings& s) {
                      enableAdmin(s);
                      s.auth_root1.clear();
                    },
                    {{"USER admin", userOk("admin")},
                     {"PASS Secret", kRootEmpty},
                     {"PASS wrong", kRootEmpty},
                     {"SYST", kPleaseLogIn},
                     {"USER visitor", userOk("visitor")},
                     {"PASS x", kPasswordOk}}},
        LoginScript{
            "EmptyAnonymousRootIsLookedUpBeforeThePassword",
            [](config::Settings& s) {
              s.auth_Anonymous = false;
              s.auth_anonyRoot.clear();
            },
            {{"USER visitor", userOk("visitor")}, {"PASS x", kRootEmpty}, {"PASS x", kRootEmpty}}},
        LoginScript{"EqualNamesCheckAccountOnesPassword",
                    [](config::Settings& s) {
                      s.auth_enable1 = true;
                      s.auth_enable2 = true;
                      s.auth_user1.assign("same");
                      s.auth_user2.assign("same");
                      s.auth_pwd1.assign("one");
                      s.auth_pwd2.assign("two");
                    },
                    {{"USER same", userOk("same")},
                     {"PASS two", kNotLoggedIn},
                     {"USER same", userOk("same")},
                     {"PASS one", kPasswordOk}}},
        LoginScript{"EqualNamesWithOnlyAccountTwoEnabled",
                    [](config::Settings& s) {
                      s.auth_enable2 = true;
                      s.auth_user1.assign("same");
                      s.auth_user2.assign("same");
                      s.auth_pwd2.assign("two");
                    },
                    {{"USER same", userOk("same")}, {"PASS two", kNotLoggedIn}}}),
    [](const testing::TestParamInfo<LoginScript>& i) { return std::string(i.param.name); });

// When both account names are equal, the root directory comes from account 2 and the mount from
// account 1: ordinary paths lead into account 2's root, a path that starts with three slashes
// goes through the mount into account 1's (kept inside account 2's root, so both are reachable).
class EqualNamesTest : public ProtocolTest {
 protected:
  void configure(config::Settings& s) override {
    s.auth_enable1 = true;
    s.auth_enable2 = true;
    s.auth_user1.assign("same");
    s.auth_user2.assign("same");
    s.auth_pwd1.assign("one");
    s.auth_pwd2.assign("two");
    s.auth_root1.assign("/two/one");
    s.auth_root2.assign("/two");
  }
};

TEST_F(EqualNamesTest, RootFromAccountTwoMountFromAccountOne) {
  writeFile(store() / "two" / "f", "2");
  writeFile(store() / "two" / "one" / "f", "11");
  auto client = connect();
  ASSERT_NE(client, nullptr);
  login(*client, "same", "one");
  expectExchanges(*client, {{"SIZE /f", "213 1\r\n"}, {"SIZE ///f", "213 2\r\n"}});
}

TEST_F(ProtocolTest, ABarePassIsLoggedAsAnonymous) {
  auto client = connect();
  ASSERT_NE(client, nullptr);
  expectExchanges(*client, {{"USER x", userOk("x")}, {"pass", kPasswordOk}});
  EXPECT_TRUE(harness.waitForLine("#1>PASS [anonymous]"));
  EXPECT_EQ(harness.count("#1>PASS [hidden]"), 0);
}

}  // namespace
}  // namespace drovn::protocol::test
