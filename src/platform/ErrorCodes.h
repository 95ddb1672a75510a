// Failures inside the program are std::error_code values holding an errno; the log lines that
// show a failure's number show the Windows Sockets or Win32 number operators of this server
// have always seen, converted here.
#pragma once

#include <cstdint>
#include <system_error>

namespace drovn::platform {

// Win32 error numbers of the file calls.
inline constexpr uint32_t kErrorFileNotFound = 2;
inline constexpr uint32_t kErrorPathNotFound = 3;
inline constexpr uint32_t kErrorTooManyOpenFiles = 4;
inline constexpr uint32_t kErrorAccessDenied = 5;
inline constexpr uint32_t kErrorInvalidHandle = 6;
inline constexpr uint32_t kErrorNotEnoughMemory = 8;
inline constexpr uint32_t kErrorWriteProtect = 19;
inline constexpr uint32_t kErrorSharingViolation = 32;
inline constexpr uint32_t kErrorInvalidParameter = 87;
inline constexpr uint32_t kErrorDiskFull = 112;
inline constexpr uint32_t kErrorDirNotEmpty = 145;
inline constexpr uint32_t kErrorAlreadyExists = 183;
inline constexpr uint32_t kErrorFilenameTooLong = 206;
inline constexpr uint32_t kErrorFileTooLarge = 223;
inline constexpr uint32_t kErrorIoDevice = 1117;
inline constexpr uint32_t kErrorGenFailure = 31;

// The one place where errno values become the Win32 numbers above. A file errno without a
// Win32 counterpart gives kErrorGenFailure.
uint32_t fileErrorFromErrno(int err) noexcept;

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
