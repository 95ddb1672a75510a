#include "platform/ErrorCodes.h"

#include <cerrno>

namespace drovn::platform {

uint32_t socketErrorFromErrno(int err) noexcept {
  switch (err) {
    case 0:
      return 0;
    case EINTR:
      return kWsaeIntr;
    case EBADF:
      return kWsaeBadf;
    case EACCES:
    case EPERM:
      return kWsaeAcces;
    case EFAULT:
      return kWsaeFault;
    case EINVAL:
      return kWsaeInval;
    case EMFILE:
    case ENFILE:
      return kWsaeMfile;
    case EWOULDBLOCK:
      return kWsaeWouldBlock;  // EAGAIN is the same number on Linux
    case EINPROGRESS:
      return kWsaeInProgress;
    case EALREADY:
      return kWsaeAlready;
    case ENOTSOCK:
      return kWsaeNotSock;
    case EDESTADDRREQ:
      return kWsaeDestAddrReq;
    case EMSGSIZE:
      return kWsaeMsgSize;
    case EPROTOTYPE:
      return kWsaeProtoType;
    case ENOPROTOOPT:
      return kWsaeNoProtoOpt;
    case EPROTONOSUPPORT:
      return kWsaeProtoNoSupport;
    case ESOCKTNOSUPPORT:
      return kWsaeSocktNoSupport;
    case EOPNOTSUPP:
      return kWsaeOpNotSupp;  // ENOTSUP is the same number on Linux
    case EPFNOSUPPORT:
      return kWsaePfNoSupport;
    case EAFNOSUPPORT:
      return kWsaeAfNoSupport;
    case EADDRINUSE:
      return kWsaeAddrInUse;
    case EADDRNOTAVAIL:
      return kWsaeAddrNotAvail;
    case ENETDOWN:
      return kWsaeNetDown;
    case ENETUNREACH:
      return kWsaeNetUnreach;
    case ENETRESET:
      return kWsaeNetReset;
    case ECONNABORTED:
      return kWsaeConnAborted;
    // A send into a connection the peer has reset gives EPIPE on Linux; the peer is gone either
    // way, which this server has always reported as a reset.
    case ECONNRESET:
    case EPIPE:
      return kWsaeConnReset;
    case ENOBUFS:
    case ENOMEM:
      return kWsaeNoBufs;
    case EISCONN:
      return kWsaeIsConn;
    case ENOTCONN:
      return kWsaeNotConn;
    case ESHUTDOWN:
      return kWsaeShutdown;
    case ETOOMANYREFS:
      return kWsaeTooManyRefs;
    case ETIMEDOUT:
      return kWsaeTimedOut;
    case ECONNREFUSED:
      return kWsaeConnRefused;
    case ELOOP:
      return kWsaeLoop;
    case ENAMETOOLONG:
      return kWsaeNameTooLong;
    case EHOSTDOWN:
      return kWsaeHostDown;
    case EHOSTUNREACH:
      return kWsaeHostUnreach;
    case ENOTEMPTY:
      return kWsaeNotEmpty;
    case EDQUOT:
      return kWsaeDQuot;
    case ESTALE:
      return kWsaeStale;
    default:
      return kWsaSysCallFailure;
  }
}

uint32_t fileErrorFromErrno(int err) noexcept {
  switch (err) {
    case 0:
      return 0;
    case ENOENT:
      return kErrorFileNotFound;
    case ENOTDIR:
      return kErrorPathNotFound;
    case EMFILE:
    case ENFILE:
      return kErrorTooManyOpenFiles;
    case EACCES:
    case EPERM:
    case EISDIR:
    case EXDEV:
    case ELOOP:
      return kErrorAccessDenied;
    case EBADF:
      return kErrorInvalidHandle;
    case ENOMEM:
      return kErrorNotEnoughMemory;
    case EROFS:
      return kErrorWriteProtect;
    case EBUSY:
    case ETXTBSY:
      return kErrorSharingViolation;
    case EINVAL:
      return kErrorInvalidParameter;
    case ENOSPC:
    case EDQUOT:
      return kErrorDiskFull;
    case ENOTEMPTY:
      return kErrorDirNotEmpty;
    case EEXIST:
      return kErrorAlreadyExists;
    case ENAMETOOLONG:
      return kErrorFilenameTooLong;
    case EFBIG:
      return kErrorFileTooLarge;
    case EIO:
      return kErrorIoDevice;
    default:
      return kErrorGenFailure;
  }
}

}  // namespace drovn::platform
