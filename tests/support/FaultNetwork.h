// A network for the service under test: every call goes to the real network, but a test may
// make the next connect or every bind fail with an error number (a host that cannot be reached,
// a port held elsewhere, which a loopback cannot produce on demand), and sees how many connects
// the service made.
#pragma once

#include <cstdint>
#include <mutex>
#include <vector>

#include "platform/Network.h"

namespace drovn::test {

class FaultNetwork final : public platform::Network {
  using Socket = platform::Socket;
  using Address = platform::SocketAddress;
  using File = platform::FileHandle;

 public:
  explicit FaultNetwork(platform::Network& real) : real_(real) {}

  // The next `times` connects fail with code (negative: every one from now on).
  void failNextConnect(uint32_t code, int times = 1) {
    std::scoped_lock lock(m_);
    connectFailure_ = code;
    connectFailures_ = times;
  }
  // Every bind fails with code from now on; 0 lets them reach the real network again.
  void failBinds(uint32_t code) {
    std::scoped_lock lock(m_);
    bindFailure_ = code;
  }
  // The connects made since the start, failed ones included.
  int connects() const {
    std::scoped_lock lock(m_);
    return connects_;
  }

  uint32_t connect(Socket& s, const Address& a) override {
    std::unique_lock lock(m_);
    ++connects_;
    const uint32_t code = connectFailures_ != 0 ? connectFailure_ : 0;
    if (connectFailures_ > 0) --connectFailures_;
    lock.unlock();
    return code != 0 ? code : real_.connect(s, a);
  }
  uint32_t openTcp(Socket& s) override { return real_.openTcp(s); }
  uint32_t bind(Socket& s, const Address& a) override {
    std::unique_lock lock(m_);
    const uint32_t code = bindFailure_;
    lock.unlock();
    return code != 0 ? code : real_.bind(s, a);
  }
  uint32_t listen(Socket& s, int n) override { return real_.listen(s, n); }
  uint32_t accept(Socket& l, Socket& i, Address& p) override { return real_.accept(l, i, p); }
  uint32_t localAddress(Socket& s, Address& o) override { return real_.localAddress(s, o); }
  int waitReadable(Socket& s, uint32_t ms, uint32_t& e) override {
    return real_.waitReadable(s, ms, e);
  }
  long long send(Socket& s, const void* d, std::size_t n, uint32_t& e) override {
    return real_.send(s, d, n, e);
  }
  long long receive(Socket& s, void* b, std::size_t n, uint32_t& e) override {
    return real_.receive(s, b, n, e);
  }
  // File blocks go the real network's way (sendfile, pieces), as in the shipped program.
  long long sendFileBlock(Socket& s, File& f, void* b, std::size_t n, uint32_t& e) override {
    return real_.sendFileBlock(s, f, b, n, e);
  }
  long long receiveFileBlock(Socket& s, File& f, void* b, std::size_t n, uint32_t& e) override {
    return real_.receiveFileBlock(s, f, b, n, e);
  }
  void setBufferSizes(Socket& s, int bytes) override { real_.setBufferSizes(s, bytes); }
  void setStallLimit(Socket& s, uint32_t ms) override { real_.setStallLimit(s, ms); }
  bool peerClosed(Socket& s) override { return real_.peerClosed(s); }
  uint32_t hostName(FixedText<256>& out) override { return real_.hostName(out); }
  bool hostAddresses(const char* n, std::vector<uint32_t>& o) override {
    return real_.hostAddresses(n, o);
  }

 private:
  platform::Network& real_;
  mutable std::mutex m_;
  uint32_t connectFailure_ = 0;
  int connectFailures_ = 0;
  uint32_t bindFailure_ = 0;
  int connects_ = 0;
};

}  // namespace drovn::test
