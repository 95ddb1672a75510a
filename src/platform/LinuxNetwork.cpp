// The sockets of the server on Linux. Every call borrows the slot's descriptor with a
// Socket::Use, so a close from another thread can wake the call (by a shutdown) but never pull
// the descriptor from under it.
#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sched.h>
#include <linux/sockios.h>
#include <sys/ioctl.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>

#include "platform/ErrorCodes.h"
#include "platform/Network.h"

namespace drovn::platform {

namespace {

sockaddr_in toSockaddr(const SocketAddress& a) noexcept {
  sockaddr_in sa{};
  sa.sin_family = a.family;
  sa.sin_port = a.port;
  sa.sin_addr.s_addr = a.address;
  return sa;
}

SocketAddress fromSockaddr(const sockaddr_in& sa) noexcept {
  SocketAddress a;
  a.family = sa.sin_family;
  a.port = sa.sin_port;
  a.address = sa.sin_addr.s_addr;
  return a;
}

// A call that fails because its socket is being closed by another thread reports ENOTSOCK (not a
// socket any more), whatever the shutdown made the kernel say.
std::error_code failure(const Socket& s, int err) {
  return errnoError(s.isClosing() ? ENOTSOCK : err);
}

int pollOnce(int fd, short events, int timeoutMs) noexcept {
  pollfd p{};
  p.fd = fd;
  p.events = events;
  int r = ::poll(&p, 1, timeoutMs);
  if (r > 0) return p.revents;
  return r;  // 0: time-out; -1: errno
}

// A failed send or receive on a blocking socket. Such a call gives EAGAIN only when the stall
// limit ran out.
std::error_code transferFailure(const Socket& s, int err) {
  if (err == EAGAIN || err == EWOULDBLOCK) err = ETIMEDOUT;
  return failure(s, err);
}

int clampMs(std::chrono::steady_clock::duration d) noexcept {
  auto ms = std::chrono::ceil<std::chrono::milliseconds>(d).count();
  if (ms < 0) return 0;
  return ms > INT_MAX ? INT_MAX : static_cast<int>(ms);
}

}  // namespace

std::error_code LinuxNetwork::openTcp(Socket& s) {
  if (s.isOpen()) return errnoError(EINVAL);
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return errnoError(errno);
  if (!s.adopt(fd)) {
    // The slot is still held by a call draining on another thread.
    (void)::close(fd);
    return errnoError(EINVAL);
  }
  return {};
}

std::error_code LinuxNetwork::bind(Socket& s, const SocketAddress& a) {
  Socket::Use u(s);
  if (u.fd() < 0) return errnoError(ENOTSOCK);
  // SO_REUSEADDR lets a port be bound again while connections that used it sit in TIME_WAIT
  // (as the device's stack allows); on Linux it still refuses a port that another socket is
  // listening on or bound to, so that case keeps failing with EADDRINUSE.
  int one = 1;
  (void)::setsockopt(u.fd(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);  // best effort
  sockaddr_in sa = toSockaddr(a);
  if (::bind(u.fd(), reinterpret_cast<const sockaddr*>(&sa), sizeof sa) != 0)
    return failure(s, errno);
  return {};
}

std::error_code LinuxNetwork::listen(Socket& s, int backlog) {
  Socket::Use u(s);
  if (u.fd() < 0) return errnoError(ENOTSOCK);
  if (::listen(u.fd(), backlog) != 0) return failure(s, errno);
  return {};
}

std::error_code LinuxNetwork::accept(Socket& listener, Socket& into, SocketAddress& peer) {
  Socket::Use u(listener);
  if (u.fd() < 0) return errnoError(ENOTSOCK);
  if (into.isOpen()) return errnoError(EINVAL);  // before a connection is taken and then lost
  sockaddr_in sa{};
  int fd;
  for (;;) {
    socklen_t len = sizeof sa;
    // A shutdown of the listener from another thread makes this fail (EINVAL) at once.
    fd = ::accept4(u.fd(), reinterpret_cast<sockaddr*>(&sa), &len, SOCK_CLOEXEC);
    if (fd >= 0) break;
    if (errno == EINTR && !listener.isClosing()) continue;
    return failure(listener, errno);
  }
  if (listener.isClosing()) {
    (void)::close(fd);  // the connection came in as the listener was being closed
    return errnoError(ENOTSOCK);
  }
  // Replies go out one send each and the client often answers nothing in between (the 125 or
  // 150 of a transfer, then its 226): with Nagle's rule the second reply would wait for the
  // client's delayed acknowledgement. Best effort: without it the replies are only later, never
  // different.
  int one = 1;
  (void)::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  if (!into.adopt(fd)) {
    (void)::close(fd);
    return errnoError(EINVAL);
  }
  peer = fromSockaddr(sa);
  return {};
}

std::error_code LinuxNetwork::connect(Socket& s, const SocketAddress& a) {
  Socket::Use u(s);
  if (u.fd() < 0) return errnoError(ENOTSOCK);
  sockaddr_in sa = toSockaddr(a);
  if (::connect(u.fd(), reinterpret_cast<const sockaddr*>(&sa), sizeof sa) == 0) return {};
  // A blocking connect that ran into the stall limit reports the attempt as still in progress.
  if (errno == EINPROGRESS) return failure(s, ETIMEDOUT);
  if (errno != EINTR) return failure(s, errno);
  // An interrupted connect goes on in the background; wait for its outcome.
  for (;;) {
    if (s.isClosing()) return errnoError(ENOTSOCK);
    int r = pollOnce(u.fd(), POLLOUT, -1);
    if (r < 0 && errno == EINTR) continue;
    if (r < 0) return failure(s, errno);
    int soError = 0;
    socklen_t len = sizeof soError;
    if (::getsockopt(u.fd(), SOL_SOCKET, SO_ERROR, &soError, &len) != 0) return failure(s, errno);
    if (s.isClosing()) return errnoError(ENOTSOCK);
    return soError == 0 ? std::error_code() : failure(s, soError);
  }
}

std::error_code LinuxNetwork::localAddress(Socket& s, SocketAddress& out) {
  Socket::Use u(s);
  if (u.fd() < 0) return errnoError(ENOTSOCK);
  sockaddr_in sa{};
  socklen_t len = sizeof sa;
  if (::getsockname(u.fd(), reinterpret_cast<sockaddr*>(&sa), &len) != 0) return failure(s, errno);
  out = fromSockaddr(sa);
  return {};
}

int LinuxNetwork::waitReadable(Socket& s, uint32_t timeoutMs, std::error_code& error) {
  Socket::Use u(s);
  if (u.fd() < 0) {
    error = errnoError(ENOTSOCK);
    return -1;
  }
  // A reset connection stays readable: the receive that follows reports it.
  if (s.wasReset()) return 1;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    int r = pollOnce(u.fd(), POLLIN, clampMs(deadline - std::chrono::steady_clock::now()));
    if (s.isClosing()) {
      error = errnoError(ENOTSOCK);  // woken by a close from another thread
      return -1;
    }
    if (r > 0) {
      if (r & POLLNVAL) {
        error = errnoError(ENOTSOCK);
        return -1;
      }
      return 1;  // POLLIN, POLLHUP, POLLERR: the next receive tells which
    }
    if (r == 0) {
      if (std::chrono::steady_clock::now() < deadline) continue;  // a chunk of a long wait
      return 0;
    }
    if (errno == EINTR) continue;
    error = failure(s, errno);
    return -1;
  }
}

long long LinuxNetwork::send(Socket& s, const void* data, std::size_t n, std::error_code& error) {
  Socket::Use u(s);
  if (u.fd() < 0) {
    error = errnoError(ENOTSOCK);
    return -1;
  }
  const char* p = static_cast<const char*>(data);
  std::size_t left = n;
  while (left > 0) {
    // MSG_NOSIGNAL: a peer that has gone gives EPIPE here, not a SIGPIPE for the process.
    ssize_t r = ::send(u.fd(), p, left, MSG_NOSIGNAL);
    if (r >= 0) {
      p += r;
      left -= static_cast<std::size_t>(r);
      continue;
    }
    if (errno == EINTR) continue;
    error = sendFailure(s, errno);
    return -1;
  }
  return static_cast<long long>(n);
}

// A failed send; a peer that has gone (EPIPE on Linux once it has reset) is a reset, and leaves
// the slot marked so.
std::error_code LinuxNetwork::sendFailure(Socket& s, int err) {
  if (!s.isClosing() && (err == ECONNRESET || err == EPIPE)) {
    s.markReset();
    err = ECONNRESET;
  }
  return transferFailure(s, err);
}

// False, with error set, when the borrowed descriptor has nothing to receive from: the socket
// is closed, or a reset was already reported (the kernel reports it only once).
bool LinuxNetwork::mayReceive(const Socket& s, int fd, std::error_code& error) {
  if (fd < 0) {
    error = errnoError(ENOTSOCK);
    return false;
  }
  if (s.wasReset()) {
    error = errnoError(ECONNRESET);
    return false;
  }
  return true;
}

// One recv, again when a signal interrupts it: the count (0 at the peer's end of the data), -1
// with error set, or kNothingYet.
long long LinuxNetwork::receiveOnce(Socket& s, int fd, void* buf, std::size_t n, int flags,
                                    bool timed, std::error_code& error) {
  for (;;) {
    const ssize_t r = ::recv(fd, buf, n, flags);
    const int err = errno;
    if (r < 0 && err == EINTR) continue;
    if (s.isClosing()) {
      // Ended by our own shutdown from another thread: not the peer's end of the data.
      error = errnoError(ENOTSOCK);
      return -1;
    }
    if (r >= 0) return static_cast<long long>(r);
    // Nothing to take without waiting, or nothing within a receive time-out set for this call.
    const bool nothing = (flags & MSG_DONTWAIT) != 0 || timed;
    if (nothing && (err == EAGAIN || err == EWOULDBLOCK)) return kNothingYet;
    if (err == ECONNRESET) s.markReset();
    error = transferFailure(s, err);
    return -1;
  }
}

long long LinuxNetwork::receive(Socket& s, void* buf, std::size_t n, std::error_code& error) {
  Socket::Use u(s);
  if (!mayReceive(s, u.fd(), error)) return -1;
  return receiveOnce(s, u.fd(), buf, n, 0, false, error);
}

long long LinuxNetwork::receiveWithin(Socket& s, void* buf, std::size_t n, uint32_t waitMs,
                                      uint32_t spinMicros, std::error_code& error) {
  Socket::Use u(s);
  if (!mayReceive(s, u.fd(), error)) return -1;
  if (spinMicros > 0) {
    // A thread that sleeps in the receive is woken from another processor when the bytes
    // come, and on a virtual machine that wake costs more than the round trip itself. A client
    // that answers a reply with its next command does so within microseconds, so asking
    // without waiting for that long, giving the processor away between the asks, takes the
    // command while this thread still runs.
    using SpinClock = std::chrono::steady_clock;
    const auto until = SpinClock::now() + std::chrono::microseconds(spinMicros);
    for (;;) {
      const long long r = receiveOnce(s, u.fd(), buf, n, MSG_DONTWAIT, true, error);
      if (r != kNothingYet || SpinClock::now() >= until) {
        if (r != kNothingYet) return r;
        break;
      }
      (void)sched_yield();
    }
  }
  if (s.receiveWaitMs_ != waitMs) {
    timeval wait{};
    wait.tv_sec = static_cast<time_t>(waitMs / 1000);
    wait.tv_usec = static_cast<suseconds_t>((waitMs % 1000) * 1000);
    if (::setsockopt(u.fd(), SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait) == 0) {
      s.receiveWaitMs_ = waitMs;
    }
  }
  return receiveOnce(s, u.fd(), buf, n, 0, true, error);
}

long long Network::sendFileBlock(Socket& s, FileHandle& file, void* buffer, std::size_t n,
                                 std::error_code& error) {
  const std::size_t got = file.read(buffer, n);
  if (got == 0) return 0;
  return send(s, buffer, got, error);
}

long long Network::receiveFileBlock(Socket& s, FileHandle& file, void* buffer, std::size_t n,
                                    std::error_code& error) {
  const long long got = receive(s, buffer, n, error);
  if (got > 0) (void)file.write(buffer, static_cast<std::size_t>(got));
  return got;
}

namespace {

// The calls that say a descriptor pair cannot be moved between without a copy; the block is
// then read and written through user space instead.
bool noZeroCopy(int err) {
  return err == EINVAL || err == ENOSYS || err == EOPNOTSUPP;
}

// The most one sendfile call hands the socket. The kernel moves a long call in pieces of its own
// and marks all but the last as more to come, so TCP may hold data back for the rest of the
// block; calls of this size each end with a push.
constexpr std::size_t kSendPiece = 64 * 1024;

// A piece of at most kSendPiece that is a whole number of the connection's segments. Each call
// ends with a push (data connections send without delay), and a push sends whatever is queued: a
// piece one byte over a segment would put a segment of one byte on the wire for every piece,
// and the client would be woken for each.
std::size_t sendPieceFor(int fd) noexcept {
  int segment = 0;
  socklen_t len = sizeof segment;
  if (::getsockopt(fd, IPPROTO_TCP, TCP_MAXSEG, &segment, &len) != 0 || segment <= 0) {
    return kSendPiece;
  }
  const auto size = static_cast<std::size_t>(segment);
  return size >= kSendPiece ? size : kSendPiece / size * size;
}

// Counts a block on its way for as long as it is. sendfile hands the socket references to the
// file's cached pages, so downloads running side by side (of one popular file above all) keep
// taking and dropping references to the same pages from both cores, which costs more than each
// copying its blocks through its own buffer. A download that has the server to itself still goes
// without the copy.
class BlockInFlight {
 public:
  explicit BlockInFlight(std::atomic<int>& count) noexcept
      : count_(count), alone_(count.fetch_add(1) == 0) {}
  ~BlockInFlight() { count_.fetch_sub(1); }
  BlockInFlight(const BlockInFlight&) = delete;
  BlockInFlight& operator=(const BlockInFlight&) = delete;
  bool alone() const noexcept { return alone_; }

