#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "config/Settings.h"
#include "platform/LinuxRegistry.h"
#include "platform/TextCodec.h"

namespace drovn::config {
namespace {

namespace fs = std::filesystem;
using platform::Registry;
using platform::RegistryKey;

class TempDir {
 public:
  TempDir() {
    std::random_device rd;
    for (int attempt = 0; attempt < 100 && path_.empty(); ++attempt) {
      auto candidate = fs::temp_directory_path() / ("drovn-settings-" + std::to_string(rd()));
      if (fs::create_directory(candidate)) path_ = candidate;
    }
    if (path_.empty()) throw std::runtime_error("no temporary directory");
  }
  ~TempDir() {
    std::error_code ec;
    fs::remove_all(path_, ec);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const fs::path& path() const noexcept { return path_; }

 private:
  fs::path path_;
};

std::optional<std::string> readFile(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  if (!in) return std::nullopt;
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

void expectDefaults(const Settings& s) {
  EXPECT_TRUE(s.auth_Anonymous);
  EXPECT_EQ(s.auth_anonyRoot, "/");
  EXPECT_FALSE(s.auth_enable1);
  EXPECT_EQ(s.auth_user1, "admin");
  EXPECT_EQ(s.auth_pwd1, "");
  EXPECT_EQ(s.auth_root1, "/");
  EXPECT_FALSE(s.auth_enable2);
  EXPECT_EQ(s.auth_user2, "guest");
  EXPECT_EQ(s.auth_pwd2, "");
  EXPECT_EQ(s.auth_root2, "/");
  EXPECT_FALSE(s.use_manualip);
  EXPECT_EQ(s.bind_manualip, "192.168.1.101");
  EXPECT_EQ(s.bind_manualport, "21");
  EXPECT_FALSE(s.opt_keepLightOn);
  EXPECT_FALSE(s.opt_enableUtf8);
}

// Nothing like the defaults, so a field that is not loaded shows.
Settings unusual() {
  Settings s;
  s.auth_Anonymous = false;
  s.auth_anonyRoot.assign("/anon");
  s.auth_enable1 = true;
  s.auth_user1.assign("x");
  s.auth_pwd1.assign("p");
  s.auth_root1.assign("/r1");
  s.auth_enable2 = true;
  s.auth_user2.assign("y");
  s.auth_pwd2.assign("q");
  s.auth_root2.assign("/r2");
  s.use_manualip = true;
  s.bind_manualip.assign("10.0.0.1");
  s.bind_manualport.assign("2121");
  s.opt_keepLightOn = true;
  s.opt_enableUtf8 = true;
  return s;
}

constexpr std::string_view kDefaultsFile =
    "REGEDIT4\n"
    "\n"
    "[HKEY_LOCAL_MACHINE\\Software\\Drovnel]\n"
    "\"auth_Anonymous\"=hex(1):31,00\n"
    "\"auth_anonyRoot\"=hex(1):2f\n"
    "\"auth_enable1\"=hex(1):30\n"
    "\"auth_user1\"=hex(1):61,64,6d,69,6e\n"
    "\"auth_pwd1\"=hex(1):\n"
    "\"auth_root1\"=hex(1):2f\n"
    "\"auth_enable2\"=hex(1):30\n"
    "\"auth_user2\"=hex(1):67,75,65,73,74\n"
    "\"auth_pwd2\"=hex(1):\n"
    "\"auth_root2\"=hex(1):2f\n"
    "\"use_manualip\"=hex(1):30\n"
    "\"bind_manualip\"=hex(1):31,39,32,2e,31,36,38,2e,31,2e,31,30,31\n"
    "\"bind_manualport\"=hex(1):32,31\n"
    "\"opt_keepLightOn\"=hex(1):30\n"
    "\"opt_enableUtf8\"=hex(1):30\n";

class SettingsTest : public ::testing::Test {
 protected:
  fs::path file() const { return dir.path() / "cfg" / "registry.reg"; }

  // Stores raw values in the settings key, as another tool might.
  void store(const std::vector<std::pair<std::string, std::string>>& values, uint32_t type = 1) {
    std::unique_ptr<RegistryKey> key;
    ASSERT_EQ(registry.createKey(kSettingsKey, Registry::Access::Write, key), 0u);
    for (const auto& [name, data] : values) {
      ASSERT_EQ(key->setValue(name, type, reinterpret_cast<const uint8_t*>(data.data()),
                              static_cast<uint32_t>(data.size())),
                0u);
    }
  }

  std::optional<std::string> stored(std::string_view name) {
    std::unique_ptr<RegistryKey> key;
    if (registry.createKey(kSettingsKey, Registry::Access::Read, key) != 0) return std::nullopt;
    std::vector<uint8_t> buf(4096);
    uint32_t type = 0;
    uint32_t size = static_cast<uint32_t>(buf.size());
    if (key->queryValue(name, type, buf.data(), size) != 0 || type != platform::kRegSz)
      return std::nullopt;
    return std::string(buf.begin(), buf.begin() + size);
  }

  Settings loaded() {
    Settings s = unusual();
    loadSettings(registry, s);
    return s;
  }

  TempDir dir;
  platform::LinuxTextCodec codec;
  platform::LinuxRegistry registry{file().string(), codec};
};

TEST_F(SettingsTest, DefaultsGiveAnonymousAccessOnly) {
  Settings s = unusual();
  setDefaultSettings(s);
  expectDefaults(s);
  EXPECT_EQ(rootMountName, "/");
  SettingsStore store;
  expectDefaults(store.snapshot());
}

TEST_F(SettingsTest, FirstStartWithoutTheFileGivesTheDefaultsAndWritesNothing) {
  expectDefaults(loaded());
  EXPECT_FALSE(fs::exists(dir.path() / "cfg"));
}

TEST_F(SettingsTest, SavedDefaultsAreThisExactFile) {
  Settings s;
  setDefaultSettings(s);
  saveSettings(registry, s);
  EXPECT_EQ(readFile(file()), kDefaultsFile);
  expectDefaults(loaded());
}

TEST_F(SettingsTest, SavedBytes) {
  Settings s;
  setDefaultSettings(s);
  saveSettings(registry, s);
  EXPECT_EQ(stored("auth_user1"), "admin");
  EXPECT_EQ(stored("auth_enable1"), "0");
  EXPECT_EQ(stored("auth_Anonymous"), std::string("1\0", 2));
  EXPECT_EQ(stored("auth_pwd1"), "");

  s.auth_Anonymous = false;
  s.auth_enable1 = true;
  s.auth_user1.assign("\xB9\xDC\xC0\xED");  // code-page bytes are stored as they are
  saveSettings(registry, s);
  EXPECT_EQ(stored("auth_Anonymous"), std::string("0\0", 2));
  EXPECT_EQ(stored("auth_enable1"), "1");
  EXPECT_EQ(stored("auth_user1"), "\xB9\xDC\xC0\xED");
}

TEST_F(SettingsTest, ARecordSurvivesSaveAndLoad) {
  Settings s = unusual();
  s.auth_pwd1.clear();  // an empty password stays empty
  s.auth_root2.assign("\\\xB4\xE6\xB4\xA2\xBF\xA8");
  s.auth_user2.assign(std::string(511, 'u'));
  saveSettings(registry, s);
  Settings back;
  setDefaultSettings(back);
  loadSettings(registry, back);
  EXPECT_FALSE(back.auth_Anonymous);
  EXPECT_EQ(back.auth_anonyRoot, "/anon");
  EXPECT_TRUE(back.auth_enable1);
  EXPECT_EQ(back.auth_user1, "x");
  EXPECT_EQ(back.auth_pwd1, "");
  EXPECT_EQ(back.auth_root1, "/r1");
  EXPECT_TRUE(back.auth_enable2);
  EXPECT_EQ(back.auth_user2, std::string(511, 'u'));
  EXPECT_EQ(back.auth_pwd2, "q");
  EXPECT_EQ(back.auth_root2, "\\\xB4\xE6\xB4\xA2\xBF\xA8");
  EXPECT_TRUE(back.use_manualip);
  EXPECT_EQ(back.bind_manualip, "10.0.0.1");
  EXPECT_EQ(back.bind_manualport, "2121");
  EXPECT_TRUE(back.opt_keepLightOn);
  EXPECT_TRUE(back.opt_enableUtf8);
}

struct FlagCase {
  const char* what;
  std::string data;
  bool value;
};

class SettingsFlag : public SettingsTest, public ::testing::WithParamInterface<FlagCase> {};

TEST_P(SettingsFlag, IsTrueOnlyForExactlyOne) {
  // One flag that defaults to true and one that defaults to false.
  store({{"auth_Anonymous", GetParam().data}, {"auth_enable1", GetParam().data}});
  const Settings s = loaded();
  EXPECT_EQ(s.auth_Anonymous, GetParam().value);
  EXPECT_EQ(s.auth_enable1, GetParam().value);
}

INSTANTIATE_TEST_SUITE_P(
    Texts, SettingsFlag,
    ::testing::Values(
        FlagCase{"One", "1", true}, FlagCase{"OneTerminated", std::string("1\0", 2), true},
        FlagCase{"OneThenZeroThenMore", std::string("1\0junk", 6), true},
        FlagCase{"Zero", "0", false}, FlagCase{"ZeroTerminated", std::string("0\0", 2), false},
        FlagCase{"True", "true", false}, FlagCase{"ZeroOne", "01", false},
        FlagCase{"OneOne", "11", false}, FlagCase{"Blank", " 1", false},
        FlagCase{"Empty", "", false}, FlagCase{"OnlyTerminator", std::string("\0", 1), false},
        FlagCase{"Utf16One", std::string("1\0\0\0", 4), true}),
    [](const auto& c) { return std::string(c.param.what); });

struct TextCase {
  const char* what;
  std::string data;
  std::optional<std::string> value;  // nullopt: the field keeps its default
};

class SettingsTextValue : public SettingsTest, public ::testing::WithParamInterface<TextCase> {};

TEST_P(SettingsTextValue, ReadsUpToTheFirstZeroByte) {
  store({{"auth_user1", GetParam().data}, {"auth_pwd1", GetParam().data}});
  Settings s;
  setDefaultSettings(s);
  s.auth_pwd1.assign("was");
  loadSettings(registry, s);  // starts from the defaults: auth_pwd1 is empty then
  EXPECT_EQ(s.auth_user1.view(), GetParam().value.value_or("admin"));
  EXPECT_EQ(s.auth_pwd1.view(), GetParam().value.value_or(""));
  EXPECT_LT(s.auth_user1.size(), SettingsText::bufferSize());
}

std::string textThenZeros(std::size_t textSize, std::size_t total) {
  std::string s(textSize, 't');
  s.resize(total, '\0');
  return s;
}

INSTANTIATE_TEST_SUITE_P(
    Values, SettingsTextValue,
    ::testing::Values(TextCase{"Plain", "root", "root"}, TextCase{"NoBytes", "", ""},
                      TextCase{"Terminated", std::string("root\0", 5), "root"},
                      TextCase{"Utf16", std::string("a\0d\0m\0i\0n\0", 10), "a"},
                      TextCase{"CodePage", "\xB9\xDC\xC0\xED\xD4\xB1", "\xB9\xDC\xC0\xED\xD4\xB1"},
                      TextCase{"Longest", std::string(511, 'l'), std::string(511, 'l')},
                      // Too long for the field: ignored rather than cut.
                      TextCase{"OneTooLong", std::string(512, 'l'), std::nullopt},
                      TextCase{"BufferFull", std::string(2048, 'l'), std::nullopt},
                      // What counts is the text up to its first zero, within the 2048 bytes read.
                      TextCase{"BufferFullShortText", textThenZeros(5, 2048), "ttttt"},
                      TextCase{"BufferFullLongestText", textThenZeros(511, 2048),
                               std::string(511, 't')},
                      // A value longer than the buffer is not read at all.
                      TextCase{"LongerThanTheBuffer", textThenZeros(5, 2049), std::nullopt}),
    [](const auto& c) { return std::string(c.param.what); });

TEST_F(SettingsTest, AFlagLongerThanTheBufferIsIgnored) {
  store({{"auth_enable1", textThenZeros(0, 2049).replace(0, 1, "1")},
         {"auth_enable2", textThenZeros(0, 2048).replace(0, 1, "1")}});
  const Settings s = loaded();
  EXPECT_FALSE(s.auth_enable1);
  EXPECT_TRUE(s.auth_enable2);
}

TEST_F(SettingsTest, MissingValuesKeepTheirDefaultsAndTheTypeIsNotExamined) {
  store({{"bind_manualport", "2100"}, {"opt_enableUtf8", "1"}}, 3);
  const Settings s = loaded();
  EXPECT_EQ(s.bind_manualport, "2100");
  EXPECT_TRUE(s.opt_enableUtf8);
  EXPECT_EQ(s.auth_user1, "admin");
  EXPECT_TRUE(s.auth_Anonymous);
}

TEST_F(SettingsTest, ARegistryThatCannotBeOpenedGivesTheDefaults) {
  fs::create_directories(file());  // a folder where the file should be
  expectDefaults(loaded());
  // And a save goes nowhere, quietly.
  saveSettings(registry, unusual());
  EXPECT_TRUE(fs::is_directory(file()));
  expectDefaults(loaded());
}

TEST_F(SettingsTest, AFolderThatCannotBeMadeLosesTheSaveQuietly) {
  fs::create_directories(dir.path());
  std::ofstream(dir.path() / "cfg") << "a file, not a folder";
  saveSettings(registry, unusual());
  EXPECT_EQ(readFile(dir.path() / "cfg"), "a file, not a folder");
  expectDefaults(loaded());
}

TEST_F(SettingsTest, ASaveKeepsWhatOthersStoredAndPutsTheSettingsInTheirOrder) {
  fs::create_directories(file().parent_path());
  std::ofstream(file(), std::ios::binary) << "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\Software\\Drovnel]\n"
                                             "\"opt_enableUtf8\"=\"1\"\n"
                                             "\"note\"=\"kept\"\n"
                                             "\"auth_user1\"=\"op\"\n\n"
                                             "[HKEY_LOCAL_MACHINE\\Software\\Else]\n"
                                             "\"x\"=hex(3):01\n";
  Settings s = loaded();
  EXPECT_TRUE(s.opt_enableUtf8);
  EXPECT_EQ(s.auth_user1, "op");
  setDefaultSettings(s);
  saveSettings(registry, s);
  std::string expected(kDefaultsFile);
  expected +=
      "\"note\"=hex(1):6b,65,70,74\n\n[HKEY_LOCAL_MACHINE\\Software\\Else]\n\"x\"=hex(3):01\n";
  EXPECT_EQ(readFile(file()), expected);
}

TEST(SettingByName, SetsTheFieldStoredUnderThatName) {
  Settings s;
  setDefaultSettings(s);
  EXPECT_TRUE(setSettingByName(s, "auth_enable1", "1"));
  EXPECT_TRUE(setSettingByName(s, "auth_Anonymous", "0"));
  EXPECT_TRUE(setSettingByName(s, "opt_enableUtf8", "true"));  // only "1" is true
  EXPECT_TRUE(setSettingByName(s, "auth_pwd1", "secret"));
  EXPECT_TRUE(setSettingByName(s, "bind_manualport", "2121"));
  EXPECT_TRUE(setSettingByName(s, "auth_root2", std::string(600, 'r')));
  EXPECT_TRUE(s.auth_enable1);
  EXPECT_FALSE(s.auth_Anonymous);
  EXPECT_FALSE(s.opt_enableUtf8);
  EXPECT_EQ(s.auth_pwd1, "secret");
  EXPECT_EQ(s.bind_manualport, "2121");
  EXPECT_EQ(s.auth_root2, std::string(511, 'r'));
}

TEST(SettingByName, KnowsEveryStoredNameAndNoOther) {
  const char* names[] = {"auth_Anonymous",  "auth_anonyRoot",  "auth_enable1",  "auth_user1",
                         "auth_pwd1",       "auth_root1",      "auth_enable2",  "auth_user2",
                         "auth_pwd2",       "auth_root2",      "use_manualip",  "bind_manualip",
                         "bind_manualport", "opt_keepLightOn", "opt_enableUtf8"};
  static_assert(std::size(names) == kSettingCount);
  Settings s;
  setDefaultSettings(s);
  for (const char* name : names) EXPECT_TRUE(setSettingByName(s, name, "1")) << name;
  EXPECT_EQ(s.auth_user1, "1");
  EXPECT_TRUE(s.opt_keepLightOn);
  Settings before = s;
  for (const char* name : {"auth_user3", "AUTH_USER1", "auth_user1 ", "", "rootMountName"})
    EXPECT_FALSE(setSettingByName(s, name, "x")) << name;
  EXPECT_EQ(s.auth_user1, before.auth_user1.view());
  EXPECT_EQ(s.auth_pwd2, before.auth_pwd2.view());
}

}  // namespace
}  // namespace drovn::config
