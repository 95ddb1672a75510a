// One TCP socket slot. Several threads may hold the same slot (a session thread waiting on its
// control connection while the service shuts that connection from another thread), so the slot
// is neither copied nor moved: it is opened in place, and closing it is safe from any thread and
// happens exactly once. A thread blocked on the socket is woken by the shutdown, and the
// descriptor is released only when no call is using it any more, so it can never be reused
// under a running call.
#pragma once

#include <atomic>
#include <cstdint>

#include "platform/Mutex.h"

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
  // Closes a socket still held. No call may be using the slot any more.
  ~Socket();
  Socket(const Socket&) = delete;
  Socket& operator=(const Socket&) = delete;

  // True while a descriptor is held and no close has been asked for ("not 0").
  bool isOpen() const;
  // True from the moment a close is asked for until the slot holds a new socket.
  bool isClosing() const;
  // A number that names this open socket for the life of the process (never 0, never given
  // twice); 0 once a close has been asked for and while the slot is empty.
  uint32_t id() const;
  // Closes without a shutdown first. Safe from any thread; a second close does nothing. While
  // another thread is inside a call on the socket, that call cannot be left holding a closed
  // descriptor, so the socket is then shut down as well to end the call, and the descriptor is
  // released by whichever call ends last.
  void close();
  // Shuts both directions down, so that any wait on the socket ends, then closes it. Safe from
  // any thread, also together with close() and with itself.
  void shutdownAndClose();
  // Moves the open socket of `other` (owned by the calling thread, no call in progress on it)
  // into this slot, which must be empty (closed, with no call still draining). Gives false and
  // moves nothing when `other` is not open or this slot is not empty.
  bool takeFrom(Socket& other);

  // Used by the network implementation only.
  class Use;

 private:
  friend class Use;
  friend class LinuxNetwork;
  // Puts a new descriptor into an empty slot; false (and the slot unchanged) when it is not empty.
  bool adopt(int fd);
  void release(bool shutdownFirst);
  void markReset() noexcept { wasReset_.store(true); }
  bool wasReset() const noexcept { return wasReset_.load(); }

  mutable Mutex m_;
  int fd_ GUARDED_BY(m_) = -1;
  int users_ GUARDED_BY(m_) = 0;         // calls in progress (Socket::Use)
  bool closing_ GUARDED_BY(m_) = false;  // a close was asked for; fd_ goes when users_ drops to 0
  uint32_t id_ GUARDED_BY(m_) = 0;
  // Linux reports a reset once; the slot remembers it so every later receive reports it too.
  std::atomic<bool> wasReset_{false};
  // The receive time-out the descriptor has now, in ms (0: none), so that a loop of receives
  // with one wait sets it once. Only the thread that receives on the slot uses it.
  uint32_t receiveWaitMs_ = 0;
};

// Borrows the descriptor of a socket for one call; the descriptor stays valid until the Use ends,
// even when another thread closes the socket meanwhile. Never held across two calls.
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
