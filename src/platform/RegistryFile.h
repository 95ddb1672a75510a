// The registry file: text in the layout of a REGEDIT4 export, UTF-8 with "\n" line ends.
//
//   REGEDIT4
//
//   [HKEY_LOCAL_MACHINE\Software\Drovnel]
//   "auth_user1"=hex(1):61,64,6d,69,6e
//   "auth_pwd1"=hex(1):
//
// One section per key, one line per value: the value type in hex(N) (N in hexadecimal, as
// regedit writes it) and the exact data bytes as lower-case hex pairs. Other tools and people
// edit this file, so loading is more lenient than writing: "name"="text" (UTF-8 with \\ and \"
// escapes; the data are then the text converted to the code page, without a terminator),
// regedit's hex: (type 3) and dword: (type 4) forms, hex lists continued over lines ending in a
// backslash, @ for the unnamed value, CR LF line ends, blank lines and lines starting with ';'.
// Pure text handling: no file access here.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace drovn::platform {

struct RegistryValue {
  std::string name;  // empty: the key's unnamed value (written as @)
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

// Registry names compare as the registry compares them: ASCII letters without regard to case.
bool equalsIgnoringAsciiCase(std::string_view a, std::string_view b) noexcept;

// Converts the UTF-8 text of a "name"="text" value to its stored bytes (the code page).
using TextToData = std::function<std::vector<uint8_t>(std::string_view utf8)>;

// False when the text is not a registry file (no REGEDIT4 first line, a line that is neither a
// section, a value, a comment nor blank, a value before the first section); doc is then left
// empty. A section named twice is one key; a value named twice in a key keeps the later data in
// the place of the first.
bool parseRegistry(std::string_view text, const TextToData& toData, RegistryDocument& doc);
// Writes every section and value in the hex form, in the document's order: the REGEDIT4 line,
// then for each section a blank line, its [key] line and one line per value.
std::string formatRegistry(const RegistryDocument& doc);

}  // namespace drovn::platform
