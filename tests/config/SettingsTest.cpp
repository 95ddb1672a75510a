// The settings in the registry file: the defaults, the fifteen values, the values that are only
// read and their checks, saves killed half way.
#include <poll.h>
#include <sys/wait.h>

#include <csignal>
#include <random>

#include "config/Settings.h"
#include "platform/LinuxRegistry.h"
#include "platform/TextCodec.h"
#include "support/Files.h"

namespace drovn::config {
namespace {
using namespace drovn::test;
using namespace std::string_literals;

class SettingsFile : public ::testing::Test {
 protected:
  Settings load() {
    Settings s;
    loadSettings(registry, s);  // the defaults, then what is stored
    return s;
  }

  TempDir dir;
  std::string file = (dir.path / "cfg/registry.reg").string();
  platform::LinuxTextCodec codec;
  platform::LinuxRegistry registry{file, codec};
};

TEST_F(SettingsFile, WithoutAFileTheDefaultsAreLoadedAndSavedAsThisExactFile) {
  saveSettings(registry, load());
  EXPECT_EQ(readFile(file),
            "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\Software\\Drovnel]\n"
            "\"auth_Anonymous\"=hex(1):31,00\n\"auth_anonyRoot\"=hex(1):2f\n"
            "\"auth_enable1\"=hex(1):30\n\"auth_user1\"=hex(1):61,64,6d,69,6e\n"
            "\"auth_pwd1\"=hex(1):\n\"auth_root1\"=hex(1):2f\n\"auth_enable2\"=hex(1):30\n"
            "\"auth_user2\"=hex(1):67,75,65,73,74\n\"auth_pwd2\"=hex(1):\n"
            "\"auth_root2\"=hex(1):2f\n\"use_manualip\"=hex(1):30\n"
            "\"bind_manualip\"=hex(1):31,39,32,2e,31,36,38,2e,31,2e,31,30,31\n"
            "\"bind_manualport\"=hex(1):32,31\n\"opt_keepLightOn\"=hex(1):30\n"
            "\"opt_enableUtf8\"=hex(1):30\n");
}

// The values beyond the fifteen are read, are off or empty without them, and are never saved.
TEST_F(SettingsFile, TheReadOnlyValuesAreReadAndNeverSaved) {
  const Settings defaults = load();
  writeFile(file,
            "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\Software\\Drovnel]\n"
            "\"opt_modernClients\"=\"1\"\n\"auth_readOnly1\"=\"1\"\n\"auth_readOnly2\"=\"1\"\n"
            "\"auth_readOnlyAnonymous\"=\"1\"\n\"pasv_portRange\"=\"5-9\"\n"
            "\"bind_listenIp\"=\"1.2.3.4\"\n\"tls_enable\"=\"1\"\n\"tls_certFile\"=\"c.pem\"\n"
            "\"tls_keyFile\"=\"k.pem\"\n\"tls_require\"=\"1\"\n");
  const auto extra = [](const Settings& x) {
    return std::tuple(x.opt_modernClients, x.auth_readOnly1, x.auth_readOnly2,
                      x.auth_readOnlyAnonymous, std::string(x.pasv_portRange.view()),
                      std::string(x.bind_listenIp.view()), x.tls_enable,
                      std::string(x.tls_certFile.view()), std::string(x.tls_keyFile.view()),
                      x.tls_require);
  };
  EXPECT_EQ(extra(load()),
            std::tuple(true, true, true, true, "5-9"s, "1.2.3.4"s, true, "c.pem"s, "k.pem"s, true));
  EXPECT_EQ(extra(defaults),
            std::tuple(false, false, false, false, ""s, ""s, false, ""s, ""s, false));
  platform::LinuxRegistry with((dir.path / "a.reg").string(), codec);
  platform::LinuxRegistry without((dir.path / "b.reg").string(), codec);
  saveSettings(with, load());
  saveSettings(without, defaults);
  EXPECT_EQ(readFile(dir.path / "a.reg"), readFile(dir.path / "b.reg"));
}

// What parsePortRange makes of a text: the range, "none", or "refused" (out left alone).
std::string portRange(std::string_view text) {
  std::optional<PortRange> range = PortRange{4, 4};
  if (!parsePortRange(text, range)) return range->low == 4 && range->high == 4 ? "refused" : "?";
  return range ? std::to_string(range->low) + ".." + std::to_string(range->high) : "none";
}

TEST(SettingTexts, PortRangesAndListenAddresses) {
  const std::pair<const char*, const char*> ranges[] = {
      {"", "none"},           {"1-65535", "1..65535"}, {"7-7", "7..7"},     {"0-5", "refused"},
      {"1-65536", "refused"}, {"9-1", "refused"},      {"1-", "refused"},   {"-5", "refused"},
      {" 1-2", "refused"},    {"1-2x", "refused"},     {"01-2", "refused"}, {"+1-2", "refused"},
      {"1-2-3", "refused"},   {"5", "refused"}};
  for (const auto& [text, read] : ranges) EXPECT_EQ(portRange(text), read) << text;
  const std::pair<const char*, bool> addresses[] = {
      {"", true},           {"0.0.0.0", true},    {"255.255.255.255", true}, {"192.168.1.10", true},
      {"256.1.1.1", false}, {"1.2.3", false},     {"01.2.3.4", false},       {"0x7f.0.0.1", false},
      {"1.2.3.4 ", false},  {"1.2.3.4.5", false}, {"localhost", false}};
  for (const auto& [text, ok] : addresses) EXPECT_EQ(validListenAddress(text), ok) << text;
}

TEST_F(SettingsFile, TheFifteenValuesAreWrittenAndReadBack) {
  Settings s = load();
  for (const char* name :  // each away from its default (only auth_Anonymous is on by default)
       {"auth_Anonymous", "auth_anonyRoot", "auth_enable1", "auth_user1", "auth_pwd1", "auth_root1",
        "auth_enable2", "auth_user2", "auth_pwd2", "auth_root2", "use_manualip", "bind_manualip",
        "bind_manualport", "opt_keepLightOn", "opt_enableUtf8"}) {
    const bool flag = settingKind(name) == SettingKind::Flag;
    ASSERT_TRUE(setSettingByName(s, name, flag ? (name[5] == 'A' ? "0" : "1") : name + "\xB9"s));
  }
  s.auth_root2.assign(std::string(511, 'r'));  // the longest text
  saveSettings(registry, s);
  platform::LinuxRegistry again((dir.path / "again.reg").string(), codec);
  saveSettings(again, load());  // what was read, saved again: the same file
  EXPECT_TRUE(readFile(dir.path / "again.reg") == readFile(file) && !load().auth_Anonymous);
}

// A process killed in the middle of saving, again and again, leaves the old save or the new one
// whole: never a torn file, which would read as the defaults and be kept as FILE.bad.
TEST_F(SettingsFile, ASaveKilledHalfWayLeavesTheOldFileOrTheNewOne) {
  Settings saves[2] = {load(), load()};  // with a long text each
  saves[0].auth_root1.assign(std::string(500, 'a'));
  saves[1].auth_root1.assign(std::string(500, 'b'));
  saveSettings(registry, saves[0]);
  std::mt19937 random(20091111);
  int seen[2] = {0, 0};
  for (int round = 0; round < 50; ++round) {
    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      for (long i = 0;; ++i) {  // saves back and forth until killed
        saveSettings(registry, saves[i % 2]);
        if (i == 1) (void)!::write(ready[1], "s", 1);  // both saves have been made once
      }
    }
    pollfd saved{ready[0], POLLIN, 0};
    const bool started = ::poll(&saved, 1, 10000) == 1;
    ::close(ready[0]), ::close(ready[1]);
    if (started) std::this_thread::sleep_for(std::chrono::microseconds(random() % 3000));
    ::kill(child, SIGKILL);
    ASSERT_EQ(::waitpid(child, nullptr, 0), child);
    ASSERT_TRUE(started) << "the child never saved";
    const Settings loaded = load();
    const bool bravo = loaded.auth_root1 == saves[1].auth_root1.view();
    ASSERT_TRUE(bravo || loaded.auth_root1 == saves[0].auth_root1.view()) << round;
    EXPECT_FALSE(fs::exists(file + ".bad")) << round;
    ++seen[bravo];
  }
  // Kills landed both after an old save and after a new one: some within saves, surely.
  EXPECT_TRUE(seen[0] > 0 && seen[1] > 0) << seen[0] << " old, " << seen[1] << " new";
}
}  // namespace
}  // namespace drovn::config
