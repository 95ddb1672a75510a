// TLS through OpenSSL 3. Each secured connection keeps the socket's own descriptor in a socket
// BIO, so the kernel can take over the encryption of downloads (kernel TLS); every call borrows
// the descriptor with a Socket::Use first, so a close from another thread wakes the call by its
// shutdown and the descriptor cannot be released under it.
//
// The library is loaded when TLS is first asked for, not linked: mapped and relocated at every
// start, it would about double an idle server's memory, which most servers never use TLS for.
#include <dlfcn.h>
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

constexpr char kLibrary[] = "libssl.so.3";  // its dependency libcrypto.so.3 comes with it

// Every library function this file calls, resolved by name when the library is loaded.
// clang-format off
#define DROVN_OPENSSL_CALLS(X)                                                                     \
  X(ERR_clear_error) X(ERR_get_error) X(ERR_error_string_n) X(OpenSSL_version) X(RAND_bytes)       \
  X(TLS_server_method) X(SSL_CTX_new) X(SSL_CTX_free) X(SSL_CTX_ctrl) X(SSL_CTX_set_options)       \
  X(SSL_CTX_use_certificate_chain_file) X(SSL_CTX_use_PrivateKey_file)                             \
  X(SSL_CTX_check_private_key) X(SSL_CTX_get0_certificate) X(SSL_new) X(SSL_free) X(SSL_ctrl)      \
  X(SSL_set_session_id_context) X(SSL_set_fd) X(SSL_accept) X(SSL_get_error)                       \
  X(SSL_session_reused) X(SSL_get_wbio) X(SSL_read_ex) X(SSL_write_ex) X(SSL_has_pending)          \
  X(SSL_shutdown) X(BIO_new_fd) X(BIO_free) X(BIO_ctrl) X(PEM_write_bio_X509)                      \
  X(PEM_write_bio_PrivateKey) X(EVP_PKEY_Q_keygen) X(EVP_PKEY_free) X(EVP_sha256) X(X509_new)      \
  X(X509_free) X(X509_set_version) X(X509_get_serialNumber) X(X509_gmtime_adj)                     \
  X(X509_getm_notBefore) X(X509_getm_notAfter) X(X509_set_pubkey) X(X509_get_subject_name)         \
  X(X509_NAME_add_entry_by_txt) X(X509_set_issuer_name) X(X509_sign) X(X509_digest) X(BN_new)      \
  X(BN_free) X(BN_rand) X(BN_to_ASN1_INTEGER)
#ifndef OPENSSL_NO_KTLS
#define DROVN_OPENSSL_KTLS_CALLS(X) X(SSL_sendfile)
#else
#define DROVN_OPENSSL_KTLS_CALLS(X)
#endif
// clang-format on

struct Library {
#define DROVN_CALL_FIELD(name) decltype(&::name) name = nullptr;
  DROVN_OPENSSL_CALLS(DROVN_CALL_FIELD)
  DROVN_OPENSSL_KTLS_CALLS(DROVN_CALL_FIELD)
#undef DROVN_CALL_FIELD
  std::string missing;  // why the library cannot be used; empty once every call is found
};

