// The progress of the data connection opened most recently, process-wide. Session threads count
// the bytes they move; the main window samples the rate and shows the progress row. Every field
// is an atomic word, so a reader may see a mix of old and new values but never a torn one.
#pragma once

#include <atomic>
#include <cstdint>

namespace drovn::protocol {

struct TransferMeter {
  std::atomic<uint32_t> trackedConnection{0};  // socket id of the tracked connection; 0: none
  // Byte counts in 64 bits: a transfer of many GiB counts on without wrapping.
  std::atomic<int64_t> totalBytes{0};
  std::atomic<int64_t> bytesSinceSample{0};
  std::atomic<int32_t> sampleTick{0};
  std::atomic<int32_t> lastIoTick{0};
  std::atomic<int32_t> speedKBps{0};
};

}  // namespace drovn::protocol
