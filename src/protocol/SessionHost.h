// What a session takes from the service that accepted it: its limits, the announced address,
// the log channel, the settings, the machine's services and the transfer meter. The service
// controller implements it; keeping it an interface lets the protocol side stay below the core.
#pragma once

#include <cstdint>

#include "config/Settings.h"
#include "platform/FixedText.h"
#include "platform/Platform.h"
#include "protocol/TransferMeter.h"

namespace drovn::protocol {

class SessionHost {
 public:
  virtual int maxBadCommands() const = 0;
  virtual uint32_t idleTimeout() const = 0;  // seconds
  // The dotted address the service announces (in PASV replies).
  virtual void copyServerAddress(FixedText<2048>& out) const = 0;
  // The log channel: a code-page text, from any thread.
  virtual void writeLog(const char* codePageText) = 0;
  // The same, but the window hears of it with the next line or announceLog (see LogChannel).
  virtual void writeLogUnannounced(const char* codePageText) = 0;
  virtual void announceLog() = 0;
  // Frees the registry slot of the session with this number (negative: nothing).
  virtual void unregisterSession(int sessionId) = 0;
  virtual config::Settings settings() const = 0;
  virtual platform::Platform& platform() = 0;
  virtual TransferMeter& meter() = 0;

 protected:
  ~SessionHost() = default;
};

}  // namespace drovn::protocol
