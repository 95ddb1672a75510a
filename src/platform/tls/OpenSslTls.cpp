// TLS through OpenSSL 3. Each secured connection keeps the socket's own descriptor in a socket
// BIO, so the kernel can take over the encryption of downloads (kernel TLS); every call borrows
// the descriptor with a Socket::Use first, so a close from another thread wakes the call by its
// shutdown and the descriptor cannot be released under it.
#include <fcntl.h>
#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/opensslv.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

#include "platform/ErrorCodes.h"
#include "platform/Network.h"
#include "platform/Tls.h"

namespace drovn::platform {

namespace {

constexpr std::size_t kTokenSize = 16;
constexpr char kMadeCertificate[] = "tls-cert.pem";
constexpr char kMadeKey[] = "tls-key.pem";
constexpr long kMadeValidSeconds = 3650L * 24 * 60 * 60;
// Sessions kept for TLS 1.2 clients that resume by session id; tickets need no room here.
constexpr long kSessionCacheSize = 1024;

struct SslCtxFree {
  void operator()(SSL_CTX* p) const noexcept { SSL_CTX_free(p); }
};
struct SslFree {
  void operator()(SSL* p) const noexcept { SSL_free(p); }
};
struct PkeyFree {
  void operator()(EVP_PKEY* p) const noexcept { EVP_PKEY_free(p); }
};
struct X509Free {
  void operator()(X509* p) const noexcept { X509_free(p); }
};
struct BnFree {
  void operator()(BIGNUM* p) const noexcept { BN_free(p); }
};
struct BioFree {
  void operator()(BIO* p) const noexcept { BIO_free(p); }
};

// The oldest reason the library queued for this thread, and the queue emptied.
std::string libraryReason(const char* fallback) {
  const unsigned long code = ERR_get_error();
  ERR_clear_error();
  if (code == 0) return fallback;
  char text[256];
  ERR_error_string_n(code, text, sizeof text);
  return text;
}

std::string systemReason(const std::string& path, int err) {
  return path + ": " + std::strerror(err);
}

// Writes a PEM file through a temporary name, so a crash never leaves half a key under the
// real one; the key is the owner's alone from its first byte.
bool writePem(const std::string& path, mode_t mode, bool key, EVP_PKEY* pkey, X509* cert,
              std::string& error) {
  const std::string temp = path + ".tmp";
  (void)::unlink(temp.c_str());
  const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
  if (fd < 0) {
    error = systemReason(temp, errno);
    return false;
  }
  bool written = false;
  {
    std::unique_ptr<BIO, BioFree> bio(BIO_new_fd(fd, BIO_NOCLOSE));
    written = bio && (key ? PEM_write_bio_PrivateKey(bio.get(), pkey, nullptr, nullptr, 0, nullptr,
                                                     nullptr)
                          : PEM_write_bio_X509(bio.get(), cert)) == 1;
    written = written && BIO_flush(bio.get()) == 1;
  }
  written = written && ::fsync(fd) == 0;
  const int closed = ::close(fd);
  if (!written || closed != 0 || ::rename(temp.c_str(), path.c_str()) != 0) {
    error = systemReason(path, errno != 0 ? errno : EIO);
    (void)::unlink(temp.c_str());
    return false;
  }
  return true;
}

// A self-signed P-256 certificate for ten years; clients are expected to compare its
// fingerprint with the one in the log, not to trust it by a chain.
bool makeCertificate(const std::string& certPath, const std::string& keyPath, std::string& error) {
  std::unique_ptr<EVP_PKEY, PkeyFree> key(EVP_EC_gen("P-256"));
  std::unique_ptr<X509, X509Free> cert(X509_new());
  std::unique_ptr<BIGNUM, BnFree> serial(BN_new());
  bool made = key && cert && serial && X509_set_version(cert.get(), 2) == 1 &&
              BN_rand(serial.get(), 63, BN_RAND_TOP_ANY, BN_RAND_BOTTOM_ANY) == 1 &&
              BN_to_ASN1_INTEGER(serial.get(), X509_get_serialNumber(cert.get())) != nullptr &&
              X509_gmtime_adj(X509_getm_notBefore(cert.get()), 0) != nullptr &&
              X509_gmtime_adj(X509_getm_notAfter(cert.get()), kMadeValidSeconds) != nullptr &&
              X509_set_pubkey(cert.get(), key.get()) == 1;
  if (made) {
    X509_NAME* name = X509_get_subject_name(cert.get());
    const auto* common = reinterpret_cast<const unsigned char*>("drovn");
    made = X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, common, -1, -1, 0) == 1 &&
           X509_set_issuer_name(cert.get(), name) == 1 &&
           X509_sign(cert.get(), key.get(), EVP_sha256()) > 0;
  }
  if (!made) {
    error = "cannot make a certificate: " + libraryReason("unknown failure");
    return false;
  }
  return writePem(keyPath, 0600, true, key.get(), nullptr, error) &&
         writePem(certPath, 0644, false, nullptr, cert.get(), error);
}

// A named file that cannot be opened is reported with the system's reason, which says more
// than the library's for a wrong path or a missing permission.
bool readable(const std::string& path, std::string& error) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    error = systemReason(path, errno);
    return false;
  }
  (void)::close(fd);
  return true;
}

