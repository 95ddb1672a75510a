#include <gtest/gtest.h>

#include <cerrno>

#include "platform/ErrorCodes.h"

namespace drovn::platform {
namespace {

struct Mapping {
  int err;
  uint32_t socketCode;
  uint32_t fileCode;
};

class ErrnoMapping : public ::testing::TestWithParam<Mapping> {};

// The numbers the log shows for the failures operators meet.
TEST_P(ErrnoMapping, GivesTheWindowsNumbers) {
  EXPECT_EQ(socketErrorFromErrno(GetParam().err), GetParam().socketCode) << GetParam().err;
  EXPECT_EQ(fileErrorFromErrno(GetParam().err), GetParam().fileCode) << GetParam().err;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ErrnoMapping,
    ::testing::Values(
        Mapping{0, 0, 0}, Mapping{EADDRINUSE, 10048, kErrorGenFailure},
        Mapping{ECONNRESET, 10054, kErrorGenFailure}, Mapping{EPIPE, 10054, kErrorGenFailure},
        Mapping{ECONNREFUSED, 10061, kErrorGenFailure}, Mapping{EACCES, 10013, 5},
        Mapping{EMFILE, 10024, 4}, Mapping{ENFILE, 10024, 4},
        Mapping{ENOENT, kWsaSysCallFailure, 2}, Mapping{ENOTDIR, kWsaSysCallFailure, 3},
        Mapping{EEXIST, kWsaSysCallFailure, 183}, Mapping{ENOSPC, kWsaSysCallFailure, 112},
        Mapping{EDQUOT, 10069, 112}, Mapping{ENOTEMPTY, 10066, 145},
        Mapping{ENAMETOOLONG, 10063, 206}, Mapping{EBUSY, kWsaSysCallFailure, 32},
        Mapping{EROFS, kWsaSysCallFailure, 19}, Mapping{EIO, kWsaSysCallFailure, 1117},
        Mapping{ENOMEM, 10055, 8}, Mapping{EINVAL, 10022, 87},
        Mapping{EWOULDBLOCK, 10035, kErrorGenFailure},
        Mapping{ETIMEDOUT, 10060, kErrorGenFailure}));

}  // namespace
}  // namespace drovn::platform
