// The registry-file parser on arbitrary text. A refused text leaves the document empty; an
// accepted one writes back in the hex form, and that form parses to the same document and
// writes the same text again.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "platform/RegistryFile.h"

namespace {

using drovn::platform::RegistryDocument;

std::vector<uint8_t> asBytes(std::string_view utf8) { return {utf8.begin(), utf8.end()}; }

bool sameDocument(const RegistryDocument& a, const RegistryDocument& b) {
  if (a.sections.size() != b.sections.size()) return false;
  for (std::size_t i = 0; i < a.sections.size(); ++i) {
    const auto& x = a.sections[i];
    const auto& y = b.sections[i];
    if (x.key != y.key || x.values.size() != y.values.size()) return false;
    for (std::size_t j = 0; j < x.values.size(); ++j) {
      if (x.values[j].name != y.values[j].name || x.values[j].type != y.values[j].type ||
          x.values[j].data != y.values[j].data) {
        return false;
      }
    }
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  RegistryDocument doc;
  if (!drovn::platform::parseRegistry(text, asBytes, doc)) {
    if (!doc.sections.empty()) std::abort();  // a refused text leaves nothing behind
    return 0;
  }
  const std::string written = drovn::platform::formatRegistry(doc);
  RegistryDocument again;
  if (!drovn::platform::parseRegistry(written, asBytes, again)) std::abort();
  if (!sameDocument(doc, again)) std::abort();
  if (drovn::platform::formatRegistry(again) != written) std::abort();
  return 0;
}
