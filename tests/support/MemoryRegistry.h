// A registry kept in memory, for tests that load or save settings without a registry file. Key
// paths and value names compare without regard to ASCII case, as the device's registry does.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/Registry.h"

namespace drovn::test {

class MemoryRegistry final : public platform::Registry {
 public:
  struct Value {
    uint32_t type = platform::kRegSz;
    std::vector<uint8_t> data;
  };

  uint32_t createKey(std::string_view path, Access access,
                     std::unique_ptr<platform::RegistryKey>& out) override;

  // Direct access for tests, from any thread.
  void put(std::string_view path, std::string_view name, Value value);
  // The data bytes as a text (for code-page texts stored without a terminator).
  void putText(std::string_view path, std::string_view name, std::string_view bytes);
  std::optional<Value> get(std::string_view path, std::string_view name) const;
  std::vector<std::string> valueNames(std::string_view path) const;
  // Makes the next createKey calls fail with `error` (0: succeed again).
  void failCreateKey(uint32_t error);

 private:
  class Key;
  struct NoCase {
    bool operator()(const std::string& a, const std::string& b) const;
  };
  using Values = std::map<std::string, Value, NoCase>;

  mutable std::mutex m_;
  std::map<std::string, Values, NoCase> keys_;
  uint32_t createKeyError_ = 0;
};

}  // namespace drovn::test
