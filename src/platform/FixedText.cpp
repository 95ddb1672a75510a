#include "platform/FixedText.h"

#include <cstdarg>
#include <cstdio>

namespace drovn::detail {

bool formatInto(char* buf, std::size_t cap, std::size_t* len, const char* fmt,
                __builtin_va_list ap) noexcept {
  std::size_t room = cap - *len;
  int n = std::vsnprintf(buf + *len, room, fmt, ap);
  if (n < 0) {
    buf[*len] = '\0';
    return false;
  }
  // A formatted NUL (from %c with 0) ends the text, as it would for a C string.
  std::size_t wrote = static_cast<std::size_t>(n) < room ? static_cast<std::size_t>(n) : room - 1;
  *len += std::strlen(buf + *len) < wrote ? std::strlen(buf + *len) : wrote;
  return static_cast<std::size_t>(n) < room;
}

}  // namespace drovn::detail