std::string fingerprintOf(X509* cert) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (cert == nullptr || X509_digest(cert, EVP_sha256(), digest, &length) != 1) return {};
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned int i = 0; i < length; ++i) {
    if (i != 0) out += ':';
    out += kHex[digest[i] >> 4];
    out += kHex[digest[i] & 15];
  }
  return out;
}

}  // namespace

const char* tlsLibraryVersion() noexcept {
  return OpenSSL_version(OPENSSL_VERSION);
}

struct TlsServer::Impl {
  std::unique_ptr<SSL_CTX, SslCtxFree> context;
  std::string fingerprint;
  std::string made;
};

struct TlsConnection::Impl {
  explicit Impl(Socket& s) : socket(s) {}
  Socket& socket;
  int fd = -1;
  std::unique_ptr<SSL, SslFree> ssl;
  // Names the control connection; its data connections carry the same, and a session ticket
  // is honoured only on a connection with the token it was issued under.
  unsigned char token[kTokenSize] = {};
  bool kernelSends = false;
  // After a fatal error the library must not be asked to shut the stream down.
  bool broken = false;

  std::error_code failure(int sslError, int err) {
    broken = sslError == SSL_ERROR_SYSCALL || sslError == SSL_ERROR_SSL;
    if (socket.isClosing()) return errnoError(ENOTSOCK);
    switch (sslError) {
      // The socket's send or receive limit ran out.
      case SSL_ERROR_WANT_READ:
      case SSL_ERROR_WANT_WRITE:
        return errnoError(ETIMEDOUT);
      case SSL_ERROR_SYSCALL:
        if (err == 0 || err == EPIPE) err = ECONNRESET;
        return errnoError(err);
      default:
        return errnoError(EPROTO);
    }
  }
};

namespace {

TlsConnection::Impl* connectionOf(SSL* ssl) {
  return static_cast<TlsConnection::Impl*>(SSL_get_app_data(ssl));
}

int putToken(SSL* ssl, void*) {
  TlsConnection::Impl* c = connectionOf(ssl);
  return SSL_SESSION_set1_ticket_appdata(SSL_get_session(ssl), c->token, kTokenSize);
}

// A ticket from another control connection (another client, or the same one's earlier login)
// is declined: the handshake then starts afresh and the data connection is refused for it.
SSL_TICKET_RETURN checkToken(SSL* ssl, SSL_SESSION* session, const unsigned char*, size_t,
                             SSL_TICKET_STATUS status, void*) {
  if (status == SSL_TICKET_FATAL_ERR_MALLOC || status == SSL_TICKET_FATAL_ERR_OTHER) {
    return SSL_TICKET_RETURN_ABORT;
  }
  if (status != SSL_TICKET_SUCCESS && status != SSL_TICKET_SUCCESS_RENEW) {
    return SSL_TICKET_RETURN_IGNORE_RENEW;
  }
  void* data = nullptr;
  size_t length = 0;
  const TlsConnection::Impl* c = connectionOf(ssl);
  if (SSL_SESSION_get0_ticket_appdata(session, &data, &length) != 1 || length != kTokenSize ||
      std::memcmp(data, c->token, kTokenSize) != 0) {
    return SSL_TICKET_RETURN_IGNORE_RENEW;
  }
  return status == SSL_TICKET_SUCCESS ? SSL_TICKET_RETURN_USE : SSL_TICKET_RETURN_USE_RENEW;
}

}  // namespace

