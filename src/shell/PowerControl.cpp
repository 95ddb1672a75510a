#include "shell/PowerControl.h"

#include <optional>
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
      // Logged even when the machine refused: the operator asked for it, and the request is
      // followed as if held (its release then releases nothing).
      static_cast<void>(parts_.devices.awake.hold());
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
  parts_.devices.awake.release();
}

bool PowerControl::switchWifiOn(bool deviceHasAddress) {
  if (parts_.wifiSwitchedOn || !parts_.service || deviceHasAddress) return false;
  // A fixed binding is left alone.
  if (parts_.settings.snapshot().use_manualip) return false;

  const std::optional<bool> on = parts_.devices.wireless.isOn();
  if (!on) {
    log(kNoWifiLine);
    return false;
  }
  if (*on) return false;  // already on: not ours to switch off later

  log(kWifiOnStartLine);
  if (parts_.showLog) parts_.showLog();
  // The outcome is not looked at: the adapter powers up in its own time, and the listener
  // waits for an address either way.
  static_cast<void>(parts_.devices.wireless.setOn(true));
  parts_.wifiSwitchedOn = true;
  log(kWifiOnDoneLine);
  if (parts_.showLog) parts_.showLog();
  return true;
}

void PowerControl::switchWifiOff() {
  if (!parts_.wifiSwitchedOn) return;
  log(kWifiOffStartLine);
  // Nothing is left to do if the adapter refuses: the program is closing.
  static_cast<void>(parts_.devices.wireless.setOn(false));
  parts_.wifiSwitchedOn = false;
  log(kWifiOffDoneLine);
}

}  // namespace drovn::shell
