// A sysfs tree of rfkill switches in a temporary directory, made the program's sysfs root for
// as long as it lives, so the wireless library sees exactly the radios a test gives it.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace drovn::test {

class FakeRfkill {
 public:
  // The tree starts without the rfkill class: a machine without radio switches.
  FakeRfkill();
  // Puts the earlier sysfs root back and removes the tree.
  ~FakeRfkill();
  FakeRfkill(const FakeRfkill&) = delete;
  FakeRfkill& operator=(const FakeRfkill&) = delete;

  // /class/rfkill, empty.
  void addClass();
  // /class/rfkill/rfkillN with its type, soft and hard files (the class is made if needed).
  void addDevice(uint32_t index, std::string_view type, bool softBlocked, bool hardBlocked);
  // The text of rfkillN's soft switch, as last written.
  std::string soft(uint32_t index) const;
  std::filesystem::path deviceDir(uint32_t index) const;
  const std::filesystem::path& root() const noexcept { return root_; }

 private:
  std::filesystem::path root_;
  std::optional<std::string> previousRoot_;
};

}  // namespace drovn::test
