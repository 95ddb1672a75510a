// A registry kept in memory, for services under test that load and save their settings without
// a registry file. Key paths and value names compare without regard to ASCII case, as the
// device's registry does.
#pragma once

#include <cerrno>
#include <cstring>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/ErrorCodes.h"
#include "platform/Registry.h"

namespace drovn::test {

class MemoryRegistry final : public platform::Registry {
 public:
  std::error_code createKey(std::string_view path, Access access,
                            std::unique_ptr<platform::RegistryKey>& out) override {
    out = std::make_unique<Key>(*this, path, access);
    return {};
  }
  // The data bytes stored under the key path and value name, if any.
  std::optional<std::string> stored(std::string_view path, std::string_view name) {
    std::scoped_lock lock(m_);
    const auto it = values_.find(id(path, name));
    if (it == values_.end()) return std::nullopt;
    return std::string(it->second.second.begin(), it->second.second.end());
  }

 private:
  class Key final : public platform::RegistryKey {
   public:
    Key(MemoryRegistry& owner, std::string_view path, Access access)
        : owner_(owner), path_(path), writable_(access == Access::Write) {}

    std::error_code queryValue(std::string_view name, uint32_t& type, uint8_t* data,
                               uint32_t& size) override {
      std::scoped_lock lock(owner_.m_);
      const auto it = owner_.values_.find(id(path_, name));
      if (it == owner_.values_.end()) return platform::errnoError(ENOENT);
      const auto& [storedType, bytes] = it->second;
      const bool fits = bytes.size() <= size;
      if (fits && !bytes.empty()) std::memcpy(data, bytes.data(), bytes.size());
      type = storedType;
      size = static_cast<uint32_t>(bytes.size());
      return fits ? std::error_code() : platform::errnoError(EOVERFLOW);
    }
    std::error_code setValue(std::string_view name, uint32_t type, const uint8_t* data,
                             uint32_t size) override {
      if (!writable_) return platform::errnoError(EACCES);
      std::scoped_lock lock(owner_.m_);
      owner_.values_[id(path_, name)] = {type, std::vector<uint8_t>(data, data + size)};
      return {};
    }

   private:
    MemoryRegistry& owner_;
    const std::string path_;
    const bool writable_;
  };

  static std::string id(std::string_view path, std::string_view name) {  // in lower case
    std::string key = std::string(path) + '\\' + std::string(name);
    for (char& c : key) c = c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
    return key;
  }

  std::mutex m_;
  std::map<std::string, std::pair<uint32_t, std::vector<uint8_t>>> values_;  // type, data by id
};

}  // namespace drovn::test
