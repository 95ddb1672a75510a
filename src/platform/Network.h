// The network services of the server: TCP sockets, readiness waits, and what the host knows of
// its own name and addresses. Every call reports a failure as the errno it met (generic
// category).
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <system_error>
#include <vector>

#include "platform/FileSystem.h"
#include "platform/FixedText.h"
#include "platform/Socket.h"

namespace drovn::platform {

// Every call on a slot that is closed, or being closed by another thread, fails with ENOTSOCK;
// so does a blocking call that such a close ends. A slot that is to receive a new socket
// (openTcp, accept's `into`) must be empty; otherwise the call fails with EINVAL.
class Network {
 public:
  virtual ~Network() = default;

  // Each of these returns no error on success, otherwise the failure.
  // openTcp: a new IPv4 stream socket into the closed slot s.
  virtual std::error_code openTcp(Socket& s) = 0;
  // A port that another socket is bound to or listening on gives EADDRINUSE. Connections of an
  // earlier socket still lingering in TIME_WAIT do not hold the port, so a stopped service can
  // start again at once and PASV finds its port free again.
  virtual std::error_code bind(Socket& s, const SocketAddress& a) = 0;
  virtual std::error_code listen(Socket& s, int backlog) = 0;
  // Blocks until a connection arrives (or the listener is shut down); the connection goes into
  // the closed slot `into`, the peer's address into `peer`. On failure `into` and `peer` are
  // left as they were.
  virtual std::error_code accept(Socket& listener, Socket& into, SocketAddress& peer) = 0;
  // Blocks until connected or failed (ECONNREFUSED when nothing listens); a shutdown from another
  // thread ends it.
  virtual std::error_code connect(Socket& s, const SocketAddress& a) = 0;
  virtual std::error_code localAddress(Socket& s, SocketAddress& out) = 0;

  // Waits up to timeoutMs for s to become readable (or for a pending connection on a
  // listener). Gives 1 when readable, 0 on time-out, -1 on failure with error set. A connection
  // that the peer has closed or reset counts as readable, so the receive that follows reports
  // which it was.
  virtual int waitReadable(Socket& s, uint32_t timeoutMs, std::error_code& error) = 0;
  // Sends all n bytes (retrying interrupted and partial sends); gives n, or -1 with error set.
  // Bytes already sent before a failure are not reported. A send to a peer that has reset or
  // gone fails with ECONNRESET, and the slot then counts as reset.
  virtual long long send(Socket& s, const void* data, std::size_t n, std::error_code& error) = 0;
  // One receive of up to n bytes: the count, 0 when the peer has closed its side (or n is 0),
  // -1 with error set on failure. After a reset (seen by any call) every later receive fails
  // with ECONNRESET.
  virtual long long receive(Socket& s, void* buf, std::size_t n, std::error_code& error) = 0;
  // As receive, but waits at most waitMs for the first byte: kNothingYet when none came. A
  // session's reads of its commands are this one call each, no readiness wait before them.
  // For the first spinMicros the thread keeps asking instead of sleeping, for a command that
  // is expected at once.
  static constexpr long long kNothingYet = -2;
  virtual long long receiveWithin(Socket& s, void* buf, std::size_t n, uint32_t waitMs,
                                  uint32_t spinMicros, std::error_code& error) = 0;
  // Moves the calling thread to the processor that took in s's latest bytes and keeps it
  // there until releaseProcessor(). A client on this machine then sends its command and is
  // woken by the reply on its own processor, which on a virtual machine costs a fraction of a
  // wake from the other one, and a remote client's bytes are read where they arrived. True
  // when the thread runs on that processor now (moved or already there); false when the
  // system does not say, or does not let the thread go there.
  virtual bool followPeer(Socket& s) = 0;
  // Lets the calling thread run on any processor it could before followPeer; nothing when it
  // was not moved.
  virtual void releaseProcessor() = 0;
  // The receive buffer's size; failures are not reported. The send buffer is left to the
  // kernel, which grows it as the connection needs.
  virtual void setReceiveBuffer(Socket& s, int bytes) = 0;
  // The bytes sent on s that its peer has not acknowledged yet (0 for a socket that is closed,
  // reset or not connected): what was handed to send less this is what the peer has taken.
  virtual std::size_t unsentBytes(Socket& s) = 0;
  // From now on a connect, send or receive on s (the file blocks below included) that moves
  // nothing for ms fails with ETIMEDOUT, so a peer that stops answering cannot hold a thread for
  // ever; a call that moves some bytes starts the limit again. Failures are not reported.
  virtual void setStallLimit(Socket& s, uint32_t ms) = 0;
  // True when the peer of the connected socket s has closed its side or the connection has
  // failed. Does not wait, and leaves anything received for the next receive.
  virtual bool peerClosed(Socket& s) = 0;

