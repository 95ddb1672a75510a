// Code page 936 against UTF-8 through glibc's iconv. iconv handles keep conversion state and
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
constexpr const char* kCodePoint =
    std::endian::native == std::endian::little ? "UTF-32LE" : "UTF-32BE";
const iconv_t kNoConverter = reinterpret_cast<iconv_t>(-1);

class Converters {
 public:
  Converters() = default;
  Converters(const Converters&) = delete;
  Converters& operator=(const Converters&) = delete;
  ~Converters() {
    if (toUtf8_ != kNoConverter) (void)iconv_close(toUtf8_);  // nothing to do about a failure
    if (fromCodePoint_ != kNoConverter) (void)iconv_close(fromCodePoint_);
  }

  // kNoConverter when the C library has no code page 936 (the callers then fall back to ASCII).
  iconv_t toUtf8() {
    if (toUtf8_ == kNoConverter) toUtf8_ = iconv_open("UTF-8", kCodePage);
    return toUtf8_;
  }
  iconv_t fromCodePoint() {
    if (fromCodePoint_ == kNoConverter) fromCodePoint_ = iconv_open(kCodePage, kCodePoint);
    return fromCodePoint_;
  }

 private:
  iconv_t toUtf8_ = kNoConverter;
  iconv_t fromCodePoint_ = kNoConverter;
};

Converters& converters() {
  thread_local Converters perThread;
  return perThread;
}

// Most file names and commands are plain ASCII, the same in both encodings: they are copied
// byte by byte without a trip through iconv. Copies up to the first other byte; gives the bytes
// copied, dst terminated.
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

}  // namespace

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
  char* in = const_cast<char*>(src.data() + n);  // iconv's prototype is not const-correct
  std::size_t inLeft = src.size() - n;
  char* out = dst + n;
  std::size_t outLeft = cap - 1 - n;
  while (inLeft > 0) {
    if (iconv(cd, &in, &inLeft, &out, &outLeft) != static_cast<std::size_t>(-1)) break;
    if (errno == E2BIG) break;  // full; iconv never writes part of a character
    // EILSEQ or EINVAL: one U+FFFD for a pair that makes no character, or for a byte that
    // cannot start one. A byte that cannot be a trail byte starts the next character.
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
