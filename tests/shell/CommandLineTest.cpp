#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <string_view>
#include <vector>

#include "config/Settings.h"
#include "platform/TextCodec.h"
#include "shell/CommandLine.h"
#include "shell/ShellTestSupport.h"

namespace drovn::shell {
namespace {

bool parse(std::vector<std::string_view> args, CommandLine& out, std::string& error) {
  return parseCommandLine(args, out, error);
}

TEST(CommandLine, DefaultsRunInTheCurrentDirectoryWithTheDefaultRegistry) {
  CommandLine line;
  std::string error;
  ASSERT_TRUE(parse({}, line, error)) << error;
  EXPECT_EQ(line.action, CommandLine::Action::Run);
  EXPECT_FALSE(line.headless);
  EXPECT_EQ(line.storeDir, ".");
  EXPECT_TRUE(line.registryPath.empty());
  EXPECT_TRUE(line.overlays.empty());
}

TEST(CommandLine, TakesEveryOptionInBothForms) {
  CommandLine line;
  std::string error;
  ASSERT_TRUE(parse({"--headless", "--store", "/srv/ftp", "--registry=/tmp/r.reg", "--set",
                     "auth_user1=admin", "--set=bind_manualip=", "--port", "2121"},
                    line, error))
      << error;
  EXPECT_TRUE(line.headless);
  EXPECT_EQ(line.storeDir, "/srv/ftp");
  EXPECT_EQ(line.registryPath, "/tmp/r.reg");
  ASSERT_EQ(line.overlays.size(), 5u);
  EXPECT_EQ(line.overlays[0].name, "auth_user1");
  EXPECT_EQ(line.overlays[0].value, "admin");
  EXPECT_EQ(line.overlays[1].name, "bind_manualip");
  EXPECT_EQ(line.overlays[1].value, "");
  // --port is its three settings, in place.
  EXPECT_EQ(line.overlays[2].name, "use_manualip");
  EXPECT_EQ(line.overlays[2].value, "1");
  EXPECT_EQ(line.overlays[3].name, "bind_manualip");
  EXPECT_EQ(line.overlays[3].value, "");
  EXPECT_EQ(line.overlays[4].name, "bind_manualport");
  EXPECT_EQ(line.overlays[4].value, "2121");
}

TEST(CommandLine, TextValueIsTheRestOfTheArgument) {
  CommandLine line;
  std::string error;
  ASSERT_TRUE(parse({"--set", "auth_pwd1=a=b c"}, line, error)) << error;
  ASSERT_EQ(line.overlays.size(), 1u);
  EXPECT_EQ(line.overlays[0].value, "a=b c");
}

struct ActionCase {
  std::vector<std::string_view> args;
  CommandLine::Action action;
};

class CommandLineAction : public testing::TestWithParam<ActionCase> {};

TEST_P(CommandLineAction, HelpAndVersionWinOverWhatFollows) {
  CommandLine line;
  std::string error;
  ASSERT_TRUE(parse(GetParam().args, line, error)) << error;
  EXPECT_EQ(line.action, GetParam().action);
}

INSTANTIATE_TEST_SUITE_P(
    Actions, CommandLineAction,
    testing::Values(ActionCase{{"--help"}, CommandLine::Action::Help},
                    ActionCase{{"-h"}, CommandLine::Action::Help},
                    ActionCase{{"--headless", "--help", "--bogus"}, CommandLine::Action::Help},
                    ActionCase{{"--version"}, CommandLine::Action::Version},
                    ActionCase{{"--port", "21", "--version"}, CommandLine::Action::Version}));

struct BadCase {
  std::vector<std::string_view> args;
  const char* messagePart;
};

class CommandLineRefuses : public testing::TestWithParam<BadCase> {};

TEST_P(CommandLineRefuses, WithAMessageNamingTheProblem) {
  CommandLine line;
  std::string error;
  EXPECT_FALSE(parse(GetParam().args, line, error));
  EXPECT_NE(error.find(GetParam().messagePart), std::string::npos) << error;
}

INSTANTIATE_TEST_SUITE_P(
    Errors, CommandLineRefuses,
    testing::Values(
        BadCase{{"--bogus"}, "unknown option '--bogus'"},
        BadCase{{"stray"}, "unknown option 'stray'"},
        BadCase{{"--headless=1"}, "unknown option '--headless=1'"},
        BadCase{{"--store"}, "'--store' needs a value"},
        BadCase{{"--registry"}, "'--registry' needs a value"},
        BadCase{{"--registry", ""}, "'--registry' needs a file name"},
        BadCase{{"--set"}, "'--set' needs a value"}, BadCase{{"--port"}, "'--port' needs a value"},
        BadCase{{"--set", "auth_user1"}, "NAME=VALUE"}, BadCase{{"--set", "=x"}, "NAME=VALUE"},
        BadCase{{"--set", "no_such=1"}, "unknown setting 'no_such'"},
        // Names are exact: the stored names are case-sensitive here.
        BadCase{{"--set", "AUTH_USER1=x"}, "unknown setting 'AUTH_USER1'"},
        BadCase{{"--set", "auth_enable1=true"}, "takes 1 or 0"},
        BadCase{{"--set", "opt_enableUtf8="}, "takes 1 or 0"},
        BadCase{{"--set", "auth_Anonymous=01"}, "takes 1 or 0"},
        BadCase{{"--port", "65536"}, "0 to 65535"}, BadCase{{"--port", "-1"}, "0 to 65535"},
        BadCase{{"--port", "+21"}, "0 to 65535"}, BadCase{{"--port", "21x"}, "0 to 65535"},
        BadCase{{"--port", ""}, "0 to 65535"},
        BadCase{{"--port", "99999999999999999999"}, "0 to 65535"}));

TEST(CommandLine, PortBoundsAreAccepted) {
  for (std::string_view port : {"0", "65535", "00021"}) {
    CommandLine line;
    std::string error;
    ASSERT_TRUE(parse({"--port", port}, line, error)) << port << ": " << error;
    ASSERT_EQ(line.overlays.size(), 3u);
    EXPECT_EQ(line.overlays[2].value, port == "00021" ? "21" : std::string(port));
  }
}

TEST(StoreDir, MustBeAnExistingDirectory) {
  test::TempDir dir;
  std::string error;
  EXPECT_TRUE(validateStoreDir(dir.path().string(), error)) << error;

  EXPECT_FALSE(validateStoreDir((dir.path() / "missing").string(), error));
  EXPECT_NE(error.find("does not exist"), std::string::npos) << error;

  const auto file = dir.path() / "file";
  std::ofstream(file) << "x";
  EXPECT_FALSE(validateStoreDir(file.string(), error));
  EXPECT_NE(error.find("not a directory"), std::string::npos) << error;

  EXPECT_FALSE(validateStoreDir("", error));
}

class Overlays : public testing::Test {
 protected:
  platform::LinuxTextCodec codec;
};

TEST_F(Overlays, TextsBecomeCodePageBytes) {
  std::vector<PreparedOverlay> prepared;
  std::string error;
  ASSERT_TRUE(prepareOverlays({{"auth_anonyRoot", "/数据"}}, codec, prepared, error)) << error;
  ASSERT_EQ(prepared.size(), 1u);
  EXPECT_EQ(prepared[0].codePageValue.view(), "/\xCA\xFD\xBE\xDD");  // GBK
}

struct LengthCase {
  std::string value;
  bool fits;
};

class OverlayLength : public Overlays, public testing::WithParamInterface<LengthCase> {};

TEST_P(OverlayLength, IsMeasuredInCodePageBytes) {
  std::vector<PreparedOverlay> prepared;
  std::string error;
  EXPECT_EQ(prepareOverlays({{"auth_pwd1", GetParam().value}}, codec, prepared, error),
            GetParam().fits);
  if (!GetParam().fits) {
    EXPECT_NE(error.find("511 bytes"), std::string::npos) << error;
  }
}

std::string repeat(std::string_view piece, int n) {
  std::string s;
  for (int i = 0; i < n; ++i) s += piece;
  return s;
}

INSTANTIATE_TEST_SUITE_P(Limits, OverlayLength,
                         testing::Values(LengthCase{repeat("a", 511), true},
                                         LengthCase{repeat("a", 512), false},
                                         LengthCase{repeat("中", 255) + "a", true},
                                         LengthCase{repeat("中", 256), false}));

TEST_F(Overlays, ApplyInCommandLineOrder) {
  CommandLine line;
  std::string error;
  ASSERT_TRUE(
      parse({"--set", "bind_manualport=99", "--port", "2121", "--set", "bind_manualip=127.0.0.1",
             "--set", "auth_Anonymous=0", "--set", "opt_enableUtf8=1"},
            line, error))
      << error;
  std::vector<PreparedOverlay> prepared;
  ASSERT_TRUE(prepareOverlays(line.overlays, codec, prepared, error)) << error;

  config::Settings s;
  config::setDefaultSettings(s);
  applyOverlays(prepared, s);
  EXPECT_TRUE(s.use_manualip);
  EXPECT_EQ(s.bind_manualip.view(), "127.0.0.1");
  EXPECT_EQ(s.bind_manualport.view(), "2121");
  EXPECT_FALSE(s.auth_Anonymous);
  EXPECT_TRUE(s.opt_enableUtf8);
  EXPECT_EQ(s.auth_user1.view(), "admin");  // untouched settings keep their values
}

TEST(CommandLine, UsageNamesEveryOptionAndSetting) {
  const std::string usage = usageText();
  for (const char* word :
       {"--headless",      "--store",       "--registry",     "--set",          "--port",
        "--help",          "--version",     "auth_Anonymous", "auth_anonyRoot", "auth_enable1",
        "auth_user1",      "auth_pwd1",     "auth_root1",     "auth_enable2",   "auth_user2",
        "auth_pwd2",       "auth_root2",    "use_manualip",   "bind_manualip",  "bind_manualport",
        "opt_keepLightOn", "opt_enableUtf8"}) {
    EXPECT_NE(usage.find(word), std::string::npos) << word;
  }
}

}  // namespace
}  // namespace drovn::shell
