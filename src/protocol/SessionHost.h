// What a session takes from the service that accepted it: its limits, the announced address,
// the log channel, the settings, the machine's services and the transfer meter. The service
// controller implements it; keeping it an interface lets the protocol side stay below the core.
#pragma once

#include <cstdint>

#include "config/Settings.h"
#include "platform/FixedText.h"
#include "platform/Platform.h"
#include "platform/Tls.h"
#include "protocol/TransferMeter.h"

namespace drovn::protocol {

// How long a session waits on its client before it gives up, so that a client that vanishes
// never keeps a slot. A wait that moves something starts again; a stop ends every wait at once.
struct SessionLimits {
  uint32_t idleSeconds = 600;         // a command after the last one, or anything at all
  uint32_t passiveAcceptMs = 36000;   // the client's data connection after PASV
  uint32_t activeConnectMs = 30000;   // our data connection to the client's PORT address
  uint32_t dataStallMs = 600000;      // a data connection that moves no byte
};

class SessionHost {
 public:
  virtual int maxBadCommands() const = 0;
  virtual const SessionLimits& limits() const = 0;
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
  // The TLS server, made when the service first started with TLS on; null without it.
  virtual platform::TlsServer* tls() = 0;

 protected:
  ~SessionHost() = default;
};

}  // namespace drovn::protocol
