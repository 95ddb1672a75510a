// TLS for the control and data connections (explicit FTPS). The server side only: a certificate
// and key loaded once (or made once, self-signed), and one secured stream per connection. A
// build without the TLS library keeps the same calls; creating the server then fails and says
// why.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <system_error>

#include "platform/FileSystem.h"
#include "platform/Socket.h"

namespace drovn::platform {

class Network;

// What --version says of TLS: the library ("OpenSSL 3.0.19 27 Jan 2026"), or "none (why)" for
// a build without it or a machine where it cannot be loaded.
std::string tlsLibraryVersion();

struct TlsFiles {
  std::string certFile;  // PEM paths; both empty: a self-signed pair in madeFolder
  std::string keyFile;
  std::string madeFolder;
};

class TlsConnection;

// Why a handshake failed: the library's reason, and whether it was a data connection that did
// not resume its control connection's session (the one a stranger's connection fails with).
struct TlsRefusal {
  std::string reason;
  bool notResumed = false;
};

class TlsServer {
 public:
  // Loads the pair, or with no files named makes one in madeFolder on first use and loads it
  // from there later. Null on failure, with error naming the path and the library's reason.
  static std::unique_ptr<TlsServer> create(const TlsFiles& files, std::string& error);
  ~TlsServer();
  TlsServer(const TlsServer&) = delete;
  TlsServer& operator=(const TlsServer&) = delete;

  // The certificate's SHA-256 as colon-separated upper-case hex pairs, for the operator to
  // compare with what a client shows.
  const std::string& fingerprint() const noexcept;
  // The certificate made by create, or empty when it was loaded.
  const std::string& madeCertificate() const noexcept;

  // The server side of a handshake on the connected socket s. With `control` null this starts
  // a control connection's TLS; otherwise s is one of its data connections, and the handshake
  // succeeds only when the client resumes the TLS session of that control connection, which a
  // stranger who reached the data port cannot do. Null on failure, with refusal set.
  std::unique_ptr<TlsConnection> handshake(Socket& s, const TlsConnection* control,
                                           TlsRefusal& refusal);

  struct Impl;

 private:
  explicit TlsServer(std::unique_ptr<Impl> impl);
  std::unique_ptr<Impl> impl_;
};

// One secured connection over a socket slot it does not own. The calls report as Network's
// calls on the same socket do (a closed slot ENOTSOCK, a stall ETIMEDOUT, the peer's end 0), so
// the session code reads the same on both. One thread uses it; another may close the socket.
class TlsConnection {
 public:
  ~TlsConnection();
  TlsConnection(const TlsConnection&) = delete;
  TlsConnection& operator=(const TlsConnection&) = delete;

  // All n bytes, or -1 with error set.
  long long send(const void* data, std::size_t n, std::error_code& error);
  // One receive: the count, 0 at the peer's end (its close_notify or the connection's end), -1
  // with error set.
  long long receive(void* buf, std::size_t n, std::error_code& error);
  // As receive, but waits at most waitMs: Network::kNothingYet when nothing came.
  long long receiveWithin(void* buf, std::size_t n, uint32_t waitMs, Network& network,
                          std::error_code& error);
  // As Network::sendFileBlock and receiveFileBlock; a download goes through the kernel's TLS
  // when the kernel took the keys.
  long long sendFileBlock(FileHandle& file, void* buffer, std::size_t n, std::error_code& error);
  long long receiveFileBlock(FileHandle& file, void* buffer, std::size_t n, std::error_code& error);
  // Tells the peer the stream ends here (close_notify) without waiting for its answer, so a
  // client can tell a whole download from a cut one. Failures are not reported.
  void closeNotify() noexcept;

  struct Impl;

 private:
  friend class TlsServer;
  explicit TlsConnection(std::unique_ptr<Impl> impl);
  std::unique_ptr<Impl> impl_;
};

}  // namespace drovn::platform
