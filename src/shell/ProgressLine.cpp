#include "shell/ProgressLine.h"

#include <cmath>
#include <limits>

#include "platform/FixedText.h"

namespace drovn::shell {

namespace {
constexpr uint64_t kKiloByte = 1024;
constexpr uint64_t kMegaLimit = 2097152;  // from here on the size is shown in MB
}  // namespace

std::string formatProgressLine(uint64_t totalBytes, int32_t speedKBps) {
  FixedText<96> line;
  if (totalBytes < 2 * kKiloByte) {
    line.format("正在传输: %u Bytes", static_cast<unsigned>(totalBytes));
  } else if (totalBytes < kMegaLimit) {
    line.format("正在传输: %u KB", static_cast<unsigned>(totalBytes / kKiloByte));
  } else {
    // Single precision, as the figure has always been computed.
    const float megaBytes = static_cast<float>(totalBytes) * (1.0f / 1048576.0f);
    line.format("正在传输: %.1f MB", static_cast<double>(megaBytes));
  }
  if (speedKBps > 0) line.appendFormat(" (%d KB/s)", speedKBps);
  return std::string(line.view());
}

int32_t sampleSpeedKBps(int64_t bytes, int32_t elapsedMs) {
  if (elapsedMs == 0) return 0;
  float speed = static_cast<float>(bytes) * 1000.0f / static_cast<float>(elapsedMs) *
                (1.0f / static_cast<float>(kKiloByte));
  speed = std::fabs(speed);
  constexpr float kMax = static_cast<float>(std::numeric_limits<int32_t>::max() / 2);
  if (!(speed < kMax)) return static_cast<int32_t>(kMax);
  return static_cast<int32_t>(speed);
}

}  // namespace drovn::shell
