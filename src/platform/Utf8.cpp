#include "platform/Utf8.h"

namespace drovn::platform {

namespace {

constexpr char32_t kReplacement = 0xFFFD;

}  // namespace

// An invalid sequence consumes its maximal invalid subsequence: the bytes up to (not including)
// the first byte that cannot continue it.
char32_t decodeUtf8(std::string_view s, std::size_t& i) noexcept {
  auto b = static_cast<unsigned char>(s[i]);
  ++i;
  if (b < 0x80) return b;
  int need;
  unsigned char lower = 0x80;
  unsigned char upper = 0xBF;
  char32_t cp;
  if (b >= 0xC2 && b <= 0xDF) {
    need = 1;
    cp = b & 0x1Fu;
  } else if (b >= 0xE0 && b <= 0xEF) {
    need = 2;
    cp = b & 0x0Fu;
    if (b == 0xE0) lower = 0xA0;  // below: overlong
    if (b == 0xED) upper = 0x9F;  // above: surrogates
  } else if (b >= 0xF0 && b <= 0xF4) {
    need = 3;
    cp = b & 0x07u;
    if (b == 0xF0) lower = 0x90;  // below: overlong
    if (b == 0xF4) upper = 0x8F;  // above: past U+10FFFF
  } else {
    return kReplacement;  // a stray continuation byte, C0, C1 or F5..FF
  }
  for (int k = 0; k < need; ++k) {
    if (i >= s.size()) return kReplacement;  // truncated
    auto c = static_cast<unsigned char>(s[i]);
    if (c < lower || c > upper) return kReplacement;  // c starts the next character
    cp = (cp << 6) | (c & 0x3Fu);
    ++i;
    lower = 0x80;
    upper = 0xBF;
  }
  return cp;
}

std::size_t encodeUtf8(char32_t cp, char out[4]) noexcept {
  if (cp < 0x80) {
    out[0] = static_cast<char>(cp);
    return 1;
  }
  if (cp < 0x800) {
    out[0] = static_cast<char>(0xC0 | (cp >> 6));
    out[1] = static_cast<char>(0x80 | (cp & 0x3F));
    return 2;
  }
  if (cp < 0x10000) {
    out[0] = static_cast<char>(0xE0 | (cp >> 12));
    out[1] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out[2] = static_cast<char>(0x80 | (cp & 0x3F));
    return 3;
  }
  out[0] = static_cast<char>(0xF0 | (cp >> 18));
  out[1] = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
  out[2] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
  out[3] = static_cast<char>(0x80 | (cp & 0x3F));
  return 4;
}

std::size_t cleanUtf8(char* dst, std::size_t cap, std::string_view src) noexcept {
  const std::size_t room = cap - 1;
  std::size_t n = 0;
  std::size_t i = 0;
  while (i < src.size() && src[i] != '\0') {
    // Most names are plain ASCII: one byte each, with nothing to decode.
    if (static_cast<unsigned char>(src[i]) < 0x80) {
      if (n == room) break;
      dst[n++] = src[i++];
      continue;
    }
    std::size_t next = i;
    char bytes[4];
    const std::size_t k = encodeUtf8(decodeUtf8(src, next), bytes);
    if (k > room - n) break;  // a character is written whole or not at all
    for (std::size_t j = 0; j < k; ++j) dst[n++] = bytes[j];
    i = next;
  }
  dst[n] = '\0';
  return n;
}

}  // namespace drovn::platform
