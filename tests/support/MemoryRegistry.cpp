#include "support/MemoryRegistry.h"

#include <cerrno>
#include <cstring>

#include "platform/ErrorCodes.h"

namespace drovn::test {

class MemoryRegistry::Key final : public platform::RegistryKey {
 public:
  Key(MemoryRegistry& owner, std::string_view path, Access access)
      : owner_(owner), prefix_(std::string(path) + '\\'), writable_(access == Access::Write) {}

  std::error_code queryValue(std::string_view name, uint32_t& type, uint8_t* data,
                             uint32_t& size) override {
    std::scoped_lock lock(owner_.m_);
    const auto it = owner_.values_.find(id(name));
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
    owner_.values_[id(name)] = {type, std::vector<uint8_t>(data, data + size)};
    return {};
  }

 private:
  std::string id(std::string_view name) const {
    std::string key = prefix_ + std::string(name);
    for (char& c : key) c = c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
    return key;
  }

  MemoryRegistry& owner_;
  const std::string prefix_;
  const bool writable_;
};

std::optional<std::string> MemoryRegistry::stored(std::string_view path, std::string_view name) {
  uint32_t type = 0, size = 0;
  Key key(*this, path, Access::Read);
  if (key.queryValue(name, type, nullptr, size) == std::errc::no_such_file_or_directory) return {};
  std::string bytes(size, '\0');
  if (key.queryValue(name, type, reinterpret_cast<uint8_t*>(bytes.data()), size)) return {};
  return bytes;
}

std::error_code MemoryRegistry::createKey(std::string_view path, Access access,
                                          std::unique_ptr<platform::RegistryKey>& out) {
  out = std::make_unique<Key>(*this, path, access);
  return {};
}

}  // namespace drovn::test
