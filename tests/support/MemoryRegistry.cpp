#include "support/MemoryRegistry.h"

#include <cstring>

#include "platform/ErrorCodes.h"

namespace drovn::test {

namespace {

std::string lowerCaseName(std::string_view path, std::string_view name) {
  std::string key = std::string(path) + '\\' + std::string(name);
  for (char& c : key) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return key;
}

}  // namespace

class MemoryRegistry::Key final : public platform::RegistryKey {
 public:
  Key(MemoryRegistry& owner, std::string_view path, Access access)
      : owner_(owner), path_(path), access_(access) {}

  uint32_t queryValue(std::string_view name, uint32_t& type, uint8_t* data,
                      uint32_t& size) override {
    std::scoped_lock lock(owner_.m_);
    auto it = owner_.values_.find(lowerCaseName(path_, name));
    if (it == owner_.values_.end()) return platform::kErrorFileNotFound;
    const auto length = static_cast<uint32_t>(it->second.data.size());
    type = it->second.type;
    if (length > size) {
      size = length;
      return platform::kErrorMoreData;
    }
    if (length > 0) std::memcpy(data, it->second.data.data(), length);
    size = length;
    return 0;
  }

  uint32_t setValue(std::string_view name, uint32_t type, const uint8_t* data,
                    uint32_t size) override {
    if (access_ != Access::Write) return platform::kErrorAccessDenied;
    std::scoped_lock lock(owner_.m_);
    Value& v = owner_.values_[lowerCaseName(path_, name)];
    v.type = type;
    v.data.assign(data, data + size);
    return 0;
  }

 private:
  MemoryRegistry& owner_;
  std::string path_;
  Access access_;
};

uint32_t MemoryRegistry::createKey(std::string_view path, Access access,
                                   std::unique_ptr<platform::RegistryKey>& out) {
  out = std::make_unique<Key>(*this, path, access);
  return 0;
}

}  // namespace drovn::test
