// The session's client encoding (UTF-8, or the device code page 936) against UTF-16, the form
// the file store and the log window take. Every conversion is bounded by its destination and
// always leaves it terminated.
#pragma once

#include <cstddef>

#include "platform/FixedText.h"
#include "platform/TextCodec.h"

namespace drovn::vfs {

inline constexpr std::size_t kConvertLimit = 2048;

// UTF-8 to UTF-16 (invalid sequences become U+FFFD); the destination is cleared first.
void utf8ToWide(FixedWide<kConvertLimit>& dst, const char* src);
// UTF-16 to UTF-8 (a lone surrogate becomes U+FFFD); the destination is cleared first.
void wideToUtf8(FixedText<kConvertLimit>& dst, const char16_t* src);
// Code page to UTF-16 and back, through the platform's code page.
void codePageToWide(platform::TextCodec& codec, FixedWide<kConvertLimit>& dst, const char* src);
void wideToCodePage(platform::TextCodec& codec, FixedText<kConvertLimit>& dst, const char16_t* src);

// The two selectors: UTF-8 when the session's utf8 flag is set, otherwise the code page.
void clientToWide(platform::TextCodec& codec, bool utf8, FixedWide<kConvertLimit>& dst,
                  const char* src);
void wideToClient(platform::TextCodec& codec, bool utf8, FixedText<kConvertLimit>& dst,
                  const char16_t* src);

}  // namespace drovn::vfs
