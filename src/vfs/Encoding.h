// The session's client encoding (UTF-8, or the code page 936) against the UTF-8 of store paths
// and names. A client text is converted exactly once on its way to the store, and a name once on
// its way back.
#pragma once

#include <string>
#include <string_view>

#include "platform/FixedText.h"
#include "platform/TextCodec.h"
#include "vfs/MountTable.h"

namespace drovn::vfs {

// Client bytes to UTF-8, replacing out: a UTF-8 session's text has each invalid sequence
// replaced by U+FFFD, a code-page session's is converted (U+FFFD for bytes that make no
// character). Never cut: out grows to hold it all.
void clientToUtf8(platform::TextCodec& codec, bool utf8, std::string_view src, std::string& out);

// UTF-8 to client bytes into dst, cleared first, the same replacements, and '?' for a character
// the code page lacks. Ends where dst is full, never inside a character.
void utf8ToClient(platform::TextCodec& codec, bool utf8, std::string_view src, PathText& dst);

}  // namespace drovn::vfs
