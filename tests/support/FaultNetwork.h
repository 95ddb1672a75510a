// A network for the service under test: every call goes to the real network, but a test may
// make every connect or bind fail with an errno (a host that cannot be reached, a port held
// elsewhere, which a loopback cannot produce on demand), and sees how many connects were made.
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

  // Every connect, or every bind, fails with err from now on; 0 lets them through again.
  void failConnects(int err) { fail(connectFailure_, err); }
  void failBinds(int err) { fail(bindFailure_, err); }
  // The connects made since the start, failed ones included.
  int connects() const {
    std::scoped_lock lock(m_);
    return connects_;
  }

  Error connect(Socket& s, const Address& a) override {
    if (const Error code = failure(connectFailure_, 1)) return code;
    return real_.connect(s, a);
  }
  Error openTcp(Socket& s) override { return real_.openTcp(s); }
  Error bind(Socket& s, const Address& a) override {
    if (const Error code = failure(bindFailure_, 0)) return code;
    return real_.bind(s, a);
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
  long long receiveWithin(Socket& s, void* b, std::size_t n, uint32_t ms, uint32_t spin,
                          Error& e) override {
    return real_.receiveWithin(s, b, n, ms, spin, e);
  }
  // File blocks go the real network's way (sendfile, pieces), as in the shipped program.
  long long sendFileBlock(Socket& s, File& f, void* b, std::size_t n, Error& e) override {
    return real_.sendFileBlock(s, f, b, n, e);
  }
  long long receiveFileBlock(Socket& s, File& f, void* b, std::size_t n, Error& e) override {
    return real_.receiveFileBlock(s, f, b, n, e);
  }
  bool followPeer(Socket& s) override { return real_.followPeer(s); }
  void releaseProcessor() override { real_.releaseProcessor(); }
  void setReceiveBuffer(Socket& s, int bytes) override { real_.setReceiveBuffer(s, bytes); }
  std::size_t unsentBytes(Socket& s) override { return real_.unsentBytes(s); }
  void setStallLimit(Socket& s, uint32_t ms) override { real_.setStallLimit(s, ms); }
  bool peerClosed(Socket& s) override { return real_.peerClosed(s); }
  Error hostName(FixedText<256>& out) override { return real_.hostName(out); }
  bool hostAddresses(const char* n, std::vector<uint32_t>& o) override {
    return real_.hostAddresses(n, o);
  }

 private:
  void fail(Error& failure, int err) {
    std::scoped_lock lock(m_);
    failure = Error(err, std::generic_category());
  }
  Error failure(const Error& set, int connects) {
    std::scoped_lock lock(m_);
    connects_ += connects;
    return set;
  }

  platform::Network& real_;
  mutable std::mutex m_;
  Error connectFailure_, bindFailure_;
  int connects_ = 0;
};

}  // namespace drovn::test
