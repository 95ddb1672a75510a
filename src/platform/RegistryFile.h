// The registry file: text in the layout of a REGEDIT4 export, UTF-8 with "\n" line ends.
//
//   REGEDIT4
//
//   [HKEY_LOCAL_MACHINE\Software\Drovnel]
//   "auth_user1"=hex(1):61,64,6d,69,6e
//   "auth_pwd1"=hex(1):
//
// One section per key, one line per value: the value type in hex(N) and the exact data bytes.
// Loading also takes "name"="text" (UTF-8 with \\ and \" escapes; the data are then the text
// converted to the code page), blank lines and lines starting with ';'. Pure text handling: no
// file access here.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace drovn::platform {

struct RegistryValue {
  std::string name;
  uint32_t type = 1;
  std::vector<uint8_t> data;
};

struct RegistrySection {
  std::string key;  // the full key path as written between the brackets
  std::vector<RegistryValue> values;
};

struct RegistryDocument {
  std::vector<RegistrySection> sections;

  RegistrySection* find(std::string_view key);  // exact, ASCII case-insensitive
  RegistrySection& findOrAdd(std::string_view key);
};

// Converts the UTF-8 text of a "name"="text" value to its stored bytes (the code page).
using TextToData = std::function<std::vector<uint8_t>(std::string_view utf8)>;

// False when the text is not a registry file; doc is then left empty.
bool parseRegistry(std::string_view text, const TextToData& toData, RegistryDocument& doc);
// Writes every section and value in the hex form, in the document's order.
std::string formatRegistry(const RegistryDocument& doc);

}  // namespace drovn::platform
