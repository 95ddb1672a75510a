// One TCP socket slot. Several threads may hold the same slot (a session thread waiting on its
// control connection while the service shuts that connection from another thread), so the slot
// is neither copied nor moved: it is opened in place, and closing it is safe from any thread and
// happens exactly once. A thread blocked on the socket is woken by the shutdown, and the
// descriptor is released only when no call is using it any more, so it can never be reused
// under a running call.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>

namespace drovn::platform {

// An IPv4 socket address laid out as the wire-level record: family, port (network order),
// address (network order), 8 zero bytes.
struct SocketAddress {
  uint16_t family = 2;
  uint16_t port = 0;
  uint32_t address = 0;
  uint8_t zero[8] = {};
};
static_assert(sizeof(SocketAddress) == 16);

uint16_t hostToNet16(uint16_t v) noexcept;
uint32_t hostToNet32(uint32_t v) noexcept;
uint16_t netToHost16(uint16_t v) noexcept;
uint32_t netToHost32(uint32_t v) noexcept;

class Socket {
 public:
  Socket() = default;
  ~Socket();
  Socket(const Socket&) = delete;
  Socket& operator=(const Socket&) = delete;

  // True while a descriptor is held and no close has been asked for ("not 0").
  bool isOpen() const;
  // A number that names this open socket for the life of the process; 0 when closed.
  uint32_t id() const;
  // Closes without a shutdown first. Safe from any thread; a second close does nothing.
  void close();
  // Shuts both directions down, so that any wait on the socket ends, then closes it.
  void shutdownAndClose();
  // Moves an open socket of `other` (owned by the calling thread) into this closed slot.
  void takeFrom(Socket& other);

  // Used by the network implementation only.
  class Use;

 private:
  friend class Use;
  friend class LinuxNetwork;
  void adopt(int fd);
  void release(bool shutdownFirst);

  mutable std::mutex m_;
  int fd_ = -1;
  int users_ = 0;
  bool closing_ = false;
  bool shutdownWanted_ = false;
  uint32_t id_ = 0;
  // Linux reports a reset once; the slot remembers it so every later receive reports it too.
  std::atomic<bool> wasReset_{false};
};

// Borrows the descriptor of a socket for one call; the descriptor stays valid until the Use ends.
class Socket::Use {
 public:
  explicit Use(Socket& s);
  ~Use();
  Use(const Use&) = delete;
  Use& operator=(const Use&) = delete;
  // -1 when the socket is closed or closing.
  int fd() const noexcept { return fd_; }
  Socket& socket() noexcept { return s_; }

 private:
  Socket& s_;
  int fd_;
};

}  // namespace drovn::platform
