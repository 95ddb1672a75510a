#include "vfs/Encoding.h"

#include <string_view>

#include "platform/Utf8.h"

namespace drovn::vfs {

namespace {

std::string_view textOf(const char* src) noexcept {
  return src != nullptr ? std::string_view(src) : std::string_view();
}

const char16_t* wideOf(const char16_t* src) noexcept {
  return src != nullptr ? src : u"";
}

std::u16string_view wideViewOf(const char16_t* src) noexcept {
  return std::u16string_view(wideOf(src));
}

}  // namespace

void utf8ToWide(FixedWide<kConvertLimit>& dst, const char* src) {
  dst.clear();
  dst.syncLength(platform::utf8ToUtf16(dst.data(), dst.bufferSize(), textOf(src)));
}

void wideToUtf8(FixedText<kConvertLimit>& dst, const char16_t* src) {
  dst.clear();
  dst.syncLength(platform::utf16ToUtf8(dst.data(), dst.bufferSize(), wideViewOf(src)));
}

void codePageToWide(platform::TextCodec& codec, FixedWide<kConvertLimit>& dst, const char* src) {
  dst.syncLength(codec.codePageToWide(dst.data(), dst.bufferSize(), src != nullptr ? src : ""));
}

void wideToCodePage(platform::TextCodec& codec, FixedText<kConvertLimit>& dst,
                    const char16_t* src) {
  dst.syncLength(codec.wideToCodePage(dst.data(), dst.bufferSize(), wideOf(src)));
}

void clientToWide(platform::TextCodec& codec, bool utf8, FixedWide<kConvertLimit>& dst,
                  const char* src) {
  if (utf8)
    utf8ToWide(dst, src);
  else
    codePageToWide(codec, dst, src);
}

void wideToClient(platform::TextCodec& codec, bool utf8, FixedText<kConvertLimit>& dst,
                  const char16_t* src) {
  if (utf8)
    wideToUtf8(dst, src);
  else
    wideToCodePage(codec, dst, src);
}

}  // namespace drovn::vfs
