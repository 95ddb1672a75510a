#include "support/ServiceHarness.h"

#include <gtest/gtest.h>

#include "protocol/Dispatcher.h"

namespace drovn::test {

bool FtpClient::connect(uint16_t port) {
  const platform::SocketAddress to{.port = platform::hostToNet16(port),
                                   .address = platform::hostToNet32(0x7F000001)};
  buffered_.clear();
  ended_ = false;
  return !network_.openTcp(socket_) && !network_.connect(socket_, to);
}

bool FtpClient::receiveUntil(std::chrono::milliseconds timeout, const std::function<bool()>& done) {
  const auto end = std::chrono::steady_clock::now() + timeout;
  char chunk[4096];
  std::error_code error;
  while (!done()) {
    const auto left =
        std::chrono::ceil<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
    if (ended_ || left <= 0ms) return false;
    if (network_.waitReadable(socket_, static_cast<uint32_t>(left.count()), error) == 0) continue;
    const long long n = network_.receive(socket_, chunk, sizeof chunk, error);
    ended_ = n <= 0;
    buffered_.append(chunk, static_cast<std::size_t>(std::max(n, 0LL)));
  }
  return true;
}

std::optional<std::string> FtpClient::readLine(std::chrono::milliseconds timeout) {
  const auto whole = [this] { return buffered_.find("\r\n") != std::string::npos; };
  if (!receiveUntil(timeout, whole)) return std::nullopt;
  std::string line = buffered_.substr(0, buffered_.find("\r\n") + 2);
  buffered_.erase(0, line.size());
  return line;
}

ServiceHarness::ServiceHarness(HarnessOptions options)
    : parts_(std::make_shared<Parts>(options.clockSpeed)) {
  if (!options.dispatch) options.dispatch = protocol::dispatchCommand;
  service_ = core::ServiceController::create(parts_->platform, parts_->settings, parts_->meter,
                                             std::move(options.dispatch), options.limits);
  channel_ = &service_->logChannel();
  window_ = std::jthread([this](std::stop_token stop) { windowMain(stop); });
}

ServiceHarness::~ServiceHarness() {
  if (service_) service_->stopService();
  if (!releaseService()) {
    ADD_FAILURE() << "a thread of the service did not end";
    // It may still use the platform: keep it alive rather than free it under the thread.
    new std::shared_ptr<Parts>(parts_);
  }
}

void ServiceHarness::windowMain(std::stop_token stop) {
  while (!stop.stop_requested()) {
    platform::MessageQueue::Taken taken;
    if (!parts_->queue.take(taken, 20)) continue;
    const platform::Message& m = taken.message;
    {
      std::scoped_lock lock(m_);
      if (std::holds_alternative<platform::events::LogTextReady>(m)) {
        // Taken at once, as the main window does, so that the pending text never runs full.
        collectLocked();
      } else if (std::holds_alternative<platform::events::NetworkCheck>(m)) {
        networkChecks_.push_back(parts_->clock.sleptMs());
      }
    }
    platform::MessageQueue::answer(taken, 0);  // to NetworkCheck: no adapter was switched on
  }
}

void ServiceHarness::collectLocked() {
  if (channel_ != nullptr) channel_->takePending(pending_);
  std::size_t start = 0;
  for (std::size_t end; (end = pending_.find("\r\n", start)) != std::string::npos; start = end + 2)
    lines_.push_back(pending_.substr(start, end - start));
  pending_.erase(0, start);
}

bool ServiceHarness::startListening(std::chrono::milliseconds timeout, bool atLaunch) {
  for (int attempt = 0; attempt < 5; ++attempt) {
    if (port_ == 0) {  // a port nobody listens on at the moment: bound to 0 and let go
      platform::Socket probe;
      platform::SocketAddress bound;
      platform::Network& net = parts_->network;
      if (!net.openTcp(probe) && !net.bind(probe, bound) && !net.localAddress(probe, bound))
        port_ = platform::netToHost16(bound.port);
    }
    editSettings([&](config::Settings& s) {
      s.use_manualip = true;
      s.bind_manualip.assign("127.0.0.1");
      s.bind_manualport.assign(std::to_string(port_));
    });
    // The lines of an earlier run are still there: only the new ones count.
    const std::size_t from = lines().size();
    const auto logged = [&](std::string_view prefix) {
      const auto all = lines();
      return std::any_of(all.begin() + static_cast<std::ptrdiff_t>(from), all.end(),
                         [&](const std::string& l) { return l.starts_with(prefix); });
    };
    atLaunch ? service_->startServiceAtLaunch() : service_->startService();
    bool taken = false;
    const bool ended = eventually(
        [&] { return (taken = logged("绑定端口出错")) || logged("服务地址: "); }, timeout);
    if (!taken) return ended && service_->listening();
    service_->stopService();
    port_ = 0;
  }
  return false;
}

std::vector<std::string> ServiceHarness::lines() {
  std::scoped_lock lock(m_);
  collectLocked();
  return lines_;
}

std::unique_ptr<FtpClient> ServiceHarness::connectClient(std::string* greeting) {
  auto client = std::make_unique<FtpClient>(parts_->network);
  const auto line = client->connect(port_) ? client->readLine() : std::nullopt;
  if (line && greeting != nullptr) *greeting = *line;
  return line ? std::move(client) : nullptr;
}

bool ServiceHarness::releaseService(std::chrono::milliseconds timeout) {
  if (window_.joinable()) {
    window_.request_stop();
    window_.join();
  }
  {
    std::scoped_lock lock(m_);
    collectLocked();
    channel_ = nullptr;
  }
  std::weak_ptr<core::ServiceController> left = std::exchange(service_, nullptr);
  return eventually([&] { return left.expired(); }, timeout);
}

}  // namespace drovn::test
