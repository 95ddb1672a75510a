#include "platform/Socket.h"

#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cassert>

namespace drovn::platform {

namespace {

// Socket ids name a connection for the life of the process (the transfer meter compares them),
// so they come from one process-wide counter; 0 is skipped when it wraps.
std::atomic<uint32_t> nextSocketId{1};

uint32_t newSocketId() noexcept {
  uint32_t id = nextSocketId.fetch_add(1);
  while (id == 0) id = nextSocketId.fetch_add(1);
  return id;
}

}  // namespace

uint16_t hostToNet16(uint16_t v) noexcept {
  return htons(v);
}
uint32_t hostToNet32(uint32_t v) noexcept {
  return htonl(v);
}
uint16_t netToHost16(uint16_t v) noexcept {
  return ntohs(v);
}
uint32_t netToHost32(uint32_t v) noexcept {
  return ntohl(v);
}

Socket::~Socket() {
  int fd = -1;
  {
    MutexLock lock(m_);
    assert(users_ == 0 && "a call still uses a socket slot that is being destroyed");
    fd = fd_;
    fd_ = -1;
  }
  // Nothing can be done about a failing close of a socket nobody holds any more.
  if (fd >= 0) (void)::close(fd);
}

bool Socket::isOpen() const {
  MutexLock lock(m_);
  return fd_ >= 0 && !closing_;
}

uint32_t Socket::id() const {
  MutexLock lock(m_);
  return fd_ >= 0 && !closing_ ? id_ : 0;
}

bool Socket::isClosing() const {
  MutexLock lock(m_);
  return closing_;
}

void Socket::close() {
  release(false);
}

void Socket::shutdownAndClose() {
  release(true);
}

void Socket::release(bool shutdownFirst) {
  int fd = -1;
  {
    MutexLock lock(m_);
    if (fd_ < 0 || closing_) return;
    closing_ = true;
    // shutdown does not block; doing it under the lock keeps fd_ from being closed meanwhile.
    // Its failure (a socket that never connected) leaves nothing to wake.
    if (shutdownFirst || users_ > 0) (void)::shutdown(fd_, SHUT_RDWR);
    if (users_ == 0) {
      fd = fd_;
      fd_ = -1;
    }
  }
  // close() of a socket releases the descriptor even when it reports an error; never retried,
  // since the number may already belong to someone else.
  if (fd >= 0) (void)::close(fd);
}

bool Socket::adopt(int fd) {
  MutexLock lock(m_);
  if (fd_ >= 0 || users_ > 0) return false;
  fd_ = fd;
  users_ = 0;
  closing_ = false;
  id_ = newSocketId();
  wasReset_.store(false);
  return true;
}

// Both locks are taken by std::scoped_lock, which orders them against a deadlock; the analysis
// cannot follow a lock taken inside the standard library, so it is off for this one function.
bool Socket::takeFrom(Socket& other) NO_THREAD_SAFETY_ANALYSIS {
  if (&other == this) return false;
  std::scoped_lock lock(m_, other.m_);
  if (fd_ >= 0 || users_ > 0) return false;
  if (other.fd_ < 0 || other.closing_ || other.users_ > 0) return false;
  fd_ = other.fd_;
  id_ = other.id_;
  closing_ = false;
  wasReset_.store(other.wasReset_.load());
  other.fd_ = -1;
  other.id_ = 0;
  other.closing_ = false;
  other.wasReset_.store(false);
  return true;
}

Socket::Use::Use(Socket& s) : s_(s), fd_(-1) {
  MutexLock lock(s.m_);
  if (s.fd_ >= 0 && !s.closing_) {
    ++s.users_;
    fd_ = s.fd_;
  }
}

Socket::Use::~Use() {
  if (fd_ < 0) return;
  int fd = -1;
  {
    MutexLock lock(s_.m_);
    --s_.users_;
    if (s_.users_ == 0 && s_.closing_) {
      fd = s_.fd_;
      s_.fd_ = -1;
    }
  }
  if (fd >= 0) (void)::close(fd);  // the close asked for while this call was running
}

}  // namespace drovn::platform