  // One block of a file to the socket: up to n bytes from the file's position on (the position
  // moves past them), all of them sent before the call returns. Gives the count, 0 at the end of
  // the file, or -1 with error set as for send when the send fails; a failed read of the file
  // throws PlatformError. buffer (n bytes of room) is used where the block has to be read and
  // sent; this version always does that, the Linux one moves it with sendfile where it can.
  virtual long long sendFileBlock(Socket& s, FileHandle& file, void* buffer, std::size_t n,
                                  std::error_code& error);
  // One block of up to n received bytes written to the file at its position: the count, 0 when
  // the peer has closed its side, -1 with error set as for receive. A failed write of the file
  // throws PlatformError (ENOSPC when the disk is full); what was written before it stays. buffer
  // (n bytes of room) takes the bytes on their way; this version receives once, the Linux one
  // gathers the block in smaller pieces from what the client has already sent.
  virtual long long receiveFileBlock(Socket& s, FileHandle& file, void* buffer, std::size_t n,
                                     std::error_code& error);

  // The host's name; no error or the failure.
  virtual std::error_code hostName(FixedText<256>& out) = 0;
  // The host's IPv4 addresses (network order): those of the interfaces that are up,
  // non-loopback ones first in interface order, then loopback ones; 127.0.0.1 alone when there
  // is no other. False when the name cannot be looked up at all. The Linux implementation reads
  // the interfaces and does not resolve the name.
  virtual bool hostAddresses(const char* name, std::vector<uint32_t>& out) = 0;
};

// inet_addr: dotted text to a network-order address; 0xFFFFFFFF when it is not one (and for
// "255.255.255.255"). Takes the classic short forms ("1.2.3" is 1.2.0.3) and octal and hex
// parts, as inet_addr does; null and "" are not addresses.
uint32_t inetAddr(const char* text) noexcept;
// inet_ntoa: a network-order address as dotted text.
void inetNtoa(uint32_t address, FixedText<16>& out) noexcept;

class LinuxNetwork final : public Network {
 public:
  std::error_code openTcp(Socket& s) override;
  std::error_code bind(Socket& s, const SocketAddress& a) override;
  std::error_code listen(Socket& s, int backlog) override;
  std::error_code accept(Socket& listener, Socket& into, SocketAddress& peer) override;
  std::error_code connect(Socket& s, const SocketAddress& a) override;
  std::error_code localAddress(Socket& s, SocketAddress& out) override;
  int waitReadable(Socket& s, uint32_t timeoutMs, std::error_code& error) override;
  long long send(Socket& s, const void* data, std::size_t n, std::error_code& error) override;
  long long receive(Socket& s, void* buf, std::size_t n, std::error_code& error) override;
  long long receiveWithin(Socket& s, void* buf, std::size_t n, uint32_t waitMs,
                          uint32_t spinMicros, std::error_code& error) override;
  bool followPeer(Socket& s) override;
  void releaseProcessor() override;
  void setReceiveBuffer(Socket& s, int bytes) override;
  std::size_t unsentBytes(Socket& s) override;
  void setStallLimit(Socket& s, uint32_t ms) override;
  bool peerClosed(Socket& s) override;
  long long sendFileBlock(Socket& s, FileHandle& file, void* buffer, std::size_t n,
                          std::error_code& error) override;
  long long receiveFileBlock(Socket& s, FileHandle& file, void* buffer, std::size_t n,
                             std::error_code& error) override;
  std::error_code hostName(FixedText<256>& out) override;
  bool hostAddresses(const char* name, std::vector<uint32_t>& out) override;

 private:
  // Shared by the receives, on a descriptor borrowed with a Socket::Use.
  static bool mayReceive(const Socket& s, int fd, std::error_code& error);
  static long long receiveOnce(Socket& s, int fd, void* buf, std::size_t n, int flags, bool timed,
                               std::error_code& error);
  static std::error_code sendFailure(Socket& s, int err);

  // Downloads moving a block at this moment, across all sessions (see sendFileBlock).
  std::atomic<int> blocksInFlight_{0};
};

}  // namespace drovn::platform
