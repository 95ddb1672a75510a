// The registry-file parser on arbitrary text. A refused text leaves the document empty; an
// accepted one writes back in the hex form, and that form parses to the same document and
// writes the same text again.
#include <algorithm>
#include <cstdlib>
#include <string>

#include "platform/RegistryFile.h"

using namespace drovn::platform;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  const auto asBytes = [](std::string_view utf8) {
    return std::vector<uint8_t>(utf8.begin(), utf8.end());
  };
  const auto sameValue = [](const RegistryValue& x, const RegistryValue& y) {
    return x.name == y.name && x.type == y.type && x.data == y.data;
  };
  const auto sameSection = [&](const RegistrySection& x, const RegistrySection& y) {
    return x.key == y.key && std::ranges::equal(x.values, y.values, sameValue);
  };
  RegistryDocument doc;
  if (!parseRegistry(std::string_view(reinterpret_cast<const char*>(data), size), asBytes, doc)) {
    if (!doc.sections.empty()) std::abort();
    return 0;
  }
  const std::string written = formatRegistry(doc);
  RegistryDocument again;
  if (!parseRegistry(written, asBytes, again)) std::abort();
  if (!std::ranges::equal(doc.sections, again.sections, sameSection) ||
      formatRegistry(again) != written)
    std::abort();
  return 0;
}
