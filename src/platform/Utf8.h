// UTF-8 walked character by character, with the replacement clients of this server see for
// invalid input: U+FFFD, one for each maximal invalid subsequence (stray continuation, overlong
// form, surrogate, value above U+10FFFF, truncated sequence). Nothing is written past a limit.
#pragma once

#include <cstddef>
#include <string_view>

namespace drovn::platform {

// UTF-8 to UTF-8 into dst (cap bytes including the terminator, cap >= 1): valid text is copied
// and each maximal invalid subsequence becomes U+FFFD. Always terminated; ends at the first NUL
// of src, or at the first character that does not fit whole. Gives the bytes written.
std::size_t cleanUtf8(char* dst, std::size_t cap, std::string_view src) noexcept;

// One character of s at i (i < s.size()), i moved past it; U+FFFD for a maximal invalid
// subsequence, which it consumes.
char32_t decodeUtf8(std::string_view s, std::size_t& i) noexcept;
// The character's UTF-8 bytes into out; gives how many (1 to 4).
std::size_t encodeUtf8(char32_t cp, char out[4]) noexcept;

}  // namespace drovn::platform
