// Path resolution with an arbitrary account root, current directory and argument. Whenever a
// path is accepted, its local path, converted as the file layer converts it and with every "."
// and ".." applied, must lie at or beneath the account root treated the same way.
//
// Input: one flag byte (bit 0: UTF-8 session, else code page 936), then the root, the current
// directory and the argument, separated by NUL bytes.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstdio>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/TextCodec.h"
#include "platform/Utf8.h"
#include "vfs/MountTable.h"
#include "vfs/PathResolver.h"

namespace {

using drovn::vfs::PathText;

// The path as the file layer receives it: UTF-16 from the session's encoding.
std::u16string toWide(std::string_view bytes, bool utf8) {
  if (utf8) return drovn::platform::utf8ToUtf16(bytes);
  static drovn::platform::LinuxTextCodec codec;
  std::vector<char16_t> out(bytes.size() + 1);
  const std::string text(bytes);
  const std::size_t n = codec.codePageToWide(out.data(), out.size(), text.c_str());
  return std::u16string(out.data(), n);
}

// Components after full normalisation: both separators, empty and "." dropped, ".." taking back
// the one before (and staying at the top, as it does at "/").
std::vector<std::u16string> normalise(std::string_view bytes, bool utf8) {
  std::vector<std::u16string> parts;
  const std::u16string wide = toWide(bytes, utf8);
  std::u16string current;
  auto flush = [&] {
    if (current.empty() || current == u".") {
    } else if (current == u"..") {
      if (!parts.empty()) parts.pop_back();
    } else {
      parts.push_back(current);
    }
    current.clear();
  };
  for (char16_t c : wide) {
    if (c == u'/' || c == u'\\') {
      flush();
    } else {
      current.push_back(c);
    }
  }
  flush();
  return parts;
}

[[noreturn]] void fail(const char* what, std::string_view root, std::string_view cwd,
                       std::string_view arg, std::string_view local) {
  std::fprintf(stderr, "%s\n root=[%.*s]\n cwd=[%.*s]\n arg=[%.*s]\n local=[%.*s]\n", what,
               static_cast<int>(root.size()), root.data(), static_cast<int>(cwd.size()),
               cwd.data(), static_cast<int>(arg.size()), arg.data(),
               static_cast<int>(local.size()), local.data());
  std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  const bool utf8 = (data[0] & 1) != 0;
  std::string_view rest(reinterpret_cast<const char*>(data + 1), size - 1);
  std::string_view fields[3];
  for (int i = 0; i < 2; ++i) {
    const std::size_t nul = rest.find('\0');
    if (nul == std::string_view::npos) return 0;
    fields[i] = rest.substr(0, nul);
    rest.remove_prefix(nul + 1);
  }
  fields[2] = rest.substr(0, rest.find('\0'));
  if (fields[0].size() >= PathText::bufferSize() || fields[1].size() >= PathText::bufferSize() ||
      fields[2].size() >= PathText::bufferSize()) {
    return 0;
  }

  PathText root(fields[0]);
  PathText currentDir(fields[1]);
  PathText argument(fields[2]);
  // The table a login makes: "/" mapped to the account root as configured.
  drovn::vfs::MountTable table;
  table.set(std::make_unique<PathText>("/"), std::make_unique<PathText>(root.view()));
  const auto resolved = drovn::vfs::resolvePath(root, currentDir, argument.view(), table, utf8);
  const bool accepted = resolved.has_value();
  const PathText local = accepted ? resolved->local : PathText();
  const PathText virtualPath = accepted ? resolved->virtualPath : PathText();
  if (local.size() != std::char_traits<char>::length(local.c_str()) ||
      virtualPath.size() != std::char_traits<char>::length(virtualPath.c_str())) {
    fail("output length differs from its text", fields[0], fields[1], fields[2], local.view());
  }
  if (!accepted) {
    if (!local.empty()) fail("refused with a local path", fields[0], fields[1], fields[2], local.view());
    return 0;
  }
  if (local.empty()) return 0;  // the root itself, unmapped: nothing to reach

  const std::vector<std::u16string> rootParts = normalise(root.view(), utf8);
  const std::vector<std::u16string> localParts = normalise(local.view(), utf8);
  bool beneath = localParts.size() >= rootParts.size();
  for (std::size_t i = 0; beneath && i < rootParts.size(); ++i)
    beneath = localParts[i] == rootParts[i];
  if (!beneath) fail("accepted a path outside the root", fields[0], fields[1], fields[2], local.view());
  return 0;
}
