// Path resolution with an arbitrary account root, current directory and argument. Whenever a
// path is accepted, its local path, converted as the file layer converts it and with every "."
// and ".." applied, must lie at or beneath the account root treated the same way.
//
// Input: one flag byte (bit 0: UTF-8 session, else code page 936), then the root, the current
// directory and the argument, separated by NUL bytes.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "vfs/Encoding.h"
#include "vfs/PathResolver.h"

namespace {

using namespace drovn;

// The components the file layer ends up with: UTF-8 from the session's encoding (converted as
// the protocol converts local paths), both separators, empty and "." dropped, ".." taking back
// the one before (and staying at the top, as it does at "/").
std::vector<std::string> normalise(std::string_view bytes, bool utf8) {
  static platform::LinuxTextCodec codec;
  std::string text;
  vfs::clientToUtf8(codec, utf8, bytes, text);
  std::vector<std::string> parts;
  for (std::size_t i = 0, end; i <= text.size(); i = end + 1) {
    end = std::min(text.find_first_of("/\\", i), text.size());
    const std::string part = text.substr(i, end - i);
    if (part == ".." && !parts.empty()) parts.pop_back();
    if (part != ".." && part != "." && !part.empty()) parts.push_back(part);
  }
  return parts;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  const bool utf8 = (data[0] & 1) != 0;
  std::string_view rest(reinterpret_cast<const char*>(data + 1), size - 1);
  std::string fields[3];
  for (std::string& field : fields) {
    field = rest.substr(0, rest.find('\0'));
    if (field.size() >= vfs::PathText::bufferSize()) return 0;
    rest.remove_prefix(std::min(rest.size(), field.size() + 1));
  }
  const vfs::PathText root(fields[0]);
  // The table a login makes: "/" mapped to the account root as configured.
  vfs::MountTable table;
  table.set(std::make_unique<vfs::PathText>("/"), std::make_unique<vfs::PathText>(root));
  const auto resolved = vfs::resolvePath(root, vfs::PathText(fields[1]), fields[2], table, utf8);
  if (!resolved || resolved->local.empty()) return 0;  // refused, or the root left unmapped

  const std::string_view local = resolved->local.view();
  const std::vector<std::string> rootParts = normalise(root.view(), utf8);
  const std::vector<std::string> localParts = normalise(local, utf8);
  if (local.find('\0') != std::string_view::npos || localParts.size() < rootParts.size() ||
      !std::equal(rootParts.begin(), rootParts.end(), localParts.begin())) {
    std::fprintf(stderr, "accepted outside the root: root [%s] cwd [%s] arg [%s] local [%.*s]\n",
                 fields[0].c_str(), fields[1].c_str(), fields[2].c_str(),
                 static_cast<int>(local.size()), local.data());
    std::abort();
  }
  return 0;
}
