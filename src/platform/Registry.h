// The settings store of the device: keys under HKEY_LOCAL_MACHINE holding named values, each a
// type number and raw data bytes. On Linux it is kept in one registry file (see RegistryFile.h).
#pragma once

#include <cstdint>
#include <memory>
#include <string_view>

namespace drovn::platform {

inline constexpr uint32_t kRegSz = 1;

class RegistryKey {
 public:
  virtual ~RegistryKey() = default;  // closes the key; a key opened for writing is saved then
  // Copies the value's data into data (capacity size bytes); type and size then hold the value's
  // type and data length. Value names compare without regard to ASCII case. 0 on success; 2 when
  // the value is missing (type, size and data untouched); 234 (more data) when it does not fit:
  // nothing is copied and size holds the length needed; 5 for a key opened for writing.
  virtual uint32_t queryValue(std::string_view name, uint32_t& type, uint8_t* data,
                              uint32_t& size) = 0;
  // 0 on success, otherwise the error number: 5 for a key opened for reading, 87 for a name with
  // a line break or data missing.
  virtual uint32_t setValue(std::string_view name, uint32_t type, const uint8_t* data,
                            uint32_t size) = 0;
};

class Registry {
 public:
  enum class Access { Read, Write };
  virtual ~Registry() = default;
  // Creates or opens the key path (backslash separated, under HKEY_LOCAL_MACHINE). On success
  // gives 0 and the key; otherwise the error number and no key.
  virtual uint32_t createKey(std::string_view path, Access access,
                             std::unique_ptr<RegistryKey>& out) = 0;
};

}  // namespace drovn::platform
