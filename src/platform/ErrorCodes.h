// The error numbers the service reports: Windows Sockets numbers for network calls and Win32
// numbers for file calls, as operators and logs of this server have always shown them.
#pragma once

#include <cstdint>

namespace drovn::platform {

// Windows Sockets error numbers.
inline constexpr uint32_t kWsaeIntr = 10004;
inline constexpr uint32_t kWsaeBadf = 10009;
inline constexpr uint32_t kWsaeAcces = 10013;
inline constexpr uint32_t kWsaeInval = 10022;
inline constexpr uint32_t kWsaeMfile = 10024;
inline constexpr uint32_t kWsaeWouldBlock = 10035;
inline constexpr uint32_t kWsaeNotSock = 10038;
inline constexpr uint32_t kWsaeAddrInUse = 10048;
inline constexpr uint32_t kWsaeAddrNotAvail = 10049;
inline constexpr uint32_t kWsaeConnAborted = 10053;
inline constexpr uint32_t kWsaeConnReset = 10054;
inline constexpr uint32_t kWsaeNoBufs = 10055;
inline constexpr uint32_t kWsaeNotConn = 10057;
inline constexpr uint32_t kWsaeShutdown = 10058;
inline constexpr uint32_t kWsaeTimedOut = 10060;
inline constexpr uint32_t kWsaeConnRefused = 10061;

// Win32 error numbers.
inline constexpr uint32_t kErrorFileNotFound = 2;
inline constexpr uint32_t kErrorPathNotFound = 3;
inline constexpr uint32_t kErrorTooManyOpenFiles = 4;
inline constexpr uint32_t kErrorAccessDenied = 5;
inline constexpr uint32_t kErrorNotEnoughMemory = 8;
inline constexpr uint32_t kErrorSharingViolation = 32;
inline constexpr uint32_t kErrorFileExists = 80;
inline constexpr uint32_t kErrorInvalidParameter = 87;
inline constexpr uint32_t kErrorDiskFull = 112;
inline constexpr uint32_t kErrorDirNotEmpty = 145;
inline constexpr uint32_t kErrorAlreadyExists = 183;
inline constexpr uint32_t kErrorFilenameTooLong = 206;
inline constexpr uint32_t kErrorMoreData = 234;
inline constexpr uint32_t kErrorIoPending = 997;
inline constexpr uint32_t kErrorGenFailure = 31;

// The one place where errno values become the numbers above.
uint32_t socketErrorFromErrno(int err) noexcept;
uint32_t fileErrorFromErrno(int err) noexcept;

// A failure raised from the deepest level of a command: the 32-bit error number.
struct PlatformError {
  uint32_t code;
};

}  // namespace drovn::platform
