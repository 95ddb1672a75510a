#include "vfs/Encoding.h"

#include "platform/Utf8.h"

namespace drovn::vfs {

void clientToUtf8(platform::TextCodec& codec, bool utf8, std::string_view src, std::string& out) {
  // Each byte becomes at most three: one U+FFFD, or a code-page character of two bytes that
  // takes three in UTF-8.
  out.resize(src.size() * 3 + 1);
  const std::size_t n = utf8 ? platform::cleanUtf8(out.data(), out.size(), src)
                             : codec.codePageToUtf8(out.data(), out.size(), src);
  out.resize(n);
}

void utf8ToClient(platform::TextCodec& codec, bool utf8, std::string_view src, PathText& dst) {
  dst.syncLength(utf8 ? platform::cleanUtf8(dst.data(), dst.bufferSize(), src)
                      : codec.utf8ToCodePage(dst.data(), dst.bufferSize(), src));
}

}  // namespace drovn::vfs
