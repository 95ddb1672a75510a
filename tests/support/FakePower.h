// The machine's awake hold and wireless switch in memory, so shell tests see what was asked and
// never change the machine they run on. There is no wireless LAN adapter.
#pragma once

#include <optional>

#include "platform/AwakeHold.h"
#include "platform/WirelessSwitch.h"
#include "shell/PowerControl.h"

namespace drovn::test {

struct FakePower final : platform::AwakeHold, platform::WirelessSwitch {
  bool hold() override {
    ++holds;
    return held = !refuseHold;
  }
  void release() override { held = false; }
  std::optional<bool> isOn() override { return std::nullopt; }
  bool setOn(bool) override { return false; }
  shell::PowerDevices devices() { return {*this, *this}; }

  bool refuseHold = false;
  bool held = false;
  int holds = 0;
};

}  // namespace drovn::test
