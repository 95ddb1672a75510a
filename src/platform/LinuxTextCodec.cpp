// Code page 936 against UTF-16 through glibc's iconv. iconv handles keep conversion state and
// must not be shared between threads, so each thread opens its own pair on first use and closes
// them when it ends.
#include <iconv.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstring>

#include "platform/TextCodec.h"
#include "platform/Utf8.h"

namespace drovn::platform {

namespace {

constexpr const char* kCodePage = "CP936";
constexpr const char* kWide = std::endian::native == std::endian::little ? "UTF-16LE" : "UTF-16BE";
constexpr const char* kCodePoint =
    std::endian::native == std::endian::little ? "UTF-32LE" : "UTF-32BE";
const iconv_t kNoConverter = reinterpret_cast<iconv_t>(-1);

class Converters {
 public:
  Converters() = default;
  Converters(const Converters&) = delete;
  Converters& operator=(const Converters&) = delete;
  ~Converters() {
    if (toWide_ != kNoConverter) (void)iconv_close(toWide_);  // nothing to do about a failure
    if (toCodePage_ != kNoConverter) (void)iconv_close(toCodePage_);
    if (toUtf8_ != kNoConverter) (void)iconv_close(toUtf8_);
    if (fromCodePoint_ != kNoConverter) (void)iconv_close(fromCodePoint_);
  }

  // kNoConverter when the C library has no code page 936 (the callers then fall back to ASCII).
  iconv_t toWide() {
    if (toWide_ == kNoConverter) toWide_ = iconv_open(kWide, kCodePage);
    return toWide_;
  }
  iconv_t toCodePage() {
    if (toCodePage_ == kNoConverter) toCodePage_ = iconv_open(kCodePage, kWide);
    return toCodePage_;
  }
  iconv_t toUtf8() {
    if (toUtf8_ == kNoConverter) toUtf8_ = iconv_open("UTF-8", kCodePage);
    return toUtf8_;
  }
  iconv_t fromCodePoint() {
    if (fromCodePoint_ == kNoConverter) fromCodePoint_ = iconv_open(kCodePage, kCodePoint);
    return fromCodePoint_;
  }

