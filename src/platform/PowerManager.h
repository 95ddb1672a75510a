// The machine's power manager as the shell sees it: asking that a device stay powered (the
// display backlight while the service runs) and the idle timer. On Linux a requirement is a
// systemd-logind "idle" inhibitor lock taken over the system bus.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "platform/WirelessLibrary.h"

namespace drovn::platform {

// Device power states, from full on (D0) to off (D4).
enum class DevicePowerState : int32_t { D0 = 0, D1 = 1, D2 = 2, D3 = 3, D4 = 4 };

// Flag of setPowerRequirement: the device is given by its name ("BKL1:").
inline constexpr uint32_t kPowerByName = 1;

// A held power requirement. Destroying it releases the requirement; there is no other release.
class PowerRequirement {
 public:
  virtual ~PowerRequirement() = default;
};

class PowerManager {
 public:
  virtual ~PowerManager() = default;

  // Asks that `device` stay at least in `state` until the returned requirement is destroyed.
  // deviceFlags must hold kPowerByName; there is no system state to name, and `flags` is 0.
  // Null when the machine refused or cannot hold such a requirement: nothing is then held and
  // there is nothing to release.
  virtual std::unique_ptr<PowerRequirement> setPowerRequirement(std::string_view device,
                                                                DevicePowerState state,
                                                                uint32_t deviceFlags,
                                                                uint32_t flags) = 0;
  // Tells the power manager the device is in use, so its idle timer starts over. Never fails
  // (a machine without an idle timer ignores it).
  virtual void resetIdleTimer() = 0;
};

// The Linux power manager. A requirement for D0 or D1 is an "idle" inhibitor lock of
// systemd-logind ("block" mode), held as the lock's descriptor: destroying the requirement
// closes it, which ends the lock. D2 and lower need nothing held and give null, as does a
// machine without a system bus or logind (or a build without libsystemd). The bus is opened for
// each request and closed again, so nothing is kept between calls; a request waits at most
// kLogindCallTimeoutMs for logind's answer.
//
// resetIdleTimer does nothing: logind keeps no idle timer a program could restart. Its idle
// hint belongs to the seat's session and is set by the desktop from the operator's input; the
// inhibitor lock is what keeps the machine from idling while the service runs. A bus round trip
// for every batch of log lines would only slow the main thread.
class LogindPowerManager final : public PowerManager {
 public:
  static constexpr uint32_t kLogindCallTimeoutMs = 2000;

  std::unique_ptr<PowerRequirement> setPowerRequirement(std::string_view device,
                                                        DevicePowerState state,
                                                        uint32_t deviceFlags,
                                                        uint32_t flags) override;
  void resetIdleTimer() override {}
  // False in a build without libsystemd: every requirement is then null.
  static bool builtWithLogind() noexcept;
};

// What the shell's power control takes from the machine: the power manager and the loader of
// the wireless manager library.
struct PowerDevices {
  PowerManager& power;
  LibraryLoader& libraries;
};

}  // namespace drovn::platform
