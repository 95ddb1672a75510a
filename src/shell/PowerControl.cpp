#include "shell/PowerControl.h"

#include <utility>

namespace drovn::shell {

namespace {

constexpr const char* kBacklightHeldLine = "已禁用自动关屏 屏幕会一直亮着";
constexpr const char* kBacklightRestoredLine = "已恢复自动关屏";
constexpr const char* kNoWifiLine = "未找到WIFI设备";
constexpr const char* kWifiOnStartLine = "开启WIFI...";
constexpr const char* kWifiOnDoneLine = "WIFI已开启.";
constexpr const char* kWifiOffStartLine = "关闭WIFI...";
constexpr const char* kWifiOffDoneLine = "WIFI已关闭.";

// A device list of the wireless library, freed by the library's own function.
class DeviceList {
 public:
  DeviceList(platform::FreeDeviceListFn freeList, platform::RadioDevice* first) noexcept
      : freeList_(freeList), first_(first) {}
  ~DeviceList() {
    if (first_) freeList_(first_);
  }
  DeviceList(const DeviceList&) = delete;
  DeviceList& operator=(const DeviceList&) = delete;
  platform::RadioDevice* first() const noexcept { return first_; }

 private:
  platform::FreeDeviceListFn freeList_;
  platform::RadioDevice* first_;
};

}  // namespace

PowerControl::PowerControl(Parts parts) : parts_(std::move(parts)) {}

void PowerControl::log(const char* utf8) {
  if (parts_.service) parts_.service->logChannel().writeUtf8(utf8);
}

void PowerControl::updateBacklight() {
  const bool running = parts_.service && parts_.service->running();
  if (running) {
    if (!backlightRequest_ && parts_.settings.snapshot().opt_keepLightOn) {
      backlightRequest_ = true;
      backlightHeld_ = parts_.devices.power.setPowerRequirement(
          kBacklightDevice, platform::DevicePowerState::D0, platform::kPowerByName, 0);
      // Logged even when the platform gave no handle: the operator asked for it and the
      // requirement is followed as if held.
      log(kBacklightHeldLine);
    }
    return;
  }
  if (backlightRequest_) {
    releaseBacklight();
    log(kBacklightRestoredLine);  // nothing when the controller is gone
  }
}

void PowerControl::restoreBacklightAtExit() {
  if (!backlightRequest_) return;
  releaseBacklight();
  log(kBacklightRestoredLine);
}

void PowerControl::releaseBacklight() {
  backlightRequest_ = false;
  backlightHeld_.reset();  // releases the requirement, if one was obtained
}

void PowerControl::resetIdleTimer() {
  parts_.devices.power.resetIdleTimer();
}

bool PowerControl::switchWifiOn(bool deviceHasAddress) {
  if (parts_.wifiSwitchedOn || !parts_.service || deviceHasAddress) return false;
  // A fixed binding is left alone.
  if (parts_.settings.snapshot().use_manualip) return false;

  const uint32_t state = loadWirelessLibrary() ? queryWlanState() : kNoWlanAdapter;
  if (state == kNoWlanAdapter) {
    log(kNoWifiLine);
    return false;
  }
  if (state == platform::kRadioOn) return false;  // already on: not ours to switch off later

  log(kWifiOnStartLine);
  if (parts_.showLog) parts_.showLog();
  setWlanState(platform::kRadioOn);
  parts_.wifiSwitchedOn = true;
  log(kWifiOnDoneLine);
  if (parts_.showLog) parts_.showLog();
  return true;
}

void PowerControl::switchWifiOff() {
  if (!parts_.wifiSwitchedOn) return;
  log(kWifiOffStartLine);
  setWlanState(platform::kRadioOff);
  parts_.wifiSwitchedOn = false;
  log(kWifiOffDoneLine);
}

bool PowerControl::loadWirelessLibrary() {
  if (!wireless_.tried) {
    wireless_.tried = true;
    platform::LibraryLoader& loader = parts_.devices.libraries;
    const platform::Module* module = loader.load(platform::kWirelessLibraryName);
    if (!module) return false;
    const auto getDevices = loader.procAddress(module, platform::kOrdinalGetWirelessDevices);
    const auto changeState = loader.procAddress(module, platform::kOrdinalChangeRadioState);
    const auto freeList = loader.procAddress(module, platform::kOrdinalFreeDeviceList);
    // All three or none: a library missing one function is not used at all.
    if (getDevices && changeState && freeList) {
      // Each ordinal's function has exactly this type.
      wireless_.getDevices = reinterpret_cast<platform::GetWirelessDevicesFn>(getDevices);
      wireless_.changeState = reinterpret_cast<platform::ChangeRadioStateFn>(changeState);
      wireless_.freeList = reinterpret_cast<platform::FreeDeviceListFn>(freeList);
    }
  }
  return wireless_.usable();
}

uint32_t PowerControl::queryWlanState() {
  platform::RadioDevice* first = nullptr;
  if (wireless_.getDevices(&first, 0) != platform::kRadioOk) return kNoWlanAdapter;
  const DeviceList list(wireless_.freeList, first);
  uint32_t state = kNoWlanAdapter;
  for (const platform::RadioDevice* d = list.first(); d; d = d->next) {
    if (d->deviceType == platform::kRadioTypeWlan) state = d->radioState;
  }
  return state;
}

void PowerControl::setWlanState(uint32_t state) {
  if (!wireless_.usable()) return;
  platform::RadioDevice* first = nullptr;
  if (wireless_.getDevices(&first, 0) != platform::kRadioOk) return;
  const DeviceList list(wireless_.freeList, first);
  for (platform::RadioDevice* d = list.first(); d; d = d->next) {
    if (d->deviceType != platform::kRadioTypeWlan) continue;
    // The outcome is not looked at: the adapter powers up or down in its own time.
    static_cast<void>(wireless_.changeState(d, state, platform::kRadioSaveAction));
  }
}

}  // namespace drovn::shell
