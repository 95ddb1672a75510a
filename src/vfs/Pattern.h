// The name patterns of listings: '*' and '?' in the last part of a listed path pick the entries
// of one folder. Matched on names as the client sees them, character by character in the
// session's encoding, so a double-byte character is never split by a wildcard.
#pragma once

#include <string_view>

namespace drovn::vfs {

// True when text holds a '*' or a '?'. Neither byte is ever the trail byte of a double-byte
// character, so a byte test is enough in both encodings.
bool hasWildcard(std::string_view text) noexcept;

// True when name matches pattern as a whole: '*' stands for any run of characters (also none),
// '?' for exactly one character, every other character for itself (letter case counts).
// Characters are UTF-8 sequences when utf8, else code-page characters (a lead byte with its
// trail byte, or one byte).
bool matchesPattern(std::string_view pattern, std::string_view name, bool utf8) noexcept;

}  // namespace drovn::vfs
