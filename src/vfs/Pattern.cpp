#include "vfs/Pattern.h"

#include <cstddef>

#include "platform/TextCodec.h"

namespace drovn::vfs {

namespace {

// The length in bytes of the character at i (i < s.size()), never past the end of s.
std::size_t characterLength(std::string_view s, std::size_t i, bool utf8) noexcept {
  const auto lead = static_cast<unsigned char>(s[i]);
  std::size_t n = 1;
  if (utf8) {
    n = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 1;
  } else if (i + 1 < s.size() && platform::isCodePageLeadByte(lead) &&
             platform::isCodePageTrailByte(static_cast<unsigned char>(s[i + 1]))) {
    n = 2;
  }
  return n < s.size() - i ? n : s.size() - i;
}

}  // namespace

bool hasWildcard(std::string_view text) noexcept {
  return text.find_first_of("*?") != std::string_view::npos;
}

bool matchesPattern(std::string_view pattern, std::string_view name, bool utf8) noexcept {
  constexpr std::size_t kNone = std::string_view::npos;
  std::size_t p = 0, n = 0;
  // The pattern position after the last '*' seen, and where in the name that '*' stopped:
  // on a mismatch the '*' takes one character more and the match goes on from there.
  std::size_t afterStar = kNone, starEnd = 0;
  while (n < name.size()) {
    if (p < pattern.size() && pattern[p] == '*') {
      afterStar = ++p;
      starEnd = n;
      continue;
    }
    if (p < pattern.size()) {
      const std::size_t pl = characterLength(pattern, p, utf8);
      const std::size_t nl = characterLength(name, n, utf8);
      if (pattern[p] == '?' || pattern.substr(p, pl) == name.substr(n, nl)) {
        p += pl;
        n += nl;
        continue;
      }
    }
    if (afterStar == kNone) return false;
    starEnd += characterLength(name, starEnd, utf8);
    n = starEnd;
    p = afterStar;
  }
  while (p < pattern.size() && pattern[p] == '*') ++p;
  return p == pattern.size();
}

}  // namespace drovn::vfs
