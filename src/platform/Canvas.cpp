#include "platform/Canvas.h"

#include <cwchar>

#include "platform/Utf8.h"

namespace drovn::platform {

namespace {

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

int displayWidth(std::string_view text) {
  int width = 0;
  for (std::size_t i = 0; i < text.size();) width += codePointWidth(decodeUtf8(text, i));
  return width;
}

std::size_t fittingBytes(std::string_view text, int columns) {
  int used = 0;
  std::size_t i = 0;
  while (i < text.size()) {
    std::size_t next = i;
    const int w = codePointWidth(decodeUtf8(text, next));
    if (used + w > columns) break;
    used += w;
    i = next;
  }
  return i;
}

}  // namespace drovn::platform