 private:
  std::atomic<int>& count_;
  bool alone_;
};

}  // namespace

long long LinuxNetwork::sendFileBlock(Socket& s, FileHandle& file, void* buffer, std::size_t n,
                                      std::error_code& error) {
  const int fileFd = file.descriptor();
  const BlockInFlight inFlight(blocksInFlight_);
  if (fileFd < 0 || !inFlight.alone()) return Network::sendFileBlock(s, file, buffer, n, error);
  std::size_t done = 0;
  {
    Socket::Use u(s);
    if (u.fd() < 0) {
      error = errnoError(ENOTSOCK);
      return -1;
    }
    const std::size_t piece = sendPieceFor(u.fd());
    while (done < n) {
      const ssize_t r = ::sendfile(u.fd(), fileFd, nullptr, std::min(piece, n - done));
      if (r > 0) {
        done += static_cast<std::size_t>(r);
        continue;
      }
      if (r == 0) return static_cast<long long>(done);  // the end of the file
      const int err = errno;
      if (err == EINTR) continue;
      if (done == 0 && noZeroCopy(err)) break;
      // Only a read of the file fails with EIO; everything else is the socket's.
      if (err == EIO && !s.isClosing()) throw PlatformError{errnoError(err)};
      error = sendFailure(s, err);
      return -1;
    }
    if (done == n) return static_cast<long long>(done);
  }
  return Network::sendFileBlock(s, file, buffer, n, error);
}

// The most one receive of an upload takes. A block is gathered in pieces of this size, each
// written to the file at once: a piece this small is still in the processor's nearest caches
// when it is copied on into the file's pages, and it is about one segment over loopback.
constexpr std::size_t kReceivePiece = 64 * 1024;

long long LinuxNetwork::receiveFileBlock(Socket& s, FileHandle& file, void* buffer, std::size_t n,
                                         std::error_code& error) {
  Socket::Use u(s);
  if (!mayReceive(s, u.fd(), error)) return -1;
  std::size_t done = 0;
  while (done < n) {
    // Only the first piece waits for the client: the block ends with what has already come.
    const long long got = receiveOnce(s, u.fd(), buffer, std::min(kReceivePiece, n - done),
                                      done == 0 ? 0 : MSG_DONTWAIT, false, error);
    // 0 is the peer's end of the data; the next call gives 0 again.
    if (got == kNothingYet || got == 0) break;
    // An error is reported once by the kernel, so it fails this block even after pieces of it
    // were written: given back later, the connection would look merely closed.
    if (got < 0) return -1;
    (void)file.write(buffer, static_cast<std::size_t>(got));
    done += static_cast<std::size_t>(got);
  }
  return static_cast<long long>(done);
}

namespace {

// The processors a thread could run on before followPeer bound it to one; per thread, as each
// session's thread follows its own client.
struct ProcessorBinding {
  bool bound = false;
  int cpu = -1;
  cpu_set_t before{};
};

thread_local ProcessorBinding binding;

}  // namespace

bool LinuxNetwork::followPeer(Socket& s) {
  int cpu = -1;
  {
    Socket::Use u(s);
    socklen_t len = sizeof cpu;
    if (u.fd() < 0 || ::getsockopt(u.fd(), SOL_SOCKET, SO_INCOMING_CPU, &cpu, &len) != 0) {
      return false;
    }
  }
  if (cpu < 0 || cpu >= CPU_SETSIZE) return false;
  // A thread that is merely on that processor now is bound all the same, so that it stays.
  if (binding.bound && binding.cpu == cpu) return true;
  if (!binding.bound && ::sched_getaffinity(0, sizeof binding.before, &binding.before) != 0) {
    return false;
  }
  // A processor outside the thread's own set (the operator's taskset or cpuset) stays out.
  if (!CPU_ISSET(cpu, &binding.before)) return false;
  cpu_set_t one;
  CPU_ZERO(&one);
  CPU_SET(cpu, &one);
  if (::sched_setaffinity(0, sizeof one, &one) != 0) return false;
  binding.bound = true;
  binding.cpu = cpu;
  return true;
}

void LinuxNetwork::releaseProcessor() {
  if (!binding.bound) return;
  binding.bound = false;
  (void)::sched_setaffinity(0, sizeof binding.before, &binding.before);
}

void LinuxNetwork::setReceiveBuffer(Socket& s, int bytes) {
  Socket::Use u(s);
  if (u.fd() < 0) return;
  // The size is a hint for throughput; the kernel may cap it, and a failure changes nothing
  // that the transfer depends on.
  (void)::setsockopt(u.fd(), SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes);
}

std::size_t LinuxNetwork::unsentBytes(Socket& s) {
  Socket::Use u(s);
  int queued = 0;
  if (u.fd() < 0 || ::ioctl(u.fd(), SIOCOUTQ, &queued) != 0 || queued < 0) return 0;
  return static_cast<std::size_t>(queued);
}

void LinuxNetwork::setStallLimit(Socket& s, uint32_t ms) {
  Socket::Use u(s);
  if (u.fd() < 0) return;
  timeval limit{};
  limit.tv_sec = static_cast<time_t>(ms / 1000);
  limit.tv_usec = static_cast<suseconds_t>((ms % 1000) * 1000);
  // The kernel applies the send limit to a blocking connect and sendfile as well.
  (void)::setsockopt(u.fd(), SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
  if (::setsockopt(u.fd(), SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit) == 0) {
    s.receiveWaitMs_ = ms;
  }
}

bool LinuxNetwork::peerClosed(Socket& s) {
  Socket::Use u(s);
  if (u.fd() < 0 || s.wasReset()) return true;
  const int r = pollOnce(u.fd(), POLLRDHUP, 0);
  return r > 0 && (r & (POLLRDHUP | POLLHUP | POLLERR | POLLNVAL)) != 0;
}

std::error_code LinuxNetwork::hostName(FixedText<256>& out) {
  char name[256] = {};
  if (::gethostname(name, sizeof name - 1) != 0) return errnoError(errno);
  name[sizeof name - 1] = '\0';
  out.assign(name);
  return {};
}

bool LinuxNetwork::hostAddresses(const char* name, std::vector<uint32_t>& out) {
  // The addresses come from the interfaces, not from resolving the name: the resolver would
  // give what the hosts file says (127.0.1.1 for the host name on Debian), not what a client on
  // the network can reach.
  (void)name;
  out.clear();
  ifaddrs* list = nullptr;
  if (::getifaddrs(&list) != 0) return false;
  std::vector<uint32_t> loopback;
  for (ifaddrs* i = list; i != nullptr; i = i->ifa_next) {
    if (i->ifa_addr == nullptr || i->ifa_addr->sa_family != AF_INET) continue;
    if ((i->ifa_flags & IFF_UP) == 0) continue;
    sockaddr_in sa{};
    std::copy_n(reinterpret_cast<const unsigned char*>(i->ifa_addr), sizeof sa,
                reinterpret_cast<unsigned char*>(&sa));
    uint32_t a = sa.sin_addr.s_addr;
    std::vector<uint32_t>& into = (i->ifa_flags & IFF_LOOPBACK) != 0 ? loopback : out;
    if (std::find(into.begin(), into.end(), a) == into.end()) into.push_back(a);
  }
  ::freeifaddrs(list);
  out.insert(out.end(), loopback.begin(), loopback.end());
  if (out.empty()) out.push_back(htonl(INADDR_LOOPBACK));
  return true;
}

uint32_t inetAddr(const char* text) noexcept {
  if (text == nullptr) return 0xFFFFFFFFu;
  in_addr a{};
  // inet_aton takes what inet_addr always took: a.b.c.d, a.b.c, a.b and a, each part decimal,
  // octal (leading 0) or hex (0x).
  if (::inet_aton(text, &a) == 0) return 0xFFFFFFFFu;
  return a.s_addr;
}

void inetNtoa(uint32_t address, FixedText<16>& out) noexcept {
  unsigned char b[4];
  std::copy_n(reinterpret_cast<const unsigned char*>(&address), 4, b);
  out.format("%u.%u.%u.%u", b[0], b[1], b[2], b[3]);
}

}  // namespace drovn::platform
