// The machine's awake hold and wireless switch in memory, so shell tests see what was asked and
// never change the machine they run on.
#pragma once

#include <functional>
#include <optional>
#include <vector>

#include "platform/AwakeHold.h"
#include "platform/WirelessSwitch.h"
#include "shell/PowerControl.h"

namespace drovn::test {

struct FakePower final : platform::AwakeHold, platform::WirelessSwitch {
  bool hold() override {
    ++holds;
    held = !refuseHold;
    return held;
  }
  void release() override { held = false; }
  std::optional<bool> isOn() override { return wlanOn; }
  bool setOn(bool on) override {
    if (onSwitch) onSwitch();
    switched.push_back(on);
    if (wlanOn && !refuseSwitch) wlanOn = on;
    return !refuseSwitch;
  }
  shell::PowerDevices devices() { return {*this, *this}; }

  bool refuseHold = false;
  bool held = false;
  int holds = 0;
  std::optional<bool> wlanOn;  // nullopt: no wireless LAN adapter
  bool refuseSwitch = false;
  std::vector<bool> switched;      // every setOn, in order
  std::function<void()> onSwitch;  // called as each setOn begins
};

}  // namespace drovn::test
