// Keeps the machine reachable while the service runs: it holds the machine awake while the
// running service wants it (opt_keepLightOn), and powers the wireless LAN adapter on when the
// listener finds no address, and off again at Close if it was this program that switched it on.
// Every call comes from the main thread; the window makes one PowerControl, which lives as long as
// the process.
#pragma once

#include <functional>
#include <memory>

#include "config/Settings.h"
#include "core/ServiceController.h"
#include "platform/AwakeHold.h"
#include "platform/WirelessSwitch.h"

namespace drovn::shell {

// What the power control switches on the machine; the references must outlive it.
struct PowerDevices {
  platform::AwakeHold& awake;
  platform::WirelessSwitch& wireless;
};

class PowerControl {
 public:
  // What the power control works with; the references must outlive it.
  struct Parts {
    PowerDevices devices;
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

  // Follows the service: while it runs with opt_keepLightOn set, the machine is held awake
  // (logged once per hold, even when the machine refused it); once it no longer runs the hold
  // is released and, while a service exists, that is logged. Clearing the option while the
  // service runs releases nothing.
  void updateBacklight();
  // After the message loop, with the service still there: releases a hold still wanted,
  // whether or not the service runs, and logs it.
  void restoreBacklightAtExit();
  // Switches the adapter on when this program has not already done so, a service exists, the
  // machine has no address and no manual binding is set. Shows its lines at once. True when
  // this call switched the adapter on.
  bool switchWifiOn(bool deviceHasAddress);
  // Switches the adapter off again if switchWifiOn switched it on. The caller shows the lines.
  void switchWifiOff();

 private:
  void releaseBacklight();
  void log(const char* utf8);

  Parts parts_;
  bool backlightRequest_ = false;  // the running service wants the machine held awake
};

}  // namespace drovn::shell
