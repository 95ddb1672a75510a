#include "platform/WirelessSwitch.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <filesystem>
#include <new>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "platform/UniqueFd.h"

namespace drovn::platform {

namespace {

constexpr std::string_view kRfkillPrefix = "rfkill";

struct Radio {
  std::string dir;
  bool on;
};

// "rfkillN" gives N.
bool parseRfkillName(std::string_view name, unsigned& index) {
  if (name.size() <= kRfkillPrefix.size() || !name.starts_with(kRfkillPrefix)) return false;
  const std::string_view digits = name.substr(kRfkillPrefix.size());
  if (!std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; }))
    return false;
  const auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), index);
  return ec == std::errc() && end == digits.data() + digits.size();
}

// The first line of a small attribute file, without its line end and trailing blanks. False
// when it cannot be read.
// A descriptor for path, opened again when a signal interrupts the open.
UniqueFd openAttribute(const std::string& path, int flags) {
  int fd;
  do {
    fd = ::open(path.c_str(), flags | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  return UniqueFd(fd);
}

bool readAttribute(const std::string& path, std::string& out) {
  const UniqueFd fd = openAttribute(path, O_RDONLY);
  if (!fd) return false;
  char buf[64];
  ssize_t n;
  do {
    n = ::read(fd.get(), buf, sizeof buf);
  } while (n < 0 && errno == EINTR);
  if (n < 0) return false;
  std::string_view text(buf, static_cast<std::size_t>(n));
  text = text.substr(0, text.find_first_of("\r\n"));
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  out.assign(text);
  return true;
}

bool writeAttribute(const std::string& path, std::string_view value) {
  // No O_CREAT: a device that went away must not come back as a plain file.
  UniqueFd fd = openAttribute(path, O_WRONLY | O_TRUNC);
  if (!fd) return false;
  bool ok = true;
  while (!value.empty()) {
    const ssize_t n = ::write(fd.get(), value.data(), value.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      ok = false;
      break;
    }
    value.remove_prefix(static_cast<std::size_t>(n));
  }
  // The switch may report a refused value only at close.
  if (fd.close() != 0 && errno != EINTR) ok = false;
  return ok;
}

bool isBlocked(const std::string& path) {
  std::string value;
  return readAttribute(path, value) && value == "1";
}

// The wireless LAN radios in the kernel's order of registration (the index order). False when
// the rfkill class is there but cannot be listed; a machine without the class has none.
bool listWlanRadios(std::vector<Radio>& radios) {
  const char* root = std::getenv(kSysfsRootVariable);
  const std::string classDir = std::string(root && *root ? root : "/sys") + "/class/rfkill";
  std::error_code ec;
  std::filesystem::directory_iterator it(classDir, ec);
  if (ec) return ec == std::errc::no_such_file_or_directory || ec == std::errc::not_a_directory;
  std::vector<unsigned> indices;
  for (; it != std::filesystem::directory_iterator(); it.increment(ec)) {
    unsigned index = 0;
    if (parseRfkillName(it->path().filename().native(), index)) indices.push_back(index);
  }
  if (ec) return false;
  std::sort(indices.begin(), indices.end());
  for (const unsigned index : indices) {
    std::string dir = classDir + "/rfkill" + std::to_string(index);
    std::string type;
    // A device that cannot say its type is gone meanwhile, or not a device.
    if (!readAttribute(dir + "/type", type) || type != "wlan") continue;
    const bool on = !isBlocked(dir + "/soft") && !isBlocked(dir + "/hard");
    radios.push_back({std::move(dir), on});
  }
  return true;
}

}  // namespace

// Out of memory is one more way of not being able to list the switches.
std::optional<bool> RfkillWirelessSwitch::isOn() {
  try {
    std::vector<Radio> radios;
    if (!listWlanRadios(radios) || radios.empty()) return std::nullopt;
    return radios.back().on;
  } catch (const std::bad_alloc&) {
    return std::nullopt;
  }
}

bool RfkillWirelessSwitch::setOn(bool on) {
  try {
    std::vector<Radio> radios;
    if (!listWlanRadios(radios)) return false;
    bool all = true;
    for (const Radio& radio : radios) {
      if (!writeAttribute(radio.dir + "/soft", on ? "0\n" : "1\n")) all = false;
    }
    return all;
  } catch (const std::bad_alloc&) {
    return false;
  }
}

}  // namespace drovn::platform
