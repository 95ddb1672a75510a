// A registry kept in memory, for services under test that load and save their settings without
// a registry file. Key paths and value names compare without regard to ASCII case, as the
// device's registry does.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "platform/Registry.h"

namespace drovn::test {

class MemoryRegistry final : public platform::Registry {
 public:
  uint32_t createKey(std::string_view path, Access access,
                     std::unique_ptr<platform::RegistryKey>& out) override;

 private:
  class Key;
  struct Value {
    uint32_t type = platform::kRegSz;
    std::vector<uint8_t> data;
  };

  std::mutex m_;
  std::map<std::string, Value> values_;  // by key path and value name, in lower case
};

}  // namespace drovn::test
