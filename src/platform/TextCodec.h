// The device code page (936, GBK) against UTF-16. Settings texts and log texts are code-page
// bytes; the window, the file system and the console take UTF-16.
#pragma once

#include <cstddef>
#include <string_view>

namespace drovn::platform {

// The byte ranges of a double-byte character of the code page. A lead byte followed by a trail
// byte always converts as one unit (a character, or one U+FFFD when the pair makes none).
constexpr bool isCodePageLeadByte(unsigned char b) noexcept {
  return b >= 0x81 && b <= 0xFE;
}
constexpr bool isCodePageTrailByte(unsigned char b) noexcept {
  return (b >= 0x40 && b <= 0x7E) || (b >= 0x80 && b <= 0xFE);
}

class TextCodec {
 public:
  virtual ~TextCodec() = default;
  // Converts the NUL-terminated src into dst, which has room for cap units including the
  // terminator (cap >= 1). dst is always terminated; conversion stops when it is full. A byte
  // sequence that is not valid code-page text becomes U+FFFD and conversion goes on: a lead
  // byte with a trail byte that make no character is one U+FFFD, and so is a single byte that
  // cannot start one (a lead byte before a byte that cannot follow it, or at the end). Gives
  // the units written.
  virtual std::size_t codePageToWide(char16_t* dst, std::size_t cap, const char* src) = 0;
  // UTF-16 to code page, cap bytes including the terminator. A character the code page lacks
  // (and a lone surrogate) becomes '?'. Never cuts a double-byte character in half. Gives the
  // bytes written.
  virtual std::size_t wideToCodePage(char* dst, std::size_t cap, const char16_t* src) = 0;
  // The same two conversions against UTF-8, cap bytes including the terminator, ending at the
  // first NUL of src. Code-page text that makes no character becomes U+FFFD as above; a
  // character the code page lacks, and each maximal invalid UTF-8 subsequence, becomes '?'.
  // Neither cuts a character in half.
  virtual std::size_t codePageToUtf8(char* dst, std::size_t cap, std::string_view src) = 0;
  virtual std::size_t utf8ToCodePage(char* dst, std::size_t cap, std::string_view src) = 0;
};

// glibc's iconv with code page 936. Each thread gets its own converters, so any thread may call.
class LinuxTextCodec final : public TextCodec {
 public:
  std::size_t codePageToWide(char16_t* dst, std::size_t cap, const char* src) override;
  std::size_t wideToCodePage(char* dst, std::size_t cap, const char16_t* src) override;
  std::size_t codePageToUtf8(char* dst, std::size_t cap, std::string_view src) override;
  std::size_t utf8ToCodePage(char* dst, std::size_t cap, std::string_view src) override;
};

}  // namespace drovn::platform
