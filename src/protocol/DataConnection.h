// Data connections: PORT (the server connects to an address the client names) and PASV (the
// server listens and announces its address), one connection per transfer, and the
// process-wide TransferMeter that follows the connection opened most recently.
#pragma once

#include <cstddef>
#include <memory>

#include "platform/Socket.h"
#include "protocol/Session.h"
#include "protocol/TransferMeter.h"

namespace drovn::protocol {

inline constexpr int kDataBufferSize = 458752;  // socket send and receive buffers

// One open data connection; owned by one transfer handler.
class DataConnection {
 public:
  explicit DataConnection(SessionHost& host) : host_(host) {}
  platform::Socket& socket() noexcept { return socket_; }
  SessionHost& host() noexcept { return host_; }

 private:
  SessionHost& host_;
  platform::Socket socket_;
};

void handlePort(Session& s, const char* argument);
void handlePasv(Session& s);
// Sends the 125 or 150 preliminary reply itself; null when no connection could be made (the
// cause is logged, no reply is sent).
std::unique_ptr<DataConnection> openDataConnection(Session& s);
// Sends the whole block; gives its length, or throws PlatformError with the error number.
std::size_t sendData(DataConnection& c, const void* data, std::size_t n);
// One receive: the count, 0 when the peer closed, negative on failure. Never throws.
long long receiveData(DataConnection& c, void* buf, std::size_t n);
// Shuts the connection down, closes it and ends its tracking.
void closeDataConnection(std::unique_ptr<DataConnection>& c);
void dotsToCommas(Text& text);

}  // namespace drovn::protocol
