// Failures inside the program are std::error_code values holding an errno. The log lines that
// show a failure's number show the Windows Sockets or Win32 number operators know from this
// server's logs, converted here and nowhere else.
#pragma once

#include <system_error>

namespace drovn::platform {

// Failures inside the program are errno values in the generic category.
inline std::error_code errnoError(int err) noexcept {
  return std::error_code(err, std::generic_category());
}

// The numbers a log line shows for a failure, 0 for none. A network failure shows its Windows
// Sockets number: EPIPE shows 10054 (the peer is gone, as after a reset), an errno without a
// counterpart 10107 (a system call that should never fail has failed). A failure to start a
// thread shows its Win32 number: 8 (not enough memory), otherwise 31 (a general failure).
int socketErrorNumber(std::error_code error) noexcept;
int systemErrorNumber(std::error_code error) noexcept;

// A failure raised from the deepest level of a command.
struct PlatformError {
  std::error_code code;
};

}  // namespace drovn::platform
