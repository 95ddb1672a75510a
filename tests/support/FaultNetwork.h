// A network for the service under test: every call goes to the real network, but a test may
// make the next connect or every bind fail with an errno (a host that cannot be reached,
// a port held elsewhere, which a loopback cannot produce on demand), and sees how many connects
// the service made.
#pragma once

#include <cerrno>
#include <mutex>
#include <vector>

#include "platform/Network.h"

namespace drovn::test {

class FaultNetwork final : public platform::Network {
  using Socket = platform::Socket;
  using Address = platform::SocketAddress;
  using File = platform::FileHandle;
  using Error = std::error_code;

 public:
  explicit FaultNetwork(platform::Network& real) : real_(real) {}

  // The next `times` connects fail with err (negative: every one from now on).
  void failNextConnect(int err, int times = 1) {
    std::scoped_lock lock(m_);
    connectFailure_ = Error(err, std::generic_category());
    connectFailures_ = times;
  }
  // Every bind fails with err from now on; 0 lets them reach the real network again.
  void failBinds(int err) {
    std::scoped_lock lock(m_);
    bindFailure_ = Error(err, std::generic_category());
  }
  // The connects made since the start, failed ones included.
  int connects() const {
    std::scoped_lock lock(m_);
    return connects_;
  }

  Error connect(Socket& s, const Address& a) override {
    std::unique_lock lock(m_);
    ++connects_;
    const Error code = connectFailures_ != 0 ? connectFailure_ : Error();
    if (connectFailures_ > 0) --connectFailures_;
    lock.unlock();
    return code ? code : real_.connect(s, a);
  }
  Error openTcp(Socket& s) override { return real_.openTcp(s); }
  Error bind(Socket& s, const Address& a) override {
    std::unique_lock lock(m_);
    const Error code = bindFailure_;
    lock.unlock();
    return code ? code : real_.bind(s, a);
  }
  Error listen(Socket& s, int n) override { return real_.listen(s, n); }
  Error accept(Socket& l, Socket& i, Address& p) override { return real_.accept(l, i, p); }
  Error localAddress(Socket& s, Address& o) override { return real_.localAddress(s, o); }
  int waitReadable(Socket& s, uint32_t ms, Error& e) override {
    return real_.waitReadable(s, ms, e);
  }
  long long send(Socket& s, const void* d, std::size_t n, Error& e) override {
    return real_.send(s, d, n, e);
  }
  long long receive(Socket& s, void* b, std::size_t n, Error& e) override {
    return real_.receive(s, b, n, e);
  }
  long long receiveWithin(Socket& s, void* b, std::size_t n, uint32_t ms, Error& e) override {
    return real_.receiveWithin(s, b, n, ms, e);
  }
  // File blocks go the real network's way (sendfile, pieces), as in the shipped program.
  long long sendFileBlock(Socket& s, File& f, void* b, std::size_t n, Error& e) override {
    return real_.sendFileBlock(s, f, b, n, e);
  }
  long long receiveFileBlock(Socket& s, File& f, void* b, std::size_t n, Error& e) override {
    return real_.receiveFileBlock(s, f, b, n, e);
  }
  void setBufferSizes(Socket& s, int bytes) override { real_.setBufferSizes(s, bytes); }
  void setStallLimit(Socket& s, uint32_t ms) override { real_.setStallLimit(s, ms); }
  bool peerClosed(Socket& s) override { return real_.peerClosed(s); }
  Error hostName(FixedText<256>& out) override { return real_.hostName(out); }
  bool hostAddresses(const char* n, std::vector<uint32_t>& o) override {
    return real_.hostAddresses(n, o);
  }

 private:
  platform::Network& real_;
  mutable std::mutex m_;
  Error connectFailure_;
  int connectFailures_ = 0;
  Error bindFailure_;
  int connects_ = 0;
};

}  // namespace drovn::test
