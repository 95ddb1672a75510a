// A network for the service under test: every call goes to the real network unless a test has
// asked for a call of that kind to fail. Tests use it for the failures that a healthy loopback
// cannot produce on demand (no socket to be had, every port taken, a failing accept or listen)
// and to see which socket calls the service made.
#pragma once

#include <cstdint>
#include <mutex>
#include <vector>

#include "platform/Network.h"

namespace drovn::test {

enum class NetCall { OpenTcp, Bind, Listen, Accept, Connect };

class FaultNetwork final : public platform::Network {
 public:
  explicit FaultNetwork(platform::Network& real) : real_(real) {}

  // The next `times` calls of this kind fail with `code` without reaching the real network
  // (negative: every call from now on).
  void failNext(NetCall call, uint32_t code, int times = 1);
  // Every bind to a port from first to last fails with code, from now on.
  void failBindPorts(uint16_t first, uint16_t last, uint32_t code);
  // The next call of this kind throws an exception that is no platform failure (as an
  // allocation inside the call would).
  void throwNext(NetCall call);
  // Every fault off; the counts stay.
  void clearFaults();

  // Calls of this kind made since the start, failed ones included.
  int calls(NetCall call) const;
  // The ports (host order) of every bind, in order.
  std::vector<uint16_t> boundPorts() const;
  // The sizes of every setBufferSizes call, in order.
  std::vector<int> bufferSizes() const;

  uint32_t openTcp(platform::Socket& s) override;
  uint32_t bind(platform::Socket& s, const platform::SocketAddress& a) override;
  uint32_t listen(platform::Socket& s, int backlog) override;
  uint32_t accept(platform::Socket& listener, platform::Socket& into,
                  platform::SocketAddress& peer) override;
  uint32_t connect(platform::Socket& s, const platform::SocketAddress& a) override;
  uint32_t localAddress(platform::Socket& s, platform::SocketAddress& out) override;
  int waitReadable(platform::Socket& s, uint32_t timeoutMs, uint32_t& error) override;
  long long send(platform::Socket& s, const void* data, std::size_t n, uint32_t& error) override;
  long long receive(platform::Socket& s, void* buf, std::size_t n, uint32_t& error) override;
  void setBufferSizes(platform::Socket& s, int bytes) override;
  void setStallLimit(platform::Socket& s, uint32_t ms) override { real_.setStallLimit(s, ms); }
  bool peerClosed(platform::Socket& s) override { return real_.peerClosed(s); }
  uint32_t hostName(FixedText<256>& out) override;
  bool hostAddresses(const char* name, std::vector<uint32_t>& out) override;

 private:
  static constexpr int kKinds = 5;
  struct Fault {
    int times = 0;  // calls still to fail; negative: every one
    uint32_t code = 0;
    bool throws = false;
  };
  // Counts the call; gives the code it must fail with, or 0. Throws for a throwing fault.
  uint32_t enter(NetCall call, const platform::SocketAddress* bindTo = nullptr);

  platform::Network& real_;
  mutable std::mutex m_;
  Fault faults_[kKinds];
  int calls_[kKinds] = {};
  uint16_t bindFirst_ = 0;
  uint16_t bindLast_ = 0;
  uint32_t bindCode_ = 0;
  std::vector<uint16_t> boundPorts_;
  std::vector<int> bufferSizes_;
};

}  // namespace drovn::test
