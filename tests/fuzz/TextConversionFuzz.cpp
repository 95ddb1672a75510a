// The text conversions on arbitrary input: UTF-8, code page 936 and UTF-16, both ways, into
// buffers of every small size and into the session's fixed texts. Each output must be
// terminated at the count the conversion gives, within its capacity, and hold whole characters
// only: what is written as UTF-8 reads back unchanged, and no code-page lead byte is left alone.
//
// Input: one byte choosing the capacity (1 to 64 units), then the text. For the UTF-16 sources
// the bytes are taken in pairs, little-endian.
#include <algorithm>
#include <cstdlib>
#include <memory>
#include <string>

#include "platform/TextCodec.h"
#include "platform/Utf8.h"
#include "vfs/Encoding.h"

namespace {

using namespace drovn;

// Its n units, then the terminator, within the capacity.
template <typename Unit>
void checkTerminated(const Unit* text, std::size_t n, std::size_t cap) {
  if (n >= cap || std::find(text, text + n + 1, Unit{0}) != text + n) std::abort();
}

// Into a heap block of exactly cap units, so that a write past it is an AddressSanitizer report.
template <typename Unit, typename Convert>
std::basic_string<Unit> into(std::size_t cap, Convert convert) {
  const auto dst = std::make_unique<Unit[]>(cap);
  const std::size_t n = convert(dst.get());
  checkTerminated(dst.get(), n, cap);
  return std::basic_string<Unit>(dst.get(), n);
}

// Whole characters only: UTF-8 that reads back unchanged, no code-page lead byte left alone.
void checkWhole(const std::string& s, bool utf8) {
  if (utf8 && platform::utf16ToUtf8(platform::utf8ToUtf16(s)) != s) std::abort();
  for (std::size_t i = 0; !utf8 && i < s.size(); ++i)
    if (platform::isCodePageLeadByte(static_cast<unsigned char>(s[i])) && ++i >= s.size())
      std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  if (size < 1 || size > 4 * vfs::kConvertLimit) return 0;
  static platform::LinuxTextCodec codec;
  const std::size_t cap = 1 + (data[0] & 63);
  const std::string bytes(reinterpret_cast<const char*>(data + 1), size - 1);
  std::u16string wide((size - 1) / 2, u'\0');
  for (std::size_t i = 0; i < wide.size(); ++i)
    wide[i] = static_cast<char16_t>(data[1 + 2 * i] | (data[2 + 2 * i] << 8));
  // The NUL-terminated forms end at the first NUL.
  const std::string text = bytes.substr(0, bytes.find('\0'));
  const std::u16string wideText = wide.substr(0, wide.find(u'\0'));

  into<char16_t>(cap, [&](char16_t* d) { return platform::utf8ToUtf16(d, cap, bytes); });
  checkWhole(into<char>(cap, [&](char* d) { return platform::utf16ToUtf8(d, cap, wide); }), true);
  into<char16_t>(cap, [&](char16_t* d) { return codec.codePageToWide(d, cap, text.c_str()); });
  checkWhole(
      into<char>(cap, [&](char* d) { return codec.wideToCodePage(d, cap, wideText.c_str()); }),
      false);
  checkWhole(platform::utf16ToUtf8(platform::utf8ToUtf16(bytes)), true);

  // The session's fixed texts, through the vfs selectors, and back again: the text a session
  // sends out must survive its own conversion.
  auto wideOut = std::make_unique<FixedWide<vfs::kConvertLimit>>();
  auto textOut = std::make_unique<FixedText<vfs::kConvertLimit>>();
  for (const bool utf8 : {true, false}) {
    vfs::clientToWide(codec, utf8, *wideOut, text.c_str());
    checkTerminated(wideOut->c_str(), wideOut->size(), vfs::kConvertLimit);
    vfs::wideToClient(codec, utf8, *textOut, wideText.c_str());
    checkTerminated(textOut->c_str(), textOut->size(), vfs::kConvertLimit);
    checkWhole(std::string(textOut->view()), utf8);
    vfs::clientToWide(codec, utf8, *wideOut, textOut->c_str());
    checkTerminated(wideOut->c_str(), wideOut->size(), vfs::kConvertLimit);
  }
  return 0;
}
