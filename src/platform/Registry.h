// The settings store of the device: keys under HKEY_LOCAL_MACHINE holding named values, each a
// type number and raw data bytes. On Linux it is kept in one registry file (see RegistryFile.h).
#pragma once

#include <cstdint>
#include <memory>
#include <string_view>
#include <system_error>

namespace drovn::platform {

inline constexpr uint32_t kRegSz = 1;

class RegistryKey {
 public:
  virtual ~RegistryKey() = default;  // closes the key; a key opened for writing is saved then
  // Copies the value's data into data (capacity size bytes); type and size then hold the value's
  // type and data length. Value names compare without regard to ASCII case. No error on success;
  // ENOENT when the value is missing (type, size and data untouched); EOVERFLOW when it does not
  // fit: nothing is copied and size holds the length needed; EACCES for a key opened for writing.
  virtual std::error_code queryValue(std::string_view name, uint32_t& type, uint8_t* data,
                                     uint32_t& size) = 0;
  // No error on success, otherwise the failure: EACCES for a key opened for reading, EINVAL for a
  // name with a line break or data missing.
  virtual std::error_code setValue(std::string_view name, uint32_t type, const uint8_t* data,
                                   uint32_t size) = 0;
};

class Registry {
 public:
  enum class Access { Read, Write };
  virtual ~Registry() = default;
  // Creates or opens the key path (backslash separated, under HKEY_LOCAL_MACHINE). On success
  // gives no error and the key; otherwise the failure and no key.
  virtual std::error_code createKey(std::string_view path, Access access,
                                    std::unique_ptr<RegistryKey>& out) = 0;
};

}  // namespace drovn::platform
