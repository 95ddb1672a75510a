// One instance per registry file, held as an abstract-namespace local socket: the name vanishes
// with the process that holds it (no stale lock file after a crash), and connecting to it is how
// a second instance knocks on the first one's door.
#include "platform/SingleInstance.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <filesystem>
#include <stop_token>
#include <system_error>
#include <thread>

#include "platform/FixedText.h"
#include "platform/UniqueFd.h"

namespace drovn::platform {

namespace {

// The absolute path with "." and ".." gone and symbolic links of the part that exists resolved,
// so that two spellings of one file give one name; the file and its folder may not exist yet.
std::string normalisedPath(const std::string& path) {
  namespace fs = std::filesystem;
  std::error_code ec;
  fs::path p = fs::absolute(fs::path(path), ec);
  if (ec) p = fs::path(path);
  p = p.lexically_normal();
  fs::path resolved = fs::weakly_canonical(p, ec);
  return (ec ? p : resolved).string();
}

uint64_t fnv1a64(const std::string& s) noexcept {
  uint64_t h = 0xcbf29ce484222325ull;
  for (char c : s) {
    h ^= static_cast<unsigned char>(c);
    h *= 0x100000001b3ull;
  }
  return h;
}

// The abstract address: a NUL, then "drovn-" and the hash in hex (no terminator: the length
// says where the name ends).
socklen_t instanceAddress(const std::string& registryPath, sockaddr_un& addr) {
  addr = sockaddr_un{};
  addr.sun_family = AF_UNIX;
  FixedText<32> name;
  name.format("drovn-%016llx",
              static_cast<unsigned long long>(fnv1a64(normalisedPath(registryPath))));
  static_assert(decltype(name)::kCapacity + 1 <= sizeof addr.sun_path);
  for (std::size_t i = 0; i < name.size(); ++i) addr.sun_path[1 + i] = name[i];
  return static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size());
}

// Tells the holder of the name to come to the front. False when nobody listens any more.
bool knock(const sockaddr_un& addr, socklen_t len) {
  UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (fd.get() < 0) return false;
  int r;
  do {
    r = ::connect(fd.get(), reinterpret_cast<const sockaddr*>(&addr), len);
  } while (r != 0 && errno == EINTR);
  if (r != 0) return false;
  char one = 1;
  ssize_t w;
  do {
    w = ::send(fd.get(), &one, 1, MSG_NOSIGNAL);
  } while (w < 0 && errno == EINTR);
  // Connected is what counts: the holder posts on the connection, whether the byte arrives or not.
  return true;
}

void acceptKnocks(const std::stop_token& stop, int listenFd, MessageQueue& q) {
  while (!stop.stop_requested()) {
    pollfd p{};
    p.fd = listenFd;
    p.events = POLLIN;
    // A short wait, so the destructor's stop request is seen quickly.
    if (::poll(&p, 1, 100) <= 0) continue;
    UniqueFd conn(::accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK));
    if (conn.get() < 0) continue;
    char byte;
    (void)::recv(conn.get(), &byte, 1, 0);  // the knock's byte, if already there; not needed
    q.post(events::BringToFront{});
  }
}

}  // namespace

struct SingleInstance::State {
  explicit State(int fd) : listenFd(fd) {}
  UniqueFd listenFd;
  std::jthread acceptor;  // declared after the socket: stopped and joined before it is closed
};

SingleInstance::SingleInstance(std::unique_ptr<State> s) : state_(std::move(s)) {}

SingleInstance::~SingleInstance() = default;

std::unique_ptr<SingleInstance> SingleInstance::claim(const std::string& registryPath,
                                                      MessageQueue& q) {
  sockaddr_un addr;
  socklen_t len = instanceAddress(registryPath, addr);
  // A few rounds, for the race with an instance that is just ending: its name is taken when we
  // bind but gone when we knock.
  for (int attempt = 0; attempt < 5; ++attempt) {
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) break;
    auto state = std::make_unique<State>(fd);
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&addr), len) == 0) {
      if (::listen(fd, 8) != 0) break;
      state->acceptor = std::jthread([fd, &q](std::stop_token stop) { acceptKnocks(stop, fd, q); });
      return std::unique_ptr<SingleInstance>(new SingleInstance(std::move(state)));
    }
    if (errno != EADDRINUSE) break;
    if (knock(addr, len)) return nullptr;
  }
  // The name cannot be held here (no local sockets, say): better to run unguarded than not at
  // all.
  return std::unique_ptr<SingleInstance>(new SingleInstance(nullptr));
}

}  // namespace drovn::platform