TlsServer::TlsServer(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
TlsServer::~TlsServer() = default;

const std::string& TlsServer::fingerprint() const noexcept {
  return impl_->fingerprint;
}
const std::string& TlsServer::madeCertificate() const noexcept {
  return impl_->made;
}

std::unique_ptr<TlsServer> TlsServer::create(const TlsFiles& files, std::string& error) {
  // The library writes to sockets with write(), which raises SIGPIPE for a peer that has gone;
  // the send reports it as an error instead.
  (void)::signal(SIGPIPE, SIG_IGN);
  ERR_clear_error();
  auto impl = std::make_unique<Impl>();
  std::string certFile = files.certFile;
  std::string keyFile = files.keyFile;
  if (certFile.empty() != keyFile.empty()) {
    error = "a certificate needs both tls_certFile and tls_keyFile";
    return nullptr;
  }
  if (certFile.empty()) {
    certFile = files.madeFolder + "/" + kMadeCertificate;
    keyFile = files.madeFolder + "/" + kMadeKey;
    if (::access(certFile.c_str(), F_OK) != 0 || ::access(keyFile.c_str(), F_OK) != 0) {
      std::error_code folderError;
      std::filesystem::create_directories(files.madeFolder, folderError);
      if (folderError) {
        error = files.madeFolder + ": " + folderError.message();
        return nullptr;
      }
      if (!makeCertificate(certFile, keyFile, error)) return nullptr;
      impl->made = certFile;
    }
  }
  if (!readable(certFile, error) || !readable(keyFile, error)) return nullptr;

  impl->context.reset(SSL_CTX_new(TLS_server_method()));
  SSL_CTX* ctx = impl->context.get();
  if (ctx == nullptr) {
    error = "cannot start TLS: " + libraryReason("no context");
    return nullptr;
  }
  if (SSL_CTX_use_certificate_chain_file(ctx, certFile.c_str()) != 1) {
    error = "cannot load the certificate " + certFile + ": " + libraryReason("not a PEM file");
    return nullptr;
  }
  if (SSL_CTX_use_PrivateKey_file(ctx, keyFile.c_str(), SSL_FILETYPE_PEM) != 1 ||
      SSL_CTX_check_private_key(ctx) != 1) {
    error = "cannot load the key " + keyFile + ": " + libraryReason("not the certificate's key");
    return nullptr;
  }
  (void)SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION);
  uint64_t options = SSL_OP_NO_RENEGOTIATION | SSL_OP_IGNORE_UNEXPECTED_EOF;
#ifdef SSL_OP_ENABLE_KTLS
  options |= SSL_OP_ENABLE_KTLS;
#endif
  (void)SSL_CTX_set_options(ctx, options);
  (void)SSL_CTX_sess_set_cache_size(ctx, kSessionCacheSize);
  (void)SSL_CTX_set_session_ticket_cb(ctx, putToken, checkToken, nullptr);
  impl->fingerprint = fingerprintOf(SSL_CTX_get0_certificate(ctx));
  return std::unique_ptr<TlsServer>(new TlsServer(std::move(impl)));
}

