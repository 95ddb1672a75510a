#include <gtest/gtest.h>

#include <string>

#include "platform/Utf8.h"
#include "shell/ProgressLine.h"

namespace drovn::shell {
namespace {

struct FormatCase {
  uint32_t totalBytes;
  int32_t speed;
  const char* line;
};

class ProgressFormat : public testing::TestWithParam<FormatCase> {};

TEST_P(ProgressFormat, ChoosesTheUnitBySizeAndAddsAKnownSpeed) {
  const FormatCase& c = GetParam();
  EXPECT_EQ(platform::utf16ToUtf8(formatProgressLine(c.totalBytes, c.speed)), c.line);
}

INSTANTIATE_TEST_SUITE_P(
    Boundaries, ProgressFormat,
    testing::Values(FormatCase{0, 0, "正在传输: 0 Bytes"},
                    FormatCase{2047, 0, "正在传输: 2047 Bytes"},
                    FormatCase{2048, 0, "正在传输: 2 KB"}, FormatCase{3071, 0, "正在传输: 2 KB"},
                    FormatCase{2097151, 0, "正在传输: 2047 KB"},
                    FormatCase{2097152, 0, "正在传输: 2.0 MB"},
                    FormatCase{10590617, 0, "正在传输: 10.1 MB"},
                    FormatCase{2047, 45, "正在传输: 2047 Bytes (45 KB/s)"},
                    FormatCase{3072, 45, "正在传输: 3 KB (45 KB/s)"},
                    FormatCase{2097152, 409, "正在传输: 2.0 MB (409 KB/s)"},
                    FormatCase{3072, -5, "正在传输: 3 KB"},
                    // Past 2 GiB the signed counter of the meter reads as unsigned.
                    FormatCase{3221225472u, 0, "正在传输: 3072.0 MB"}));

struct SpeedCase {
  int32_t bytes;
  int32_t elapsedMs;
  int32_t speed;
};

class SpeedSample : public testing::TestWithParam<SpeedCase> {};

TEST_P(SpeedSample, IsKilobytesPerSecondTruncated) {
  const SpeedCase& c = GetParam();
  EXPECT_EQ(sampleSpeedKBps(c.bytes, c.elapsedMs), c.speed);
}

INSTANTIATE_TEST_SUITE_P(Samples, SpeedSample,
                         testing::Values(SpeedCase{1048576, 2500, 409},
                                         SpeedCase{1048576, 2000, 512}, SpeedCase{1023, 2000, 0},
                                         SpeedCase{-1048576, 2500, 409},
                                         // In single precision the largest count rounds up to 2^31.
                                         SpeedCase{2147483647, 2000, 1048576},
                                         SpeedCase{1000, 0, 0}));

}  // namespace
}  // namespace drovn::shell
