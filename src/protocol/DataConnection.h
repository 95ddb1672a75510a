// Data connections: PORT (the server connects to an address the client names) and PASV (the
// server listens and announces its address), one connection per transfer, and the
// process-wide TransferMeter that follows the connection opened most recently.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>

#include "platform/FileSystem.h"
#include "platform/Socket.h"
#include "protocol/Session.h"
#include "protocol/TransferMeter.h"

namespace drovn::protocol {

// A data socket's receive buffer: room for a few blocks, so that an uploading client goes on
// sending while the session writes the block it has taken to the file. The kernel grows a
// buffer it sizes itself only step by step, over most of an upload.
inline constexpr int kDataBufferSize = 2 * 1024 * 1024;

// The passive port search: from the first port above the well-known range up to the last port
// there is.
inline constexpr uint16_t kFirstPassivePort = 1025;
inline constexpr uint16_t kLastPassivePort = 65535;

// One open data connection; owned by one transfer handler. Its socket is the session's data
// socket slot (one transfer at a time), which it closes when destroyed.
class DataConnection {
 public:
  DataConnection(SessionHost& host, platform::Socket& slot) : host_(host), socket_(slot) {}
  ~DataConnection() { socket_.close(); }
  DataConnection(const DataConnection&) = delete;
  DataConnection& operator=(const DataConnection&) = delete;
  platform::Socket& socket() noexcept { return socket_; }
  SessionHost& host() noexcept { return host_; }
  // A download's bytes: handed to the socket, and of those what the client has taken.
  uint64_t handed = 0;
  uint64_t taken = 0;
  // The connection's TLS under PROT P; every transfer call below goes through it then.
  std::unique_ptr<platform::TlsConnection> tls;

 private:
  SessionHost& host_;
  platform::Socket& socket_;
};

// PORT h1,h2,h3,h4,p1,p2: the address for the next active connection. Sends one reply.
void handlePort(Session& s, std::string_view argument);
// Listens on the first free port from kFirstPassivePort on (or of the configured range, on the
// configured listen address) and announces it. Sends one reply on success and none on failure
// (the cause is logged), except that a configured range with no free port is answered with 425.
void handlePasv(Session& s);
// The listener of PASV and EPSV: the session's passive socket, listening; false (logged) when
// none could be had.
bool openPassiveListener(Session& s, uint16_t& port);
// EPSV [1|ALL] and EPRT |1|address|port|: the extended forms of PASV and PORT, for IPv4.
void handleEpsv(Session& s, std::string_view argument);
void handleEprt(Session& s, std::string_view argument);
// Sends the 125 or 150 preliminary reply itself; null when no connection could be made (the
// cause is logged; only an internal failure, such as no memory, is answered, with 425). With
// TLS, a data connection the session must protect but has not, and one whose handshake fails,
// are answered too; `answered` then says so.
std::unique_ptr<DataConnection> openDataConnection(Session& s, bool& answered);
std::unique_ptr<DataConnection> openDataConnection(Session& s);
// Sends the whole block; gives its length, or throws PlatformError with the failure.
std::size_t sendData(DataConnection& c, const void* data, std::size_t n);
// One receive: the count, 0 when the peer closed, negative on failure. Never throws.
long long receiveData(DataConnection& c, void* buf, std::size_t n);
// One block of the file, from its position on, sent whole: the count, 0 at the end of the file.
// Throws PlatformError on a failed send (as sendData) or a failed read. buffer: n bytes of room.
std::size_t sendFileBlock(DataConnection& c, platform::FileHandle& file, void* buffer,
                          std::size_t n);
// One receive of up to n bytes, written to the file at its position: as receiveData, except
// that a failed write throws PlatformError.
long long receiveFileBlock(DataConnection& c, platform::FileHandle& file, void* buffer,
                           std::size_t n);
// After a download's last block: waits until the client has taken every byte sent, so that the
// progress row follows the client to the end. Ends early when the session is closing; throws
// PlatformError (ETIMEDOUT) when the client takes nothing for the stall limit, as a send would.
void awaitTaken(Session& s, DataConnection& c);
// Shuts the connection down, closes it and ends its tracking. Null does nothing.
void closeDataConnection(std::unique_ptr<DataConnection>& c);
void dotsToCommas(Text& text);

}  // namespace drovn::protocol