std::unique_ptr<TlsConnection> TlsServer::handshake(Socket& s, const TlsConnection* control,
                                                    TlsRefusal& refusal) {
  std::string& reason = refusal.reason;
  auto c = std::make_unique<TlsConnection::Impl>(s);
  Socket::Use use(s);
  if (use.fd() < 0) {
    reason = "the connection is closed";
    return nullptr;
  }
  c->fd = use.fd();
  c->ssl.reset(SSL_new(impl_->context.get()));
  SSL* ssl = c->ssl.get();
  if (ssl == nullptr) {
    reason = libraryReason("no memory");
    return nullptr;
  }
  if (control != nullptr) {
    std::memcpy(c->token, control->impl_->token, kTokenSize);
  } else if (RAND_bytes(c->token, kTokenSize) != 1) {
    reason = libraryReason("no random bytes");
    return nullptr;
  }
  // TLS 1.2 sessions kept by id are bound the same way as tickets.
  (void)SSL_set_session_id_context(ssl, c->token, kTokenSize);
  (void)SSL_set_app_data(ssl, c.get());
  // A control connection waits for its commands with its own time-out, so a record that is not
  // a command must not leave the read blocked for the next one.
  if (control == nullptr) SSL_clear_mode(ssl, SSL_MODE_AUTO_RETRY);
  (void)SSL_set_mode(ssl, SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
  if (SSL_set_fd(ssl, c->fd) != 1) {
    reason = libraryReason("cannot use the socket");
    return nullptr;
  }
  ERR_clear_error();
  errno = 0;
  const int accepted = SSL_accept(ssl);
  if (accepted != 1) {
    const int err = errno;
    const int sslError = SSL_get_error(ssl, accepted);
    if (sslError == SSL_ERROR_SSL) {
      reason = libraryReason("protocol error");
    } else {
      reason = c->failure(sslError, err).message();
    }
    return nullptr;
  }
  if (control != nullptr && SSL_session_reused(ssl) != 1) {
    reason = "did not resume the TLS session of the control connection";
    refusal.notResumed = true;
    return nullptr;
  }
  c->kernelSends = BIO_get_ktls_send(SSL_get_wbio(ssl)) != 0;
  return std::unique_ptr<TlsConnection>(new TlsConnection(std::move(c)));
}

TlsConnection::TlsConnection(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
TlsConnection::~TlsConnection() = default;

namespace {

// True when the call may go on: the slot still holds the descriptor the stream was made on.
bool usable(const Socket::Use& use, const TlsConnection::Impl& c, std::error_code& error) {
  if (use.fd() >= 0 && use.fd() == c.fd) return true;
  error = errnoError(ENOTSOCK);
  return false;
}

// The receives' shared ending: the count, 0 at the peer's end, kNothingYet or -1.
long long readOnce(TlsConnection::Impl& c, void* buf, std::size_t n, bool mayBeNothing,
                   std::error_code& error) {
  ERR_clear_error();
  errno = 0;
  std::size_t got = 0;
  if (SSL_read_ex(c.ssl.get(), buf, n, &got) == 1) return static_cast<long long>(got);
  const int err = errno;
  const int sslError = SSL_get_error(c.ssl.get(), 0);
  if (sslError == SSL_ERROR_ZERO_RETURN) return 0;
  if (mayBeNothing && sslError == SSL_ERROR_WANT_READ && !c.socket.isClosing()) {
    return Network::kNothingYet;
  }
  error = c.failure(sslError, err);
  return -1;
}

bool readableNow(int fd) {
  pollfd p{};
  p.fd = fd;
  p.events = POLLIN;
  return ::poll(&p, 1, 0) > 0;
}

}  // namespace

long long TlsConnection::send(const void* data, std::size_t n, std::error_code& error) {
  Socket::Use use(impl_->socket);
  if (!usable(use, *impl_, error)) return -1;
  const auto* p = static_cast<const unsigned char*>(data);
  std::size_t done = 0;
  while (done < n) {
    ERR_clear_error();
    errno = 0;
    std::size_t wrote = 0;
    if (SSL_write_ex(impl_->ssl.get(), p + done, n - done, &wrote) == 1) {
      done += wrote;
      continue;
    }
    const int err = errno;
    error = impl_->failure(SSL_get_error(impl_->ssl.get(), 0), err);
    return -1;
  }
  return static_cast<long long>(n);
}

long long TlsConnection::receive(void* buf, std::size_t n, std::error_code& error) {
  Socket::Use use(impl_->socket);
  if (!usable(use, *impl_, error)) return -1;
  return readOnce(*impl_, buf, n, false, error);
}

long long TlsConnection::receiveWithin(void* buf, std::size_t n, uint32_t waitMs, Network& network,
                                       std::error_code& error) {
  // Bytes the library already holds are not seen by a wait on the socket.
  if (SSL_has_pending(impl_->ssl.get()) == 0) {
    const int ready = network.waitReadable(impl_->socket, waitMs, error);
    if (ready < 0) return -1;
    if (ready == 0) return Network::kNothingYet;
  }
  Socket::Use use(impl_->socket);
  if (!usable(use, *impl_, error)) return -1;
  return readOnce(*impl_, buf, n, true, error);
}

long long TlsConnection::sendFileBlock(FileHandle& file, void* buffer, std::size_t n,
                                       std::error_code& error) {
#ifndef OPENSSL_NO_KTLS
  const int fileFd = file.descriptor();
  if (impl_->kernelSends && fileFd >= 0) {
    Socket::Use use(impl_->socket);
    if (!usable(use, *impl_, error)) return -1;
    // The kernel encrypts the file's pages on their way out; the file's own position is moved
    // past what went, as a read would have.
    const off_t start = ::lseek(fileFd, 0, SEEK_CUR);
    std::size_t done = 0;
    while (start >= 0 && done < n) {
      ERR_clear_error();
      errno = 0;
      const ossl_ssize_t sent =
          SSL_sendfile(impl_->ssl.get(), fileFd, start + static_cast<off_t>(done), n - done, 0);
      if (sent > 0) {
        done += static_cast<std::size_t>(sent);
        continue;
      }
      if (sent == 0) break;  // the end of the file
      const int err = errno;
      if (err == EINTR) continue;
      error = impl_->failure(SSL_get_error(impl_->ssl.get(), static_cast<int>(sent)), err);
      return -1;
    }
    if (start >= 0) {
      (void)::lseek(fileFd, start + static_cast<off_t>(done), SEEK_SET);
      return static_cast<long long>(done);
    }
  }
#endif
  const std::size_t got = file.read(buffer, n);
  if (got == 0) return 0;
  return send(buffer, got, error);
}

long long TlsConnection::receiveFileBlock(FileHandle& file, void* buffer, std::size_t n,
                                          std::error_code& error) {
  auto* p = static_cast<unsigned char*>(buffer);
  std::size_t done = 0;
  long long last = 0;
  {
    Socket::Use use(impl_->socket);
    if (!usable(use, *impl_, error)) return -1;
    // A record at most per read: the block is gathered from what has already come, and only
    // the first read waits for the client.
    while (done < n) {
      if (done > 0 && SSL_has_pending(impl_->ssl.get()) == 0 && !readableNow(impl_->fd)) break;
      last = readOnce(*impl_, p + done, n - done, false, error);
      if (last <= 0) break;
      done += static_cast<std::size_t>(last);
    }
  }
  // What came before a failure is kept, as with a plain connection's pieces.
  if (done > 0) (void)file.write(buffer, done);
  if (last < 0) return -1;
  return static_cast<long long>(done);
}

void TlsConnection::closeNotify() noexcept {
  Socket::Use use(impl_->socket);
  std::error_code unused;
  if (impl_->broken || !usable(use, *impl_, unused)) return;
  ERR_clear_error();
  (void)SSL_shutdown(impl_->ssl.get());
  ERR_clear_error();
}

}  // namespace drovn::platform
