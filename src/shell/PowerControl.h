// Keeps the device reachable while the service runs: the display backlight and the wireless
// adapter. Every call comes from the main thread.
#pragma once

namespace drovn::shell {

class PowerControl {
 public:
  // TODO(#5): hold the backlight ("BKL1:" in D0) while the service runs with opt_keepLightOn
  // set, release it when the service stops, and log both changes.
  void updateBacklight() {}
  // TODO(#5): release a backlight requirement still held when the loop has ended.
  void restoreBacklightAtExit() {}
  // TODO(#5): switch the wireless adapter on when the device has no address and no manual
  // binding is set. Gives true when this call switched it on.
  bool switchWifiOn(bool deviceHasAddress) {
    static_cast<void>(deviceHasAddress);
    return false;
  }
  // TODO(#5): switch the adapter off again if switchWifiOn switched it on.
  void switchWifiOff() {}
  // TODO(#5): keep the device from suspending (the platform idle timer).
  void resetIdleTimer() {}
};

}  // namespace drovn::shell
