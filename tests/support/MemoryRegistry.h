// A registry kept in memory, for services under test that load and save their settings without
// a registry file. Key paths and value names compare without regard to ASCII case, as the
// device's registry does.
#pragma once

#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/Registry.h"

namespace drovn::test {

class MemoryRegistry final : public platform::Registry {
 public:
  std::error_code createKey(std::string_view path, Access access,
                            std::unique_ptr<platform::RegistryKey>& out) override;
  // The data bytes stored under the key path and value name, if any.
  std::optional<std::string> stored(std::string_view path, std::string_view name);

 private:
  class Key;
  std::mutex m_;
  // Type and data by key path and value name, in lower case.
  std::map<std::string, std::pair<uint32_t, std::vector<uint8_t>>> values_;
};

}  // namespace drovn::test
