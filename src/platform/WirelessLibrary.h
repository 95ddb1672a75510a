// Run-time libraries of the platform, loaded by name and called by ordinal, and the one this
// machine has: the wireless manager "ossvcs.dll", whose radio devices are the Linux rfkill
// switches under /sys/class/rfkill (the sysfs root moves with DROVN_SYSFS_ROOT, so tests can
// use a tree of their own).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "platform/FixedText.h"

namespace drovn::platform {

// A loaded library. Opaque; the loader keeps it for as long as the loader lives.
struct Module;
// A function taken from a library; cast it to its own type (below) before calling it.
using ProcAddress = void (*)();

class LibraryLoader {
 public:
  virtual ~LibraryLoader() = default;
  // The library of that name (ASCII letters in any case), null when there is none. Loading a
  // library twice gives the same module; modules are never unloaded.
  virtual const Module* load(std::string_view name) = 0;
  // The function at `ordinal`; null when the module has none there (or module is null).
  virtual ProcAddress procAddress(const Module* module, uint16_t ordinal) = 0;
};

// The libraries built into this program; there is no loading of code from files.
class BuiltinLibraryLoader final : public LibraryLoader {
 public:
  const Module* load(std::string_view name) override;
  ProcAddress procAddress(const Module* module, uint16_t ordinal) override;
};

// ---- The wireless manager library ----

inline constexpr std::string_view kWirelessLibraryName = "ossvcs.dll";
inline constexpr uint16_t kOrdinalGetWirelessDevices = 276;
inline constexpr uint16_t kOrdinalChangeRadioState = 273;
inline constexpr uint16_t kOrdinalFreeDeviceList = 280;

// The environment variable that moves the sysfs root ("/sys" without it).
inline constexpr const char* kSysfsRootVariable = "DROVN_SYSFS_ROOT";

// Device types.
inline constexpr uint32_t kRadioTypeOther = 0;
inline constexpr uint32_t kRadioTypeWlan = 1;       // rfkill type "wlan"
inline constexpr uint32_t kRadioTypePhone = 2;      // "wwan"
inline constexpr uint32_t kRadioTypeBluetooth = 3;  // "bluetooth"
// Radio states.
inline constexpr uint32_t kRadioOff = 0;
inline constexpr uint32_t kRadioOn = 1;
// The save action of a state change: keep the new state. rfkill keeps no state of its own
// across restarts, so the action is checked and otherwise has no effect.
inline constexpr uint32_t kRadioSaveAction = 1;

// Results of the library's functions.
inline constexpr uint32_t kRadioOk = 0;
inline constexpr uint32_t kRadioFailed = 0x80004005;           // E_FAIL
inline constexpr uint32_t kRadioInvalidArgument = 0x80070057;  // E_INVALIDARG
inline constexpr uint32_t kRadioOutOfMemory = 0x8007000E;      // E_OUTOFMEMORY

// One radio device as the library lists it. The radio state sits at byte offset 8 and the
// device type at 16, as callers of the library expect. The next pointer follows the type: at
// byte offset 20 where pointers have 32 bits, at 24 where they have 64 (the record keeps the
// natural alignment of a pointer rather than packing it misaligned). Callers reach the fields by
// name, never by offset. Everything after the next pointer is the library's own.
struct RadioDevice {
  uint32_t rfkillIndex = 0;     // 0: N of /sys/class/rfkill/rfkillN
  uint32_t reserved = 0;        // 4
  uint32_t radioState = 0;      // 8: 1 when neither soft- nor hard-blocked
  uint32_t desiredState = 0;    // 12: the state last asked for by a change
  uint32_t deviceType = 0;      // 16
  RadioDevice* next = nullptr;  // 20 or 24
  FixedText<4096> directory;    // the device's sysfs directory, where a change writes
};
static_assert(offsetof(RadioDevice, radioState) == 8);
static_assert(offsetof(RadioDevice, deviceType) == 16);
static_assert(offsetof(RadioDevice, next) == (sizeof(void*) == 4 ? 20 : 24));

// Ordinal 276: lists the radio devices into *devices (null when there are none), in rfkill
// index order; flags must be 0. A machine without the rfkill class has none: kRadioOk with an
// empty list. On any other failure *devices is null and nothing needs freeing. A device whose
// type cannot be read is left out.
using GetWirelessDevicesFn = uint32_t (*)(RadioDevice** devices, uint32_t flags);
// Ordinal 273: switches one device's radio on (1) or off (0) by writing its rfkill `soft`
// switch; saveAction must be kRadioSaveAction. A hard-blocked radio stays off whatever is
// written. kRadioOk once the switch took the value (the record's radioState is not changed:
// list the devices again to see the outcome).
using ChangeRadioStateFn = uint32_t (*)(RadioDevice* device, uint32_t state, uint32_t saveAction);
// Ordinal 280: frees a list given by 276 (null is allowed).
using FreeDeviceListFn = void (*)(RadioDevice* devices);

}  // namespace drovn::platform