// Loaded once, on first use, and kept for the life of the process.
const Library& lib() {
  static const Library loaded = [] {
    Library l;
    void* handle = ::dlopen(kLibrary, RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
      const char* why = ::dlerror();
      l.missing = why != nullptr ? why : kLibrary;
      return l;
    }
#define DROVN_RESOLVE(name)                                            \
  l.name = reinterpret_cast<decltype(l.name)>(::dlsym(handle, #name)); \
  if (l.name == nullptr && l.missing.empty()) l.missing = std::string(kLibrary) + " lacks " #name;
    DROVN_OPENSSL_CALLS(DROVN_RESOLVE)
    DROVN_OPENSSL_KTLS_CALLS(DROVN_RESOLVE)
#undef DROVN_RESOLVE
    return l;
  }();
  return loaded;
}

constexpr std::size_t kTokenSize = 16;
constexpr char kMadeCertificate[] = "tls-cert.pem";
constexpr char kMadeKey[] = "tls-key.pem";
constexpr long kMadeValidSeconds = 3650L * 24 * 60 * 60;
// Sessions kept for TLS 1.2 clients that resume by session id; tickets need no room here.
constexpr long kSessionCacheSize = 1024;

// Frees what the library made through the library's own call for it.
template <typename T, auto Library::*release>
struct Free {
  void operator()(T* p) const noexcept { (void)(lib().*release)(p); }
};
using SslCtxFree = Free<SSL_CTX, &Library::SSL_CTX_free>;
using SslFree = Free<SSL, &Library::SSL_free>;
using PkeyFree = Free<EVP_PKEY, &Library::EVP_PKEY_free>;
using X509Free = Free<X509, &Library::X509_free>;
using BnFree = Free<BIGNUM, &Library::BN_free>;
using BioFree = Free<BIO, &Library::BIO_free>;

// The oldest reason the library queued for this thread, and the queue emptied.
std::string libraryReason(const char* fallback) {
  const unsigned long code = lib().ERR_get_error();
  lib().ERR_clear_error();
  if (code == 0) return fallback;
  char text[256];
  lib().ERR_error_string_n(code, text, sizeof text);
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
    std::unique_ptr<BIO, BioFree> bio(lib().BIO_new_fd(fd, BIO_NOCLOSE));
    written = bio && (key ? lib().PEM_write_bio_PrivateKey(bio.get(), pkey, nullptr, nullptr, 0,
                                                           nullptr, nullptr)
                          : lib().PEM_write_bio_X509(bio.get(), cert)) == 1;
    written = written && lib().BIO_ctrl(bio.get(), BIO_CTRL_FLUSH, 0, nullptr) == 1;
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
  std::unique_ptr<EVP_PKEY, PkeyFree> key(lib().EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256"));
  std::unique_ptr<X509, X509Free> cert(lib().X509_new());
  std::unique_ptr<BIGNUM, BnFree> serial(lib().BN_new());
  bool made =
      key && cert && serial && lib().X509_set_version(cert.get(), 2) == 1 &&
      lib().BN_rand(serial.get(), 63, BN_RAND_TOP_ANY, BN_RAND_BOTTOM_ANY) == 1 &&
      lib().BN_to_ASN1_INTEGER(serial.get(), lib().X509_get_serialNumber(cert.get())) != nullptr &&
      lib().X509_gmtime_adj(lib().X509_getm_notBefore(cert.get()), 0) != nullptr &&
      lib().X509_gmtime_adj(lib().X509_getm_notAfter(cert.get()), kMadeValidSeconds) != nullptr &&
      lib().X509_set_pubkey(cert.get(), key.get()) == 1;
  if (made) {
    X509_NAME* name = lib().X509_get_subject_name(cert.get());
    const auto* common = reinterpret_cast<const unsigned char*>("drovn");
    made = lib().X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, common, -1, -1, 0) == 1 &&
           lib().X509_set_issuer_name(cert.get(), name) == 1 &&
           lib().X509_sign(cert.get(), key.get(), lib().EVP_sha256()) > 0;
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
  if (cert == nullptr || lib().X509_digest(cert, lib().EVP_sha256(), digest, &length) != 1)
    return {};
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

std::string tlsLibraryVersion() {
  if (!lib().missing.empty()) return "none (" + lib().missing + ")";
  return lib().OpenSSL_version(OPENSSL_VERSION);
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
  // Names the control connection; its data connections carry the same.
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

TlsServer::TlsServer(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
TlsServer::~TlsServer() = default;

const std::string& TlsServer::fingerprint() const noexcept {
  return impl_->fingerprint;
}
const std::string& TlsServer::madeCertificate() const noexcept {
  return impl_->made;
}

std::unique_ptr<TlsServer> TlsServer::create(const TlsFiles& files, std::string& error) {
  if (!lib().missing.empty()) {
    error = "cannot load the TLS library: " + lib().missing;
    return nullptr;
  }
  // The library writes to sockets with write(), which raises SIGPIPE for a peer that has gone;
  // the send reports it as an error instead.
  (void)::signal(SIGPIPE, SIG_IGN);
  lib().ERR_clear_error();
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

  impl->context.reset(lib().SSL_CTX_new(lib().TLS_server_method()));
  SSL_CTX* ctx = impl->context.get();
  if (ctx == nullptr) {
    error = "cannot start TLS: " + libraryReason("no context");
    return nullptr;
  }
  if (lib().SSL_CTX_use_certificate_chain_file(ctx, certFile.c_str()) != 1) {
    error = "cannot load the certificate " + certFile + ": " + libraryReason("not a PEM file");
    return nullptr;
  }
  if (lib().SSL_CTX_use_PrivateKey_file(ctx, keyFile.c_str(), SSL_FILETYPE_PEM) != 1 ||
      lib().SSL_CTX_check_private_key(ctx) != 1) {
    error = "cannot load the key " + keyFile + ": " + libraryReason("not the certificate's key");
    return nullptr;
  }
  (void)lib().SSL_CTX_ctrl(ctx, SSL_CTRL_SET_MIN_PROTO_VERSION, TLS1_2_VERSION, nullptr);
  uint64_t options = SSL_OP_NO_RENEGOTIATION | SSL_OP_IGNORE_UNEXPECTED_EOF;
#ifdef SSL_OP_ENABLE_KTLS
  options |= SSL_OP_ENABLE_KTLS;
#endif
  (void)lib().SSL_CTX_set_options(ctx, options);
  (void)lib().SSL_CTX_ctrl(ctx, SSL_CTRL_SET_SESS_CACHE_SIZE, kSessionCacheSize, nullptr);
  impl->fingerprint = fingerprintOf(lib().SSL_CTX_get0_certificate(ctx));
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
  c->ssl.reset(lib().SSL_new(impl_->context.get()));
  SSL* ssl = c->ssl.get();
  if (ssl == nullptr) {
    reason = libraryReason("no memory");
    return nullptr;
  }
  if (control != nullptr) {
    std::memcpy(c->token, control->impl_->token, kTokenSize);
  } else if (lib().RAND_bytes(c->token, kTokenSize) != 1) {
    reason = libraryReason("no random bytes");
    return nullptr;
  }
  // A session, kept by id or carried in a ticket, resumes only on a connection with the context
  // it was made under: the data connections of its own control connection.
  (void)lib().SSL_set_session_id_context(ssl, c->token, kTokenSize);
  // A control connection waits for its commands with its own time-out, so a record that is not
  // a command must not leave the read blocked for the next one.
  if (control == nullptr)
    (void)lib().SSL_ctrl(ssl, SSL_CTRL_CLEAR_MODE, SSL_MODE_AUTO_RETRY, nullptr);
  (void)lib().SSL_ctrl(ssl, SSL_CTRL_MODE, SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER, nullptr);
  if (lib().SSL_set_fd(ssl, c->fd) != 1) {
    reason = libraryReason("cannot use the socket");
    return nullptr;
  }
  lib().ERR_clear_error();
  errno = 0;
  const int accepted = lib().SSL_accept(ssl);
  if (accepted != 1) {
    const int err = errno;
    const int sslError = lib().SSL_get_error(ssl, accepted);
    if (sslError == SSL_ERROR_SSL) {
      reason = libraryReason("protocol error");
    } else {
      reason = c->failure(sslError, err).message();
    }
    return nullptr;
  }
  if (control != nullptr && lib().SSL_session_reused(ssl) != 1) {
    reason = "did not resume the TLS session of the control connection";
    refusal.notResumed = true;
    return nullptr;
  }
  c->kernelSends = lib().BIO_ctrl(lib().SSL_get_wbio(ssl), BIO_CTRL_GET_KTLS_SEND, 0, nullptr) != 0;
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
  lib().ERR_clear_error();
  errno = 0;
  std::size_t got = 0;
  if (lib().SSL_read_ex(c.ssl.get(), buf, n, &got) == 1) return static_cast<long long>(got);
  const int err = errno;
  const int sslError = lib().SSL_get_error(c.ssl.get(), 0);
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
    lib().ERR_clear_error();
    errno = 0;
    std::size_t wrote = 0;
    if (lib().SSL_write_ex(impl_->ssl.get(), p + done, n - done, &wrote) == 1) {
      done += wrote;
      continue;
    }
    const int err = errno;
    error = impl_->failure(lib().SSL_get_error(impl_->ssl.get(), 0), err);
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
  if (lib().SSL_has_pending(impl_->ssl.get()) == 0) {
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
      lib().ERR_clear_error();
      errno = 0;
      const ossl_ssize_t sent = lib().SSL_sendfile(impl_->ssl.get(), fileFd,
                                                   start + static_cast<off_t>(done), n - done, 0);
      if (sent > 0) {
        done += static_cast<std::size_t>(sent);
        continue;
      }
      if (sent == 0) break;  // the end of the file
      const int err = errno;
      if (err == EINTR) continue;
      error = impl_->failure(lib().SSL_get_error(impl_->ssl.get(), static_cast<int>(sent)), err);
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
      if (done > 0 && lib().SSL_has_pending(impl_->ssl.get()) == 0 && !readableNow(impl_->fd))
        break;
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
  lib().ERR_clear_error();
  (void)lib().SSL_shutdown(impl_->ssl.get());
  lib().ERR_clear_error();
}

}  // namespace drovn::platform
