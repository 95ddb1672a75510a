// The text of the transfer progress row and the speed sample behind it.
#pragma once

#include <cstdint>
#include <string>

namespace drovn::shell {

// Speeds are sampled no more often than this.
inline constexpr int32_t kSampleIntervalMs = 2000;

// "正在传输: ..." in Bytes below 2048, in KB below 2 MiB, else in MB with one decimal; the speed
// is added in parentheses when it is known (above 0).
std::string formatProgressLine(uint64_t totalBytes, int32_t speedKBps);
// KB per second for `bytes` moved in `elapsedMs` (> 0), truncated; never negative.
int32_t sampleSpeedKBps(int64_t bytes, int32_t elapsedMs);

}  // namespace drovn::shell