 private:
  iconv_t toWide_ = kNoConverter;
  iconv_t toCodePage_ = kNoConverter;
  iconv_t toUtf8_ = kNoConverter;
  iconv_t fromCodePoint_ = kNoConverter;
};

Converters& converters() {
  thread_local Converters perThread;
  return perThread;
}

// Without iconv's code page: ASCII passes, every other byte is not readable.
std::size_t asciiToWide(char16_t* dst, std::size_t cap, const char* src) noexcept {
  std::size_t n = 0;
  for (; src[n] != '\0' && n + 1 < cap; ++n) {
    auto b = static_cast<unsigned char>(src[n]);
    dst[n] = b < 0x80 ? b : u'\uFFFD';
  }
  dst[n] = u'\0';
  return n;
}

std::size_t wideToAscii(char* dst, std::size_t cap, const char16_t* src) noexcept {
  std::size_t n = 0;
  for (; src[n] != u'\0' && n + 1 < cap; ++n)
    dst[n] = src[n] < 0x80 ? static_cast<char>(src[n]) : '?';
  dst[n] = '\0';
  return n;
}

// ASCII bytes pass and stop at the first other byte; gives the bytes copied, dst terminated.
std::size_t copyAsciiPrefix(char* dst, std::size_t cap, std::string_view src) noexcept {
  std::size_t n = 0;
  for (; n < src.size() && src[n] != '\0' && n + 1 < cap; ++n) {
    if (static_cast<unsigned char>(src[n]) >= 0x80) break;
    dst[n] = src[n];
  }
  dst[n] = '\0';
  return n;
}

std::string_view untilNul(std::string_view src) noexcept {
  return src.substr(0, std::min(src.size(), src.find('\0')));
}

std::size_t wideLength(const char16_t* s) noexcept {
  std::size_t n = 0;
  while (s[n] != u'\0') ++n;
  return n;
}

// ASCII is the same in the code page as in UTF-16, so text that is all ASCII and fits is copied
// unit by unit without a trip through iconv: most file names and commands are, and a listing
// converts every name more than once. Gives the units copied, or kNotAscii, with nothing of dst
// promised, for any other text.
constexpr std::size_t kNotAscii = static_cast<std::size_t>(-1);

std::size_t copyAsciiToWide(char16_t* dst, std::size_t cap, const char* src) noexcept {
  std::size_t n = 0;
  for (; src[n] != '\0'; ++n) {
    const auto b = static_cast<unsigned char>(src[n]);
    if (b >= 0x80 || n + 1 >= cap) return kNotAscii;
    dst[n] = b;
  }
  dst[n] = u'\0';
  return n;
}

std::size_t copyAsciiToCodePage(char* dst, std::size_t cap, const char16_t* src) noexcept {
  std::size_t n = 0;
  for (; src[n] != u'\0'; ++n) {
    if (src[n] >= 0x80 || n + 1 >= cap) return kNotAscii;
    dst[n] = static_cast<char>(src[n]);
  }
  dst[n] = '\0';
  return n;
}

}  // namespace

std::size_t LinuxTextCodec::codePageToWide(char16_t* dst, std::size_t cap, const char* src) {
  if (const std::size_t n = copyAsciiToWide(dst, cap, src); n != kNotAscii) return n;
  iconv_t cd = converters().toWide();
  if (cd == kNoConverter) return asciiToWide(dst, cap, src);
  (void)iconv(cd, nullptr, nullptr, nullptr, nullptr);  // a fresh start; cannot fail

  char* in = const_cast<char*>(src);  // iconv's prototype is not const-correct; src is only read
  std::size_t inLeft = std::strlen(src);
  char* out = reinterpret_cast<char*>(dst);
  std::size_t outLeft = (cap - 1) * sizeof(char16_t);
  while (inLeft > 0) {
    if (iconv(cd, &in, &inLeft, &out, &outLeft) != static_cast<std::size_t>(-1)) break;
    if (errno == E2BIG) break;  // full; iconv never writes part of a character
    // EILSEQ (not code-page text) or EINVAL (a lead byte at the end): one U+FFFD for a lead byte
    // with its trail byte, or for the single byte that cannot start a character. A byte that
    // cannot be a trail byte starts the next character.
    auto b0 = static_cast<unsigned char>(in[0]);
    std::size_t skip = 1;
    if (inLeft >= 2 && isCodePageLeadByte(b0) &&
        isCodePageTrailByte(static_cast<unsigned char>(in[1])))
      skip = 2;
    if (outLeft < sizeof(char16_t)) break;
    const char16_t replacement = u'\uFFFD';
    std::memcpy(out, &replacement, sizeof replacement);
    out += sizeof replacement;
    outLeft -= sizeof replacement;
    in += skip;
    inLeft -= skip;
  }
  std::size_t n = static_cast<std::size_t>(out - reinterpret_cast<char*>(dst)) / sizeof(char16_t);
  dst[n] = u'\0';
  return n;
}

std::size_t LinuxTextCodec::wideToCodePage(char* dst, std::size_t cap, const char16_t* src) {
  if (const std::size_t n = copyAsciiToCodePage(dst, cap, src); n != kNotAscii) return n;
  iconv_t cd = converters().toCodePage();
  if (cd == kNoConverter) return wideToAscii(dst, cap, src);
  (void)iconv(cd, nullptr, nullptr, nullptr, nullptr);

  std::size_t units = wideLength(src);
  char* in = reinterpret_cast<char*>(const_cast<char16_t*>(src));  // only read, as above
  std::size_t inLeft = units * sizeof(char16_t);
  char* out = dst;
  std::size_t outLeft = cap - 1;
  while (inLeft > 0) {
    if (iconv(cd, &in, &inLeft, &out, &outLeft) != static_cast<std::size_t>(-1)) break;
    if (errno == E2BIG) break;  // full; a double-byte character is never written in half
    // EILSEQ: a character the code page lacks (a pair counts as one) or a lone surrogate;
    // EINVAL: a high surrogate at the end. Each becomes one '?'.
    char16_t u0;
    std::memcpy(&u0, in, sizeof u0);
    std::size_t skip = sizeof(char16_t);
    if (u0 >= 0xD800 && u0 <= 0xDBFF && inLeft >= 2 * sizeof(char16_t)) {
      char16_t u1;
      std::memcpy(&u1, in + sizeof(char16_t), sizeof u1);
      if (u1 >= 0xDC00 && u1 <= 0xDFFF) skip = 2 * sizeof(char16_t);
    }
    if (outLeft < 1) break;
    *out++ = '?';
    --outLeft;
    in += skip;
    inLeft -= skip;
  }
  std::size_t n = static_cast<std::size_t>(out - dst);
  dst[n] = '\0';
  return n;
}

std::size_t LinuxTextCodec::codePageToUtf8(char* dst, std::size_t cap, std::string_view src) {
  src = untilNul(src);
  std::size_t n = copyAsciiPrefix(dst, cap, src);
  if (n == src.size() || n + 1 == cap) return n;
  iconv_t cd = converters().toUtf8();
  if (cd == kNoConverter) {
    // Without the code page only ASCII is readable.
    for (std::size_t i = n; i < src.size(); ++i) {
      const bool ascii = static_cast<unsigned char>(src[i]) < 0x80;
      const std::size_t k = ascii ? 1 : 3;
      if (k > cap - 1 - n) break;
      if (ascii) {
        dst[n++] = src[i];
      } else {
        n += encodeUtf8(0xFFFD, dst + n);
      }
    }
    dst[n] = '\0';
    return n;
  }
  (void)iconv(cd, nullptr, nullptr, nullptr, nullptr);
  char* in = const_cast<char*>(src.data() + n);  // only read, as above
  std::size_t inLeft = src.size() - n;
  char* out = dst + n;
  std::size_t outLeft = cap - 1 - n;
  while (inLeft > 0) {
    if (iconv(cd, &in, &inLeft, &out, &outLeft) != static_cast<std::size_t>(-1)) break;
    if (errno == E2BIG) break;
    // As codePageToWide: one U+FFFD for a pair that makes no character or a lone byte.
    const auto b0 = static_cast<unsigned char>(in[0]);
    std::size_t skip = 1;
    if (inLeft >= 2 && isCodePageLeadByte(b0) &&
        isCodePageTrailByte(static_cast<unsigned char>(in[1])))
      skip = 2;
    char replacement[4];
    const std::size_t k = encodeUtf8(0xFFFD, replacement);
    if (outLeft < k) break;
    std::memcpy(out, replacement, k);
    out += k;
    outLeft -= k;
    in += skip;
    inLeft -= skip;
  }
  n = static_cast<std::size_t>(out - dst);
  dst[n] = '\0';
  return n;
}

std::size_t LinuxTextCodec::utf8ToCodePage(char* dst, std::size_t cap, std::string_view src) {
  src = untilNul(src);
  std::size_t n = copyAsciiPrefix(dst, cap, src);
  if (n == src.size() || n + 1 == cap) return n;
  iconv_t cd = converters().fromCodePoint();
  std::size_t i = n;
  while (i < src.size() && n + 1 < cap) {
    if (static_cast<unsigned char>(src[i]) < 0x80) {
      dst[n++] = src[i++];
      continue;
    }
    // One character at a time: the decoder, not iconv, decides what is invalid UTF-8, so a
    // name converts here exactly as it does everywhere else in the program.
    char32_t cp = decodeUtf8(src, i);
    char bytes[8];
    std::size_t k = 0;
    if (cd != kNoConverter) {
      (void)iconv(cd, nullptr, nullptr, nullptr, nullptr);
      char* in = reinterpret_cast<char*>(&cp);
      std::size_t inLeft = sizeof cp;
      char* out = bytes;
      std::size_t outLeft = sizeof bytes;
      if (iconv(cd, &in, &inLeft, &out, &outLeft) != static_cast<std::size_t>(-1)) {
        k = sizeof bytes - outLeft;
      }
    }
    if (k == 0) {
      bytes[0] = '?';  // the code page lacks it, or it was no character
      k = 1;
    }
    if (k > cap - 1 - n) break;
    std::memcpy(dst + n, bytes, k);
    n += k;
  }
  dst[n] = '\0';
  return n;
}

}  // namespace drovn::platform
