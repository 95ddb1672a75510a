#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "platform/WirelessSwitch.h"

namespace drovn::platform {
namespace {

namespace fs = std::filesystem;

struct Radio {
  unsigned index;
  const char* type;
  bool soft, hard;  // blocked
};
// What else the class directory holds besides the radios.
enum class Extra { NoClass, None, Junk, ClassIsAFile, ClassLoops };

// A sysfs tree of the test's own, made the program's sysfs root while the test runs.
class RfkillTree : public testing::Test {
 protected:
  RfkillTree() {
    std::string name = (fs::temp_directory_path() / "drovn-sysfs-XXXXXX").string();
    if (::mkdtemp(name.data())) root_ = name;
    ::setenv(kSysfsRootVariable, root_.c_str(), 1);
  }
  ~RfkillTree() override {
    ::unsetenv(kSysfsRootVariable);
    std::error_code ec;
    fs::remove_all(root_, ec);
  }

  void make(const std::vector<Radio>& radios, Extra extra) {
    ASSERT_FALSE(root_.empty()) << "no temporary directory";
    const fs::path cls = classDir();
    fs::create_directories(cls.parent_path());
    if (extra == Extra::ClassIsAFile) std::ofstream(cls) << "x";
    if (extra == Extra::ClassLoops) fs::create_directory_symlink(cls, cls);
    if (extra == Extra::None || extra == Extra::Junk) fs::create_directory(cls);
    if (extra == Extra::Junk) {
      for (const char* junk : {"rfkillx", "rfkill", "power", "rfkill7"}) {
        fs::create_directory(cls / junk);  // rfkill7 has no type: not a device
      }
    }
    for (const Radio& r : radios) {
      const fs::path dir = cls / ("rfkill" + std::to_string(r.index));
      fs::create_directories(dir);
      std::ofstream(dir / "type") << r.type << "\n";  // as the kernel shows them
      std::ofstream(dir / "soft") << (r.soft ? "1\n" : "0\n");
      std::ofstream(dir / "hard") << (r.hard ? "1\n" : "0\n");
    }
  }
  fs::path classDir() const { return root_ / "class" / "rfkill"; }
  std::string soft(unsigned index) const {
    std::ifstream in(classDir() / ("rfkill" + std::to_string(index)) / "soft");
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
  }

  fs::path root_;
  RfkillWirelessSwitch wireless;
};

struct StateCase {
  const char* name;
  std::vector<Radio> radios;
  Extra extra;
  std::optional<bool> on;
};

class RfkillState : public RfkillTree, public testing::WithParamInterface<StateCase> {};

TEST_P(RfkillState, TheLastRegisteredWirelessLanRadioAnswers) {
  make(GetParam().radios, GetParam().extra);
  EXPECT_EQ(wireless.isOn(), GetParam().on);
}

INSTANTIATE_TEST_SUITE_P(
    Trees, RfkillState,
    testing::Values(
        StateCase{"NoClass", {}, Extra::NoClass, std::nullopt},
        StateCase{"EmptyClass", {}, Extra::None, std::nullopt},
        StateCase{"ClassIsAFile", {}, Extra::ClassIsAFile, std::nullopt},
        StateCase{"ClassLoops", {}, Extra::ClassLoops, std::nullopt},
        StateCase{"BluetoothOnly", {{0, "bluetooth", false, false}}, Extra::None, std::nullopt},
        StateCase{"On", {{0, "wlan", false, false}}, Extra::None, true},
        StateCase{"SoftBlocked", {{0, "wlan", true, false}}, Extra::None, false},
        StateCase{"HardBlocked", {{0, "wlan", false, true}}, Extra::None, false},
        // Index order, not name order: rfkill10 came after rfkill2.
        StateCase{"IndexOrder",
                  {{10, "wlan", false, false}, {2, "wlan", true, false}},
                  Extra::Junk,
                  true},
        StateCase{
            "LastIsOff", {{0, "wlan", false, false}, {1, "wlan", true, false}}, Extra::None, false},
        StateCase{"OtherRadiosDoNotAnswer",
                  {{0, "wlan", true, false}, {1, "bluetooth", false, false}},
                  Extra::None,
                  false}),
    [](const auto& p) { return std::string(p.param.name); });

struct SwitchCase {
  const char* name;
  std::vector<Radio> radios;
  Extra extra;
  bool to;
  bool result;
  std::vector<std::string> softAfter;  // rfkill0, rfkill1, ... as written
  std::optional<bool> onAfter;
};

class RfkillSwitch : public RfkillTree, public testing::WithParamInterface<SwitchCase> {};

TEST_P(RfkillSwitch, EveryWirelessLanSoftSwitchAndNothingElse) {
  const SwitchCase& c = GetParam();
  make(c.radios, c.extra);
  EXPECT_EQ(wireless.setOn(c.to), c.result);
  for (unsigned i = 0; i < c.softAfter.size(); ++i) EXPECT_EQ(soft(i), c.softAfter[i]) << i;
  EXPECT_EQ(wireless.isOn(), c.onAfter);
}

INSTANTIATE_TEST_SUITE_P(
    Trees, RfkillSwitch,
    testing::Values(SwitchCase{"On",
                               {{0, "wlan", true, false},
                                {1, "bluetooth", true, false},
                                {2, "wlan", true, false}},
                               Extra::None,
                               true,
                               true,
                               {"0\n", "1\n", "0\n"},
                               true},
                    SwitchCase{"Off",
                               {{0, "wlan", false, false}, {1, "bluetooth", false, false}},
                               Extra::None,
                               false,
                               true,
                               {"1\n", "0\n"},
                               false},
                    SwitchCase{"HardBlockedStaysOff",
                               {{0, "wlan", true, true}},
                               Extra::None,
                               true,
                               true,
                               {"0\n"},
                               false},
                    SwitchCase{"NoClass", {}, Extra::NoClass, true, true, {}, std::nullopt},
                    SwitchCase{"ClassLoops", {}, Extra::ClassLoops, true, false, {}, std::nullopt}),
    [](const auto& p) { return std::string(p.param.name); });

TEST_F(RfkillTree, ASwitchThatWentAwayFailsAndIsNotMade) {
  make({{0, "wlan", true, false}}, Extra::None);
  fs::remove(classDir() / "rfkill0" / "soft");
  EXPECT_FALSE(wireless.setOn(true));
  EXPECT_FALSE(fs::exists(classDir() / "rfkill0" / "soft"));
}

}  // namespace
}  // namespace drovn::platform
