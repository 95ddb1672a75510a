#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "platform/WirelessLibrary.h"
#include "support/FakeRfkill.h"

namespace drovn::platform {
namespace {

class WirelessLibraryTest : public testing::Test {
 protected:
  void SetUp() override {
    module = loader.load(kWirelessLibraryName);
    ASSERT_NE(module, nullptr);
    getDevices = reinterpret_cast<GetWirelessDevicesFn>(
        loader.procAddress(module, kOrdinalGetWirelessDevices));
    changeState =
        reinterpret_cast<ChangeRadioStateFn>(loader.procAddress(module, kOrdinalChangeRadioState));
    freeList =
        reinterpret_cast<FreeDeviceListFn>(loader.procAddress(module, kOrdinalFreeDeviceList));
    ASSERT_NE(getDevices, nullptr);
    ASSERT_NE(changeState, nullptr);
    ASSERT_NE(freeList, nullptr);
  }

  struct Listed {
    uint32_t index;
    uint32_t type;
    uint32_t state;
  };
  // Lists the devices, copies what matters and frees the list with the library's function.
  std::vector<Listed> list() {
    RadioDevice sentinel;
    RadioDevice* first = &sentinel;  // must be overwritten
    EXPECT_EQ(getDevices(&first, 0), kRadioOk);
    std::vector<Listed> out;
    for (const RadioDevice* d = first; d; d = d->next) {
      out.push_back({d->rfkillIndex, d->deviceType, d->radioState});
    }
    freeList(first);
    return out;
  }

