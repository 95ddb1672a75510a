// A build without the TLS library: the calls exist, so the rest of the server reads the same,
// but no server can be made and the settings that ask for one are refused at start-up.
#include <cerrno>

#include "platform/ErrorCodes.h"
#include "platform/Tls.h"

namespace drovn::platform {

struct TlsServer::Impl {};
struct TlsConnection::Impl {};

const char* tlsLibraryVersion() noexcept {
  return nullptr;
}

TlsServer::TlsServer(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
TlsServer::~TlsServer() = default;

std::unique_ptr<TlsServer> TlsServer::create(const TlsFiles&, std::string& error) {
  error = "this build of drovn has no TLS support (built without OpenSSL)";
  return nullptr;
}

const std::string& TlsServer::fingerprint() const noexcept {
  static const std::string none;
  return none;
}

const std::string& TlsServer::madeCertificate() const noexcept {
  return fingerprint();
}

std::unique_ptr<TlsConnection> TlsServer::handshake(Socket&, const TlsConnection*,
                                                    TlsRefusal& refusal) {
  refusal.reason = "no TLS support";
  return nullptr;
}

TlsConnection::TlsConnection(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
TlsConnection::~TlsConnection() = default;

long long TlsConnection::send(const void*, std::size_t, std::error_code& error) {
  error = errnoError(ENOTSUP);
  return -1;
}
long long TlsConnection::receive(void*, std::size_t, std::error_code& error) {
  return send(nullptr, 0, error);
}
long long TlsConnection::receiveWithin(void*, std::size_t, uint32_t, Network&,
                                       std::error_code& error) {
  return send(nullptr, 0, error);
}
long long TlsConnection::sendFileBlock(FileHandle&, void*, std::size_t, std::error_code& error) {
  return send(nullptr, 0, error);
}
long long TlsConnection::receiveFileBlock(FileHandle&, void*, std::size_t, std::error_code& error) {
  return send(nullptr, 0, error);
}
void TlsConnection::closeNotify() noexcept {}

}  // namespace drovn::platform
