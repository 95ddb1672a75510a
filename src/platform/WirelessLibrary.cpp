#include "platform/WirelessLibrary.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <filesystem>
#include <new>
#include <string>
#include <system_error>
#include <vector>

namespace drovn::platform {

struct Module {
  std::string_view name;
};

namespace {

constexpr Module kWirelessModule{kWirelessLibraryName};
constexpr std::string_view kRfkillPrefix = "rfkill";

bool equalsAsciiNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
    if (lower(a[i]) != lower(b[i])) return false;
  }
  return true;
}

std::string rfkillClassDir() {
  const char* root = std::getenv(kSysfsRootVariable);
  std::string dir = root && *root ? root : "/sys";
  dir += "/class/rfkill";
  return dir;
}

// "rfkillN" gives N.
bool parseRfkillName(std::string_view name, uint32_t& index) {
  if (name.size() <= kRfkillPrefix.size() || name.substr(0, kRfkillPrefix.size()) != kRfkillPrefix)
    return false;
  const std::string_view digits = name.substr(kRfkillPrefix.size());
  if (!std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; }))
    return false;
  const auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), index);
  return ec == std::errc() && end == digits.data() + digits.size();
}

// The first line of a small attribute file, without its line end. False when it cannot be read.
bool readAttribute(const std::string& path, FixedText<64>& out) {
  int fd;
  do {
    fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return false;
  char buf[64];
  ssize_t n;
  do {
    n = ::read(fd, buf, sizeof buf - 1);
  } while (n < 0 && errno == EINTR);
  // Read only: a failing close loses nothing.
  static_cast<void>(::close(fd));
  if (n < 0) return false;
  std::string_view text(buf, static_cast<std::size_t>(n));
  text = text.substr(0, text.find_first_of("\r\n"));
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  out.assign(text);
  return true;
}

bool writeAttribute(const std::string& path, std::string_view value) {
  int fd;
  do {
    fd = ::open(path.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return false;
  bool ok = true;
  while (!value.empty()) {
    const ssize_t n = ::write(fd, value.data(), value.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      ok = false;
      break;
    }
    value.remove_prefix(static_cast<std::size_t>(n));
  }
  // sysfs takes the value in write(); close can still report a failed write-back elsewhere.
  if (::close(fd) != 0 && errno != EINTR) ok = false;
  return ok;
}

uint32_t radioType(std::string_view rfkillType) {
  if (rfkillType == "wlan") return kRadioTypeWlan;
  if (rfkillType == "wwan") return kRadioTypePhone;
  if (rfkillType == "bluetooth") return kRadioTypeBluetooth;
  return kRadioTypeOther;
}

bool isBlocked(const std::string& path) {
  FixedText<64> value;
  return readAttribute(path, value) && value == "1";
}

void freeDeviceList(RadioDevice* devices) {
  while (devices) {
    RadioDevice* next = devices->next;
    delete devices;
    devices = next;
  }
}

uint32_t getWirelessDevices(RadioDevice** devices, uint32_t flags) {
  if (!devices) return kRadioInvalidArgument;
  *devices = nullptr;
  if (flags != 0) return kRadioInvalidArgument;
  RadioDevice* first = nullptr;
  try {
    const std::string classDir = rfkillClassDir();
    std::error_code ec;
    std::filesystem::directory_iterator it(classDir, ec);
    if (ec) {
      // No rfkill class: a machine without radio switches.
      const bool absent =
          ec == std::errc::no_such_file_or_directory || ec == std::errc::not_a_directory;
      return absent ? kRadioOk : kRadioFailed;
    }
    std::vector<uint32_t> indices;
    for (; it != std::filesystem::directory_iterator(); it.increment(ec)) {
      uint32_t index = 0;
      if (parseRfkillName(it->path().filename().native(), index)) indices.push_back(index);
    }
    if (ec) return kRadioFailed;
    // Directory order is arbitrary; the index order is the kernel's order of registration.
    std::sort(indices.begin(), indices.end());

    RadioDevice** tail = &first;
    for (const uint32_t index : indices) {
      const std::string dir = classDir + "/" + std::string(kRfkillPrefix) + std::to_string(index);
      FixedText<64> type;
      if (!readAttribute(dir + "/type", type)) continue;  // gone meanwhile, or not a device
      auto* device = new RadioDevice;
      *tail = device;
      tail = &device->next;
      device->rfkillIndex = index;
      device->deviceType = radioType(type.view());
      device->radioState =
          isBlocked(dir + "/soft") || isBlocked(dir + "/hard") ? kRadioOff : kRadioOn;
      device->desiredState = device->radioState;
      if (!device->directory.assign(dir)) {
        // A path that does not fit cannot be switched: the whole listing fails rather than
        // hand out a record that writes somewhere else.
        freeDeviceList(first);
        return kRadioFailed;
      }
    }
  } catch (const std::bad_alloc&) {
    freeDeviceList(first);
    return kRadioOutOfMemory;
  } catch (...) {
    freeDeviceList(first);
    return kRadioFailed;
  }
  *devices = first;
  return kRadioOk;
}

uint32_t changeRadioState(RadioDevice* device, uint32_t state, uint32_t saveAction) {
  if (!device || (state != kRadioOn && state != kRadioOff) || saveAction != kRadioSaveAction)
    return kRadioInvalidArgument;
  device->desiredState = state;
  try {
    const std::string soft = std::string(device->directory.view()) + "/soft";
    return writeAttribute(soft, state == kRadioOn ? "0\n" : "1\n") ? kRadioOk : kRadioFailed;
  } catch (const std::bad_alloc&) {
    return kRadioOutOfMemory;
  }
}

}  // namespace

const Module* BuiltinLibraryLoader::load(std::string_view name) {
  return equalsAsciiNoCase(name, kWirelessModule.name) ? &kWirelessModule : nullptr;
}

ProcAddress BuiltinLibraryLoader::procAddress(const Module* module, uint16_t ordinal) {
  if (module != &kWirelessModule) return nullptr;
  // Each is cast back to its own type by the caller before the call.
  switch (ordinal) {
    case kOrdinalGetWirelessDevices:
      return reinterpret_cast<ProcAddress>(static_cast<GetWirelessDevicesFn>(&getWirelessDevices));
    case kOrdinalChangeRadioState:
      return reinterpret_cast<ProcAddress>(static_cast<ChangeRadioStateFn>(&changeRadioState));
    case kOrdinalFreeDeviceList:
      return reinterpret_cast<ProcAddress>(static_cast<FreeDeviceListFn>(&freeDeviceList));
    default:
      return nullptr;
  }
}

}  // namespace drovn::platform
