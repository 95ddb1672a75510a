#include "platform/Canvas.h"

#include <cwchar>

namespace drovn::platform {

namespace {

bool isHighSurrogate(char16_t u) { return u >= 0xD800 && u <= 0xDBFF; }
bool isLowSurrogate(char16_t u) { return u >= 0xDC00 && u <= 0xDFFF; }

// The code point at text[i] and the units it takes.
char32_t decodeAt(std::u16string_view text, std::size_t i, std::size_t& units) {
  const char16_t u = text[i];
  if (isHighSurrogate(u) && i + 1 < text.size() && isLowSurrogate(text[i + 1])) {
    units = 2;
    return 0x10000 + ((static_cast<char32_t>(u) - 0xD800) << 10) +
           (static_cast<char32_t>(text[i + 1]) - 0xDC00);
  }
  units = 1;
  if (isHighSurrogate(u) || isLowSurrogate(u)) return 0xFFFD;
  return u;
}

// The East Asian wide ranges, for a process whose locale gives wcwidth no answer (the C locale
// knows nothing past ASCII).
bool isWide(char32_t c) {
  return (c >= 0x1100 && c <= 0x115F) || (c >= 0x2E80 && c <= 0x303E) ||
         (c >= 0x3041 && c <= 0x33FF) || (c >= 0x3400 && c <= 0x4DBF) ||
         (c >= 0x4E00 && c <= 0x9FFF) || (c >= 0xA000 && c <= 0xA4CF) ||
         (c >= 0xAC00 && c <= 0xD7A3) || (c >= 0xF900 && c <= 0xFAFF) ||
         (c >= 0xFE30 && c <= 0xFE4F) || (c >= 0xFF00 && c <= 0xFF60) ||
         (c >= 0xFFE0 && c <= 0xFFE6) || (c >= 0x20000 && c <= 0x3FFFD);
}

}  // namespace

int codePointWidth(char32_t c) {
  // wcwidth knows the wide ranges of the locale's character set; the console runs in a UTF-8
  // locale, where wchar_t is UCS-4.
  const int w = ::wcwidth(static_cast<wchar_t>(c));
  if (w >= 0) return w;
  if (c < 0x20 || (c >= 0x7F && c < 0xA0)) return 0;
  return isWide(c) ? 2 : 1;
}

int displayWidth(std::u16string_view text) {
  int width = 0;
  for (std::size_t i = 0; i < text.size();) {
    std::size_t units = 1;
    width += codePointWidth(decodeAt(text, i, units));
    i += units;
  }
  return width;
}

std::size_t fittingUnits(std::u16string_view text, int columns) {
  int used = 0;
  std::size_t i = 0;
  while (i < text.size()) {
    std::size_t units = 1;
    const int w = codePointWidth(decodeAt(text, i, units));
    if (used + w > columns) break;
    used += w;
    i += units;
  }
  return i;
}

}  // namespace drovn::platform
