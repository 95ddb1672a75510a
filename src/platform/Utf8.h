// UTF-8 against UTF-16, with the behaviour clients of this server have always seen: invalid
// input becomes U+FFFD, and nothing is written past the limit.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace drovn::platform {

// UTF-8 to UTF-16 into dst (cap units including the terminator, cap >= 1); always terminated.
// The conversion ends at the first NUL of src, or at the first character that does not fit.
// Each maximal invalid subsequence (stray continuation, overlong form, surrogate, value above
// U+10FFFF, truncated sequence) becomes one U+FFFD. A character that does not fit whole (a
// surrogate pair with one unit of room) is not written. Gives the units written.
std::size_t utf8ToUtf16(char16_t* dst, std::size_t cap, std::string_view src) noexcept;
// UTF-16 to UTF-8 into dst (cap bytes including the terminator, cap >= 1); always terminated
// and never cut inside a character; ends at the first NUL of src. A lone surrogate becomes
// U+FFFD. Gives the bytes written.
std::size_t utf16ToUtf8(char* dst, std::size_t cap, std::u16string_view src) noexcept;

// UTF-8 to UTF-8 into dst (cap bytes including the terminator, cap >= 1): valid text is copied,
// and each maximal invalid subsequence becomes U+FFFD, as utf8ToUtf16 would make it. The same
// bounds as utf8ToUtf16; gives the bytes written.
std::size_t cleanUtf8(char* dst, std::size_t cap, std::string_view src) noexcept;

// One character of s at i (i < s.size()), i moved past it; U+FFFD for a maximal invalid
// subsequence, which it consumes.
char32_t decodeUtf8(std::string_view s, std::size_t& i) noexcept;
// The character's UTF-8 bytes into out; gives how many (1 to 4).
std::size_t encodeUtf8(char32_t cp, char out[4]) noexcept;

// Unbounded forms for the console, the command line and the file layer; the same replacements,
// and a NUL is converted like any other character.
std::u16string utf8ToUtf16(std::string_view src);
std::string utf16ToUtf8(std::u16string_view src);

}  // namespace drovn::platform
