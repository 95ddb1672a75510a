#include "support/FaultNetwork.h"

#include <stdexcept>

namespace drovn::test {

namespace {

std::size_t slot(NetCall call) {
  return static_cast<std::size_t>(call);
}

}  // namespace

void FaultNetwork::failNext(NetCall call, uint32_t code, int times) {
  std::scoped_lock lock(m_);
  faults_[slot(call)] = Fault{times, code, false};
}

void FaultNetwork::failBindPorts(uint16_t first, uint16_t last, uint32_t code) {
  std::scoped_lock lock(m_);
  bindFirst_ = first;
  bindLast_ = last;
  bindCode_ = code;
}

void FaultNetwork::throwNext(NetCall call) {
  std::scoped_lock lock(m_);
  faults_[slot(call)] = Fault{1, 0, true};
}

void FaultNetwork::clearFaults() {
  std::scoped_lock lock(m_);
  for (Fault& f : faults_) f = Fault{};
  bindCode_ = 0;
}

int FaultNetwork::calls(NetCall call) const {
  std::scoped_lock lock(m_);
  return calls_[slot(call)];
}

std::vector<uint16_t> FaultNetwork::boundPorts() const {
  std::scoped_lock lock(m_);
  return boundPorts_;
}

std::vector<int> FaultNetwork::bufferSizes() const {
  std::scoped_lock lock(m_);
  return bufferSizes_;
}

uint32_t FaultNetwork::enter(NetCall call, const platform::SocketAddress* bindTo) {
  std::scoped_lock lock(m_);
  ++calls_[slot(call)];
  if (bindTo != nullptr) {
    const uint16_t port = platform::netToHost16(bindTo->port);
    boundPorts_.push_back(port);
    if (bindCode_ != 0 && port >= bindFirst_ && port <= bindLast_) return bindCode_;
  }
  Fault& f = faults_[slot(call)];
  if (f.times == 0) return 0;
  if (f.times > 0) --f.times;
  if (f.throws) throw std::runtime_error("injected failure");
  return f.code;
}

uint32_t FaultNetwork::openTcp(platform::Socket& s) {
  if (const uint32_t code = enter(NetCall::OpenTcp)) return code;
  return real_.openTcp(s);
}

uint32_t FaultNetwork::bind(platform::Socket& s, const platform::SocketAddress& a) {
  if (const uint32_t code = enter(NetCall::Bind, &a)) return code;
  return real_.bind(s, a);
}

uint32_t FaultNetwork::listen(platform::Socket& s, int backlog) {
  if (const uint32_t code = enter(NetCall::Listen)) return code;
  return real_.listen(s, backlog);
}

uint32_t FaultNetwork::accept(platform::Socket& listener, platform::Socket& into,
                              platform::SocketAddress& peer) {
  if (const uint32_t code = enter(NetCall::Accept)) return code;
  return real_.accept(listener, into, peer);
}

uint32_t FaultNetwork::connect(platform::Socket& s, const platform::SocketAddress& a) {
  if (const uint32_t code = enter(NetCall::Connect)) return code;
  return real_.connect(s, a);
}

uint32_t FaultNetwork::localAddress(platform::Socket& s, platform::SocketAddress& out) {
  return real_.localAddress(s, out);
}

int FaultNetwork::waitReadable(platform::Socket& s, uint32_t timeoutMs, uint32_t& error) {
  return real_.waitReadable(s, timeoutMs, error);
}

long long FaultNetwork::send(platform::Socket& s, const void* data, std::size_t n,
                             uint32_t& error) {
  return real_.send(s, data, n, error);
}

long long FaultNetwork::receive(platform::Socket& s, void* buf, std::size_t n, uint32_t& error) {
  return real_.receive(s, buf, n, error);
}

void FaultNetwork::setBufferSizes(platform::Socket& s, int bytes) {
  {
    std::scoped_lock lock(m_);
    bufferSizes_.push_back(bytes);
  }
  real_.setBufferSizes(s, bytes);
}

uint32_t FaultNetwork::hostName(FixedText<256>& out) {
  return real_.hostName(out);
}

bool FaultNetwork::hostAddresses(const char* name, std::vector<uint32_t>& out) {
  return real_.hostAddresses(name, out);
}

}  // namespace drovn::test
