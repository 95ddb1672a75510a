// Keeps the device reachable while the service runs: the backlight keeper holds the display
// backlight ("BKL1:" in D0) while the running service wants it (opt_keepLightOn), and the
// wireless switch powers the wireless LAN adapter on when the listener finds no address, and off
// again at Close if it was this program that switched it on. Every call comes from the main
// thread; the window makes one PowerControl, which lives as long as the process.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>

#include "config/Settings.h"
#include "core/ServiceController.h"
#include "platform/PowerManager.h"
#include "platform/WirelessLibrary.h"

namespace drovn::shell {

inline constexpr const char* kBacklightDevice = "BKL1:";
// The state queryWlanState gives when there is no wireless LAN adapter.
inline constexpr uint32_t kNoWlanAdapter = 999;

class PowerControl {
 public:
  // What the power control works with; the references must outlive it.
  struct Parts {
    platform::PowerDevices devices;
    config::SettingsStore& settings;
    // The window's service controller, null when there is none (after Close). Log lines go
    // through its log channel; without it nothing is logged.
    const std::shared_ptr<core::ServiceController>& service;
    // The window's flag: set while the adapter is on because this program switched it on.
    bool& wifiSwitchedOn;
    // Moves the pending log text into the list at once (the window's appendLogText).
    std::function<void()> showLog;
  };

  explicit PowerControl(Parts parts);

  // Follows the service: while it runs with opt_keepLightOn set, the backlight requirement is
  // held (logged once per hold, even when the platform gave no handle); once it no longer runs
  // the requirement is released and, while a service exists, that is logged. Clearing the
  // option while the service runs releases nothing.
  void updateBacklight();
  // After the message loop, with the service still there: releases a requirement still held,
  // whether or not the service runs, and logs it.
  void restoreBacklightAtExit();
  // Switches the adapter on when this program has not already done so, a service exists, the
  // device has no address and no manual binding is set. Shows its lines at once. True when this
  // call switched the adapter on.
  bool switchWifiOn(bool deviceHasAddress);
  // Switches the adapter off again if switchWifiOn switched it on. The caller shows the lines.
  void switchWifiOff();
  // Keeps the device from idling (the platform's idle timer).
  void resetIdleTimer();

  bool backlightRequest() const noexcept { return backlightRequest_; }
  bool backlightHeld() const noexcept { return backlightHeld_ != nullptr; }

 private:
  // The wireless manager library, loaded at most once: a failed load leaves it unusable.
  struct WirelessLibrary {
    bool tried = false;
    platform::GetWirelessDevicesFn getDevices = nullptr;
    platform::ChangeRadioStateFn changeState = nullptr;
    platform::FreeDeviceListFn freeList = nullptr;
    bool usable() const noexcept { return getDevices && changeState && freeList; }
  };

  void releaseBacklight();
  bool loadWirelessLibrary();
  // The state of the wireless LAN adapter (the last one listed wins), kNoWlanAdapter when there
  // is none or the devices cannot be listed.
  uint32_t queryWlanState();
  // Switches every wireless LAN adapter; the outcome is not looked at.
  void setWlanState(uint32_t state);
  void log(const char* utf8);

  Parts parts_;
  bool backlightRequest_ = false;
  std::unique_ptr<platform::PowerRequirement> backlightHeld_;
  WirelessLibrary wireless_;
};

}  // namespace drovn::shell