  test::FakeRfkill sysfs;
  BuiltinLibraryLoader loader;
  const Module* module = nullptr;
  GetWirelessDevicesFn getDevices = nullptr;
  ChangeRadioStateFn changeState = nullptr;
  FreeDeviceListFn freeList = nullptr;
};

TEST_F(WirelessLibraryTest, TheLibraryIsFoundByNameInAnyCaseAndOnlyItsOrdinalsExist) {
  EXPECT_EQ(loader.load("OSSVCS.DLL"), module);
  EXPECT_EQ(loader.load("ossvcs"), nullptr);
  EXPECT_EQ(loader.load("coredll.dll"), nullptr);
  EXPECT_EQ(loader.load(""), nullptr);
  for (const int ordinal : {0, 272, 274, 275, 277, 279, 281}) {
    EXPECT_EQ(loader.procAddress(module, static_cast<uint16_t>(ordinal)), nullptr) << ordinal;
  }
  EXPECT_EQ(loader.procAddress(nullptr, kOrdinalGetWirelessDevices), nullptr);
}

TEST_F(WirelessLibraryTest, WithoutTheRfkillClassThereAreNoDevices) {
  EXPECT_TRUE(list().empty());
  sysfs.addClass();
  EXPECT_TRUE(list().empty());
}

TEST_F(WirelessLibraryTest, AClassThatCannotBeReadFailsWithAnEmptyList) {
  // A file where the class directory should be counts as no rfkill at all; a class that is
  // there but cannot be listed is a failure.
  std::filesystem::create_directories(sysfs.root() / "class");
  { std::ofstream(sysfs.root() / "class" / "rfkill") << "x"; }
  EXPECT_TRUE(list().empty());
  std::filesystem::remove(sysfs.root() / "class" / "rfkill");
  std::filesystem::create_directory_symlink(sysfs.root() / "class" / "rfkill",
                                            sysfs.root() / "class" / "rfkill");  // a loop
  RadioDevice sentinel;
  RadioDevice* first = &sentinel;
  EXPECT_EQ(getDevices(&first, 0), kRadioFailed);
  EXPECT_EQ(first, nullptr);
}

TEST_F(WirelessLibraryTest, FlagsOtherThanZeroAreRefused) {
  sysfs.addDevice(0, "wlan", false, false);
  RadioDevice sentinel;
  RadioDevice* first = &sentinel;
  EXPECT_EQ(getDevices(&first, 1), kRadioInvalidArgument);
  EXPECT_EQ(first, nullptr);
  EXPECT_EQ(getDevices(nullptr, 0), kRadioInvalidArgument);
  freeList(nullptr);  // allowed, does nothing
}

struct DeviceCase {
  const char* type;
  bool soft;
  bool hard;
  uint32_t deviceType;
  uint32_t radioState;
};

class WirelessLibraryDevice : public WirelessLibraryTest,
                              public testing::WithParamInterface<DeviceCase> {};

TEST_P(WirelessLibraryDevice, TypeAndStateComeFromTheSwitch) {
  const DeviceCase& c = GetParam();
  sysfs.addDevice(3, c.type, c.soft, c.hard);
  const auto devices = list();
  ASSERT_EQ(devices.size(), 1u);
  EXPECT_EQ(devices[0].index, 3u);
  EXPECT_EQ(devices[0].type, c.deviceType);
  EXPECT_EQ(devices[0].state, c.radioState);
}

INSTANTIATE_TEST_SUITE_P(
    Switches, WirelessLibraryDevice,
    testing::Values(DeviceCase{"wlan", false, false, kRadioTypeWlan, kRadioOn},
                    DeviceCase{"wlan", true, false, kRadioTypeWlan, kRadioOff},
                    DeviceCase{"wlan", false, true, kRadioTypeWlan, kRadioOff},
                    DeviceCase{"wlan", true, true, kRadioTypeWlan, kRadioOff},
                    DeviceCase{"bluetooth", false, false, kRadioTypeBluetooth, kRadioOn},
                    DeviceCase{"wwan", true, false, kRadioTypePhone, kRadioOff},
                    DeviceCase{"nfc", false, false, kRadioTypeOther, kRadioOn}));

TEST_F(WirelessLibraryTest, DevicesComeInIndexOrderAndOtherEntriesAreSkipped) {
  sysfs.addDevice(10, "wlan", false, false);
  sysfs.addDevice(2, "bluetooth", true, false);
  sysfs.addDevice(0, "wlan", true, false);
  const auto classDir = sysfs.root() / "class" / "rfkill";
  std::filesystem::create_directory(classDir / "rfkillx");
  std::filesystem::create_directory(classDir / "rfkill");
  std::filesystem::create_directory(classDir / "power");
  std::filesystem::create_directory(classDir / "rfkill7");  // no type: not a device
  const auto devices = list();
  ASSERT_EQ(devices.size(), 3u);
  EXPECT_EQ(devices[0].index, 0u);
  EXPECT_EQ(devices[1].index, 2u);
  EXPECT_EQ(devices[2].index, 10u);
  EXPECT_EQ(devices[2].type, kRadioTypeWlan);
  EXPECT_EQ(devices[2].state, kRadioOn);
}

TEST_F(WirelessLibraryTest, SwitchingWritesTheSoftSwitchOfThatDeviceOnly) {
  sysfs.addDevice(0, "wlan", true, false);
  sysfs.addDevice(1, "wlan", true, false);
  RadioDevice* first = nullptr;
  ASSERT_EQ(getDevices(&first, 0), kRadioOk);
  ASSERT_NE(first, nullptr);
  std::unique_ptr<RadioDevice, FreeDeviceListFn> owner(first, freeList);

  EXPECT_EQ(changeState(first, kRadioOn, kRadioSaveAction), kRadioOk);
  EXPECT_EQ(sysfs.soft(0), "0\n");
  EXPECT_EQ(sysfs.soft(1), "1\n");
  EXPECT_EQ(first->desiredState, kRadioOn);
  EXPECT_EQ(first->radioState, kRadioOff);  // a record shows the state it was listed with
  EXPECT_EQ(list()[0].state, kRadioOn);

  EXPECT_EQ(changeState(first, kRadioOff, kRadioSaveAction), kRadioOk);
  EXPECT_EQ(sysfs.soft(0), "1\n");
  EXPECT_EQ(list()[0].state, kRadioOff);
}

TEST_F(WirelessLibraryTest, AHardBlockedRadioStaysOffAfterTheSwitch) {
  sysfs.addDevice(0, "wlan", true, true);
  RadioDevice* first = nullptr;
  ASSERT_EQ(getDevices(&first, 0), kRadioOk);
  std::unique_ptr<RadioDevice, FreeDeviceListFn> owner(first, freeList);
  EXPECT_EQ(changeState(first, kRadioOn, kRadioSaveAction), kRadioOk);
  EXPECT_EQ(sysfs.soft(0), "0\n");
  EXPECT_EQ(list()[0].state, kRadioOff);
}

TEST_F(WirelessLibraryTest, BadChangesTouchNothing) {
  sysfs.addDevice(0, "wlan", true, false);
  RadioDevice* first = nullptr;
  ASSERT_EQ(getDevices(&first, 0), kRadioOk);
  std::unique_ptr<RadioDevice, FreeDeviceListFn> owner(first, freeList);
  EXPECT_EQ(changeState(first, 2, kRadioSaveAction), kRadioInvalidArgument);
  EXPECT_EQ(changeState(first, kRadioOn, 0), kRadioInvalidArgument);
  EXPECT_EQ(changeState(nullptr, kRadioOn, kRadioSaveAction), kRadioInvalidArgument);
  EXPECT_EQ(sysfs.soft(0), "1\n");

  // The device went away after it was listed: the change fails and creates nothing.
  std::filesystem::remove_all(sysfs.deviceDir(0));
  EXPECT_EQ(changeState(first, kRadioOn, kRadioSaveAction), kRadioFailed);
  EXPECT_FALSE(std::filesystem::exists(sysfs.deviceDir(0)));
}

}  // namespace
}  // namespace drovn::platform
