// Keeps the machine from going idle while the service runs, if the operator asked for it. On
// Linux the hold is a systemd-logind "idle" inhibitor lock ("block" mode) taken over the system
// bus; a build without libsystemd, or a machine without a system bus or logind, holds nothing.
#pragma once

#include <cstdint>

#include "platform/UniqueFd.h"

namespace drovn::platform {

class AwakeHold {
 public:
  virtual ~AwakeHold() = default;
  // Asks that the machine stay awake until release(). True when the hold was granted, or was
  // already held; false when the machine refused or cannot hold it, and nothing is then held.
  virtual bool hold() = 0;
  // Ends the hold; nothing happens when none is held. Never fails.
  virtual void release() = 0;
};

// Holds the lock's descriptor, which logind watches: closing it ends the lock, so the lock also
// ends with the process however it ends. The bus is opened for each hold and closed again, so
// nothing else is kept; a hold waits at most kCallTimeoutMs for logind's answer.
class LogindAwakeHold final : public AwakeHold {
 public:
  static constexpr uint32_t kCallTimeoutMs = 2000;

  LogindAwakeHold() = default;
  ~LogindAwakeHold() override { release(); }
  LogindAwakeHold(const LogindAwakeHold&) = delete;
  LogindAwakeHold& operator=(const LogindAwakeHold&) = delete;

  bool hold() override;
  void release() override;

 private:
  UniqueFd lock_;
};

}  // namespace drovn::platform
