#include "platform/FixedText.h"

#include <cstdarg>
#include <cstdio>

namespace drovn::detail {

bool formatInto(char* buf, std::size_t cap, std::size_t* len, const char* fmt,
                __builtin_va_list ap) noexcept {
  std::size_t room = cap - *len;  // at least 1: *len never passes cap - 1
  int n = std::vsnprintf(buf + *len, room, fmt, ap);
  if (n < 0) {
    buf[*len] = '\0';
    return false;
  }
  std::size_t wanted = static_cast<std::size_t>(n);
  std::size_t wrote = wanted < room ? wanted : room - 1;
  // A formatted NUL (from %c with 0) ends the text, as it would for a C string.
  *len += strnlen(buf + *len, wrote);
  return wanted < room;
}

}  // namespace drovn::detail
