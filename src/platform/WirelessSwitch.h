// The wireless LAN adapter's on/off switch, which the shell uses to bring a machine without an
// address onto the network. On Linux it is the rfkill switch of each "wlan" device under
// /sys/class/rfkill; DROVN_SYSFS_ROOT moves the sysfs root, so tests can give a tree of their own.
#pragma once

#include <optional>

namespace drovn::platform {

// The environment variable that moves the sysfs root ("/sys" without it).
inline constexpr const char* kSysfsRootVariable = "DROVN_SYSFS_ROOT";

class WirelessSwitch {
 public:
  virtual ~WirelessSwitch() = default;
  // Whether the wireless LAN adapter is on (neither soft- nor hard-blocked); nullopt when the
  // machine has none or its switches cannot be listed. With several adapters the one the
  // kernel registered last answers, so one answer comes from one listing.
  virtual std::optional<bool> isOn() = 0;
  // Switches every wireless LAN adapter on or off; other radios are left alone. True when every
  // adapter's switch took the value (also when there is none). A hard-blocked radio stays off
  // whatever is written, so look again with isOn() to see the outcome.
  virtual bool setOn(bool on) = 0;
};

// Lists the switches afresh on each call: an adapter may come or go while the program runs.
class RfkillWirelessSwitch final : public WirelessSwitch {
 public:
  std::optional<bool> isOn() override;
  bool setOn(bool on) override;
};

}  // namespace drovn::platform
