// The code page 936 (GBK) against UTF-8. Settings texts and the log's session lines are
// code-page bytes; the console, the log window and the file store take UTF-8.
#pragma once

#include <cstddef>
#include <string_view>

namespace drovn::platform {

// The byte ranges of a double-byte character of the code page. A lead byte followed by a trail
// byte always converts as one character (or one U+FFFD when the pair makes none).
constexpr bool isCodePageLeadByte(unsigned char b) noexcept {
  return b >= 0x81 && b <= 0xFE;
}
constexpr bool isCodePageTrailByte(unsigned char b) noexcept {
  return (b >= 0x40 && b <= 0x7E) || (b >= 0x80 && b <= 0xFE);
}

class TextCodec {
 public:
  virtual ~TextCodec() = default;
  // Code page to UTF-8 into dst, cap bytes including the terminator (cap >= 1); ends at the
  // first NUL of src or where dst is full, never inside a character, and always terminates dst.
  // A byte sequence that is not valid code-page text becomes U+FFFD and conversion goes on: a
  // lead byte with a trail byte that make no character is one U+FFFD, and so is a single byte
  // that cannot start one (a lead byte before a byte that cannot follow it, or at the end).
  // Gives the bytes written.
  virtual std::size_t codePageToUtf8(char* dst, std::size_t cap, std::string_view src) = 0;
  // UTF-8 to code page, the same bounds. A character the code page lacks, and each maximal
  // invalid UTF-8 subsequence, becomes '?'. Never cuts a double-byte character in half.
  virtual std::size_t utf8ToCodePage(char* dst, std::size_t cap, std::string_view src) = 0;
};

// glibc's iconv with code page 936. Each thread gets its own converters, so any thread may call.
class LinuxTextCodec final : public TextCodec {
 public:
  std::size_t codePageToUtf8(char* dst, std::size_t cap, std::string_view src) override;
  std::size_t utf8ToCodePage(char* dst, std::size_t cap, std::string_view src) override;
};

}  // namespace drovn::platform
