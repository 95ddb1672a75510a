// The error numbers the service reports: Windows Sockets numbers for network calls and Win32
// numbers for file calls, as operators and logs of this server have always shown them.
#pragma once

#include <cstdint>
#include <system_error>

namespace drovn::platform {

// Windows Sockets error numbers.
inline constexpr uint32_t kWsaeIntr = 10004;
inline constexpr uint32_t kWsaeBadf = 10009;
inline constexpr uint32_t kWsaeAcces = 10013;
inline constexpr uint32_t kWsaeFault = 10014;
inline constexpr uint32_t kWsaeInval = 10022;
inline constexpr uint32_t kWsaeMfile = 10024;
inline constexpr uint32_t kWsaeWouldBlock = 10035;
inline constexpr uint32_t kWsaeInProgress = 10036;
inline constexpr uint32_t kWsaeAlready = 10037;
inline constexpr uint32_t kWsaeNotSock = 10038;
inline constexpr uint32_t kWsaeDestAddrReq = 10039;
inline constexpr uint32_t kWsaeMsgSize = 10040;
inline constexpr uint32_t kWsaeProtoType = 10041;
inline constexpr uint32_t kWsaeNoProtoOpt = 10042;
inline constexpr uint32_t kWsaeProtoNoSupport = 10043;
inline constexpr uint32_t kWsaeSocktNoSupport = 10044;
inline constexpr uint32_t kWsaeOpNotSupp = 10045;
inline constexpr uint32_t kWsaePfNoSupport = 10046;
inline constexpr uint32_t kWsaeAfNoSupport = 10047;
inline constexpr uint32_t kWsaeAddrInUse = 10048;
inline constexpr uint32_t kWsaeAddrNotAvail = 10049;
inline constexpr uint32_t kWsaeNetDown = 10050;
inline constexpr uint32_t kWsaeNetUnreach = 10051;
inline constexpr uint32_t kWsaeNetReset = 10052;
inline constexpr uint32_t kWsaeConnAborted = 10053;
inline constexpr uint32_t kWsaeConnReset = 10054;
inline constexpr uint32_t kWsaeNoBufs = 10055;
inline constexpr uint32_t kWsaeIsConn = 10056;
inline constexpr uint32_t kWsaeNotConn = 10057;
inline constexpr uint32_t kWsaeShutdown = 10058;
inline constexpr uint32_t kWsaeTooManyRefs = 10059;
inline constexpr uint32_t kWsaeTimedOut = 10060;
inline constexpr uint32_t kWsaeConnRefused = 10061;
inline constexpr uint32_t kWsaeLoop = 10062;
inline constexpr uint32_t kWsaeNameTooLong = 10063;
inline constexpr uint32_t kWsaeHostDown = 10064;
inline constexpr uint32_t kWsaeHostUnreach = 10065;
inline constexpr uint32_t kWsaeNotEmpty = 10066;
inline constexpr uint32_t kWsaeDQuot = 10069;
inline constexpr uint32_t kWsaeStale = 10070;
// "A system call that should never fail has failed": an errno without a socket counterpart.
inline constexpr uint32_t kWsaSysCallFailure = 10107;

// Win32 error numbers.
inline constexpr uint32_t kErrorFileNotFound = 2;
inline constexpr uint32_t kErrorPathNotFound = 3;
inline constexpr uint32_t kErrorTooManyOpenFiles = 4;
inline constexpr uint32_t kErrorAccessDenied = 5;
inline constexpr uint32_t kErrorInvalidHandle = 6;
inline constexpr uint32_t kErrorNotEnoughMemory = 8;
inline constexpr uint32_t kErrorWriteProtect = 19;
inline constexpr uint32_t kErrorSharingViolation = 32;
inline constexpr uint32_t kErrorFileExists = 80;
inline constexpr uint32_t kErrorInvalidParameter = 87;
inline constexpr uint32_t kErrorDiskFull = 112;
inline constexpr uint32_t kErrorDirNotEmpty = 145;
inline constexpr uint32_t kErrorAlreadyExists = 183;
inline constexpr uint32_t kErrorFilenameTooLong = 206;
inline constexpr uint32_t kErrorFileTooLarge = 223;
inline constexpr uint32_t kErrorMoreData = 234;
inline constexpr uint32_t kErrorIoPending = 997;
inline constexpr uint32_t kErrorIoDevice = 1117;
inline constexpr uint32_t kErrorGenFailure = 31;

// The one place where errno values become the numbers above. A socket errno without a Windows
// Sockets counterpart gives kWsaSysCallFailure; EPIPE gives 10054 (the peer is gone). A file
// errno without a Win32 counterpart gives kErrorGenFailure.
uint32_t socketErrorFromErrno(int err) noexcept;
uint32_t fileErrorFromErrno(int err) noexcept;

// Failures inside the program are errno values in the generic category; a log line that shows
// a number converts it there.
inline std::error_code errnoError(int err) noexcept {
  return std::error_code(err, std::generic_category());
}

// A failure raised from the deepest level of a command.
struct PlatformError {
  std::error_code code;
};

}  // namespace drovn::platform
