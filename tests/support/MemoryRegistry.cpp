#include "support/MemoryRegistry.h"

#include <algorithm>
#include <cstring>

#include "platform/ErrorCodes.h"

namespace drovn::test {

namespace {
char lowerAscii(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}
}  // namespace

bool MemoryRegistry::NoCase::operator()(const std::string& a, const std::string& b) const {
  return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(),
                                      [](char x, char y) { return lowerAscii(x) < lowerAscii(y); });
}

class MemoryRegistry::Key final : public platform::RegistryKey {
 public:
  Key(MemoryRegistry& owner, std::string path, Access access)
      : owner_(owner), path_(std::move(path)), access_(access) {}

  uint32_t queryValue(std::string_view name, uint32_t& type, uint8_t* data,
                      uint32_t& size) override {
    std::scoped_lock lock(owner_.m_);
    const Values& values = owner_.keys_[path_];
    auto it = values.find(std::string(name));
    if (it == values.end()) return platform::kErrorFileNotFound;
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
    Value& v = owner_.keys_[path_][std::string(name)];
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
  {
    std::scoped_lock lock(m_);
    if (createKeyError_ != 0) return createKeyError_;
    keys_[std::string(path)];
  }
  out = std::make_unique<Key>(*this, std::string(path), access);
  return 0;
}

void MemoryRegistry::put(std::string_view path, std::string_view name, Value value) {
  std::scoped_lock lock(m_);
  keys_[std::string(path)][std::string(name)] = std::move(value);
}

void MemoryRegistry::putText(std::string_view path, std::string_view name, std::string_view bytes) {
  put(path, name, Value{platform::kRegSz, std::vector<uint8_t>(bytes.begin(), bytes.end())});
}

std::optional<MemoryRegistry::Value> MemoryRegistry::get(std::string_view path,
                                                         std::string_view name) const {
  std::scoped_lock lock(m_);
  auto key = keys_.find(std::string(path));
  if (key == keys_.end()) return std::nullopt;
  auto it = key->second.find(std::string(name));
  if (it == key->second.end()) return std::nullopt;
  return it->second;
}

std::vector<std::string> MemoryRegistry::valueNames(std::string_view path) const {
  std::scoped_lock lock(m_);
  std::vector<std::string> names;
  auto key = keys_.find(std::string(path));
  if (key == keys_.end()) return names;
  for (const auto& [name, value] : key->second) names.push_back(name);
  return names;
}

void MemoryRegistry::failCreateKey(uint32_t error) {
  std::scoped_lock lock(m_);
  createKeyError_ = error;
}

}  // namespace drovn::test
