#include "platform/ErrorCodes.h"

#include <cerrno>

namespace drovn::platform {

namespace {

struct Numbering {
  int err;
  int number;
};

// Linux has one number for EAGAIN and EWOULDBLOCK, and one for ENOTSUP and EOPNOTSUPP.
constexpr Numbering kSocketNumbers[] = {
    {EINTR, 10004},            // WSAEINTR
    {EBADF, 10009},            // WSAEBADF
    {EACCES, 10013},           // WSAEACCES
    {EPERM, 10013},            // WSAEACCES
    {EFAULT, 10014},           // WSAEFAULT
    {EINVAL, 10022},           // WSAEINVAL
    {EMFILE, 10024},           // WSAEMFILE
    {ENFILE, 10024},           // WSAEMFILE
    {EWOULDBLOCK, 10035},      // WSAEWOULDBLOCK
    {EINPROGRESS, 10036},      // WSAEINPROGRESS
    {EALREADY, 10037},         // WSAEALREADY
    {ENOTSOCK, 10038},         // WSAENOTSOCK
    {EDESTADDRREQ, 10039},     // WSAEDESTADDRREQ
    {EMSGSIZE, 10040},         // WSAEMSGSIZE
    {EPROTOTYPE, 10041},       // WSAEPROTOTYPE
    {ENOPROTOOPT, 10042},      // WSAENOPROTOOPT
    {EPROTONOSUPPORT, 10043},  // WSAEPROTONOSUPPORT
    {ESOCKTNOSUPPORT, 10044},  // WSAESOCKTNOSUPPORT
    {EOPNOTSUPP, 10045},       // WSAEOPNOTSUPP
    {EPFNOSUPPORT, 10046},     // WSAEPFNOSUPPORT
    {EAFNOSUPPORT, 10047},     // WSAEAFNOSUPPORT
    {EADDRINUSE, 10048},       // WSAEADDRINUSE
    {EADDRNOTAVAIL, 10049},    // WSAEADDRNOTAVAIL
    {ENETDOWN, 10050},         // WSAENETDOWN
    {ENETUNREACH, 10051},      // WSAENETUNREACH
    {ENETRESET, 10052},        // WSAENETRESET
    {ECONNABORTED, 10053},     // WSAECONNABORTED
    {ECONNRESET, 10054},       // WSAECONNRESET
    {EPIPE, 10054},            // WSAECONNRESET: a send after the peer has gone
    {ENOBUFS, 10055},          // WSAENOBUFS
    {ENOMEM, 10055},           // WSAENOBUFS
    {EISCONN, 10056},          // WSAEISCONN
    {ENOTCONN, 10057},         // WSAENOTCONN
    {ESHUTDOWN, 10058},        // WSAESHUTDOWN
    {ETOOMANYREFS, 10059},     // WSAETOOMANYREFS
    {ETIMEDOUT, 10060},        // WSAETIMEDOUT
    {ECONNREFUSED, 10061},     // WSAECONNREFUSED
    {ELOOP, 10062},            // WSAELOOP
    {ENAMETOOLONG, 10063},     // WSAENAMETOOLONG
    {EHOSTDOWN, 10064},        // WSAEHOSTDOWN
    {EHOSTUNREACH, 10065},     // WSAEHOSTUNREACH
    {ENOTEMPTY, 10066},        // WSAENOTEMPTY
    {EDQUOT, 10069},           // WSAEDQUOT
    {ESTALE, 10070},           // WSAESTALE
};

}  // namespace

int socketErrorNumber(std::error_code error) noexcept {
  if (!error) return 0;
  for (const Numbering& n : kSocketNumbers) {
    if (n.err == error.value()) return n.number;
  }
  return 10107;  // WSASYSCALLFAILURE
}

int systemErrorNumber(std::error_code error) noexcept {
  if (!error) return 0;
  return error.value() == ENOMEM ? 8 : 31;  // ERROR_NOT_ENOUGH_MEMORY, ERROR_GEN_FAILURE
}

}  // namespace drovn::platform
