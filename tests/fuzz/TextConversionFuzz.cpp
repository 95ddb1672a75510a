// The text conversions on arbitrary input: UTF-8, code page 936 and UTF-16, both ways, into
// buffers of every small size and into the session's fixed texts. Each destination is a heap
// block of exactly its capacity, so a write past it is an AddressSanitizer report; every output
// must be terminated at the count the conversion gives, within its capacity.
//
// Input: one byte choosing the capacity (1 to 64 units), then the text. For the UTF-16 sources
// the bytes are taken in pairs, little-endian.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <string_view>

#include "platform/FixedText.h"
#include "platform/TextCodec.h"
#include "platform/Utf8.h"
#include "vfs/Encoding.h"

namespace {

using namespace drovn;

template <typename Unit>
void checkTerminated(const Unit* dst, std::size_t cap, std::size_t written) {
  if (written >= cap || dst[written] != Unit{0}) std::abort();
  for (std::size_t i = 0; i < written; ++i)
    if (dst[i] == Unit{0}) std::abort();  // the count must be the text's length
}

bool validUtf8(std::string_view s) {
  // What the bounded form writes must read back without a replacement it did not have.
  const std::u16string wide = platform::utf8ToUtf16(s);
  return platform::utf16ToUtf8(wide) == s;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  static platform::LinuxTextCodec codec;
  const std::size_t cap = 1 + (data[0] & 63);
  const std::string bytes(reinterpret_cast<const char*>(data + 1), size - 1);
  std::u16string wide((size - 1) / 2, u'\0');
  for (std::size_t i = 0; i < wide.size(); ++i) {
    wide[i] = static_cast<char16_t>(data[1 + 2 * i] | (data[2 + 2 * i] << 8));
  }
  // The NUL-terminated forms end at the first NUL; cut there for the checks below.
  const std::string cText = bytes.substr(0, bytes.find('\0'));
  const std::u16string cWide = wide.substr(0, wide.find(u'\0'));

  {
    auto dst = std::make_unique<char16_t[]>(cap);
    checkTerminated(dst.get(), cap, platform::utf8ToUtf16(dst.get(), cap, bytes));
  }
  {
    auto dst = std::make_unique<char[]>(cap);
    const std::size_t n = platform::utf16ToUtf8(dst.get(), cap, wide);
    checkTerminated(dst.get(), cap, n);
    if (!validUtf8(std::string_view(dst.get(), n))) std::abort();
  }
  {
    auto dst = std::make_unique<char16_t[]>(cap);
    checkTerminated(dst.get(), cap, codec.codePageToWide(dst.get(), cap, cText.c_str()));
  }
  {
    auto dst = std::make_unique<char[]>(cap);
    const std::size_t n = codec.wideToCodePage(dst.get(), cap, cWide.c_str());
    checkTerminated(dst.get(), cap, n);
    // Never half a double-byte character: the bytes written convert back without a lone lead.
    for (std::size_t i = 0; i < n; ++i) {
      const auto b = static_cast<unsigned char>(dst[i]);
      if (platform::isCodePageLeadByte(b)) {
        if (i + 1 >= n) std::abort();
        ++i;
      }
    }
  }

  // The session's fixed texts, through the vfs selectors.
  if (cText.size() < vfs::kConvertLimit * 2 && cWide.size() < vfs::kConvertLimit * 2) {
    auto wideOut = std::make_unique<FixedWide<vfs::kConvertLimit>>();
    auto textOut = std::make_unique<FixedText<vfs::kConvertLimit>>();
    for (bool utf8 : {true, false}) {
      vfs::clientToWide(codec, utf8, *wideOut, cText.c_str());
      checkTerminated(wideOut->c_str(), vfs::kConvertLimit, wideOut->size());
      vfs::wideToClient(codec, utf8, *textOut, cWide.c_str());
      checkTerminated(textOut->c_str(), vfs::kConvertLimit, textOut->size());
      // And back again: the text a session sends out must survive its own conversion.
      vfs::clientToWide(codec, utf8, *wideOut, textOut->c_str());
      checkTerminated(wideOut->c_str(), vfs::kConvertLimit, wideOut->size());
    }
  }

  // The unbounded forms: what comes out as UTF-8 is valid UTF-8.
  if (!validUtf8(platform::utf16ToUtf8(platform::utf8ToUtf16(bytes)))) std::abort();
  return 0;
}
