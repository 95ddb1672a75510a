#include "support/ServiceHarness.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <stdexcept>

#include "platform/Utf8.h"
#include "protocol/Dispatcher.h"

namespace drovn::test {

namespace {

using Steady = std::chrono::steady_clock;

constexpr uint32_t kLoopbackHost = 0x7F000001;
// A private message of the harness: the window stand-in has taken everything posted before it.
constexpr uint32_t kSyncMarker = 0x33F0;

std::filesystem::path makeStoreDir() {
  std::random_device rd;
  const auto base = std::filesystem::temp_directory_path();
  for (int attempt = 0; attempt < 100; ++attempt) {
    auto candidate = base / ("drovn-store-" + std::to_string(rd()) + std::to_string(attempt));
    if (std::filesystem::create_directory(candidate)) return candidate;
  }
  throw std::runtime_error("no temporary store directory");
}

std::chrono::milliseconds remainingUntil(Steady::time_point deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Steady::now());
  return std::max(left, std::chrono::milliseconds(0));
}

}  // namespace

// ---- FtpClient ----

bool FtpClient::connect(uint16_t port) {
  if (network_.openTcp(socket_) != 0) return false;
  platform::SocketAddress to;
  to.port = platform::hostToNet16(port);
  to.address = platform::hostToNet32(kLoopbackHost);
  buffered_.clear();
  ended_ = false;
  return network_.connect(socket_, to) == 0;
}

uint16_t FtpClient::localPort() {
  platform::SocketAddress local;
  if (network_.localAddress(socket_, local) != 0) return 0;
  return platform::netToHost16(local.port);
}

bool FtpClient::send(std::string_view bytes) {
  uint32_t error = 0;
  return network_.send(socket_, bytes.data(), bytes.size(), error) ==
         static_cast<long long>(bytes.size());
}

bool FtpClient::receiveSome(std::chrono::milliseconds slice) {
  if (ended_) return false;
  uint32_t error = 0;
  const int ready = network_.waitReadable(socket_, static_cast<uint32_t>(slice.count()), error);
  if (ready == 0) return true;
  char chunk[4096];
  const long long n = network_.receive(socket_, chunk, sizeof chunk, error);
  if (n <= 0) {
    ended_ = true;
    return false;
  }
  buffered_.append(chunk, static_cast<std::size_t>(n));
  return true;
}

std::optional<std::string> FtpClient::readLine(std::chrono::milliseconds timeout) {
  const auto deadline = Steady::now() + timeout;
  for (;;) {
    const std::size_t end = buffered_.find("\r\n");
    if (end != std::string::npos) {
      std::string line = buffered_.substr(0, end + 2);
      buffered_.erase(0, end + 2);
      return line;
    }
    const auto left = remainingUntil(deadline);
    if (left.count() == 0 || !receiveSome(std::min(left, std::chrono::milliseconds(100)))) {
      return std::nullopt;
    }
  }
}

std::string FtpClient::readFor(std::chrono::milliseconds window) {
  const auto deadline = Steady::now() + window;
  for (auto left = remainingUntil(deadline); left.count() > 0; left = remainingUntil(deadline)) {
    if (!receiveSome(std::min(left, std::chrono::milliseconds(50)))) break;
  }
  std::string all;
  all.swap(buffered_);
  return all;
}

bool FtpClient::waitClosed(std::chrono::milliseconds timeout) {
  const auto deadline = Steady::now() + timeout;
  for (auto left = remainingUntil(deadline); left.count() > 0; left = remainingUntil(deadline)) {
    if (!receiveSome(std::min(left, std::chrono::milliseconds(100)))) return true;
  }
  return ended_;
}

bool FtpClient::resetConnection(std::chrono::milliseconds timeout) {
  uint32_t error = 0;
  if (network_.waitReadable(socket_, 0, error) != 1) {
    if (!send("NOOP\r\n")) return false;
    if (network_.waitReadable(socket_, static_cast<uint32_t>(timeout.count()), error) != 1) {
      return false;
    }
  }
  socket_.close();
  return true;
}

// ---- ServiceHarness ----

ServiceHarness::Parts::Parts(uint32_t speed)
    : store(makeStoreDir()), clock(speed), files(store.string()), platform{clock, serviceNetwork,
                                                                           codec, registry,
                                                                           queue, files} {}

ServiceHarness::Parts::~Parts() {
  std::error_code ec;
  std::filesystem::remove_all(store, ec);
}

ServiceHarness::ServiceHarness(HarnessOptions options)
    : parts_(std::make_shared<Parts>(options.clockSpeed)),
      networkCheckResult_(options.networkCheckResult) {
  core::CommandDispatch dispatch = options.dispatch
                                       ? std::move(options.dispatch)
                                       : core::CommandDispatch(protocol::dispatchCommand);
  service_ = core::ServiceController::create(parts_->platform, parts_->settings, parts_->meter,
                                             std::move(dispatch), options.limits);
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
  platform::MessageQueue& queue = parts_->queue;
  while (!stop.stop_requested()) {
    platform::MessageQueue::Taken taken;
    if (!queue.take(taken, 20)) continue;
    intptr_t result = 0;
    {
      std::scoped_lock lock(m_);
      switch (taken.message.id) {
        case platform::kLogTextReady:
          if (taken.message.wParam == protocol::kProgressRefresh &&
              taken.message.lParam == protocol::kProgressRefresh) {
            ++progressPosts_;
          }
          collectLocked();
          break;
        case kSyncMarker:
          markersTaken_ = taken.message.wParam;
          break;
        case platform::kNetworkCheck:
          networkChecks_.push_back(NetworkCheck{parts_->clock.tickCount(), parts_->clock.sleptMs(),
                                                taken.message.lParam});
          result = networkCheckResult_;
          break;
        case platform::kServiceStateChanged:
          ++stateChanges_;
          break;
        default:
          break;
      }
    }
    changed_.notify_all();
    platform::MessageQueue::answer(taken, result);
  }
}

void ServiceHarness::collectLocked() {
  if (channel_ == nullptr) return;
  channel_->takePending(pending_);
  std::size_t start = 0;
  for (std::size_t end = pending_.find(u"\r\n"); end != std::u16string::npos;
       end = pending_.find(u"\r\n", start)) {
    lines_.push_back(
        platform::utf16ToUtf8(std::u16string_view(pending_).substr(start, end - start)));
    start = end + 2;
  }
  pending_.erase(0, start);
}

template <typename Pred>
bool ServiceHarness::waitUntil(std::chrono::milliseconds timeout, Pred pred) {
  std::unique_lock lock(m_);
  const auto deadline = Steady::now() + timeout;
  for (;;) {
    collectLocked();
    if (pred()) return true;
    if (Steady::now() >= deadline) return false;
    // Woken by the window stand-in, and at least every 20 ms for state outside the log.
    changed_.wait_for(lock, std::min(remainingUntil(deadline), std::chrono::milliseconds(20)));
  }
}

void ServiceHarness::editSettings(const std::function<void(config::Settings&)>& edit) {
  config::Settings s = parts_->settings.snapshot();
  edit(s);
  parts_->settings.replace(s);
}

void ServiceHarness::announceLoopback(std::string_view portText) {
  editSettings([&](config::Settings& s) {
    s.use_manualip = true;
    s.bind_manualip.assign("127.0.0.1");
    s.bind_manualport.assign(portText);
  });
}

uint16_t ServiceHarness::findFreePort(platform::Network& network) {
  platform::Socket probe;
  if (network.openTcp(probe) != 0) return 0;
  platform::SocketAddress any;
  if (network.bind(probe, any) != 0) return 0;
  platform::SocketAddress bound;
  if (network.localAddress(probe, bound) != 0) return 0;
  return platform::netToHost16(bound.port);
}

uint16_t ServiceHarness::useFreePort() {
  port_ = findFreePort(parts_->network);
  announceLoopback(std::to_string(port_));
  return port_;
}

bool ServiceHarness::startListening(std::chrono::milliseconds timeout) {
  if (port_ == 0) useFreePort();
  // A start after a stop finds the earlier run's lines still there: wait for one more.
  const auto announced = [this] {
    return std::count_if(lines_.begin(), lines_.end(),
                         [](const std::string& l) { return l.starts_with("服务地址: "); });
  };
  const auto before = [&] {
    std::scoped_lock lock(m_);
    collectLocked();
    return announced();
  }();
  service_->startService();
  return waitUntil(timeout, [&] { return service_->listening() && announced() > before; });
}

void ServiceHarness::setNetworkCheckResult(intptr_t result) {
  std::scoped_lock lock(m_);
  networkCheckResult_ = result;
}

std::vector<ServiceHarness::NetworkCheck> ServiceHarness::networkChecks() const {
  std::scoped_lock lock(m_);
  return networkChecks_;
}

int ServiceHarness::stateChanges() const {
  std::scoped_lock lock(m_);
  return stateChanges_;
}

int ServiceHarness::progressPosts() const {
  std::scoped_lock lock(m_);
  return progressPosts_;
}

bool ServiceHarness::syncWindow(std::chrono::milliseconds timeout) {
  intptr_t marker = 0;
  {
    std::scoped_lock lock(m_);
    marker = ++markersPosted_;
  }
  // Each marker differs from the last, so the queue never merges it with one still waiting.
  parts_->queue.post(kSyncMarker, marker, 0);
  return waitUntil(timeout, [&] { return markersTaken_ >= marker; });
}

std::vector<std::string> ServiceHarness::lines() {
  std::scoped_lock lock(m_);
  collectLocked();
  return lines_;
}

int ServiceHarness::count(std::string_view line) {
  std::scoped_lock lock(m_);
  collectLocked();
  return static_cast<int>(std::count(lines_.begin(), lines_.end(), line));
}

int ServiceHarness::find(std::string_view line, std::size_t from) {
  std::scoped_lock lock(m_);
  collectLocked();
  for (std::size_t i = from; i < lines_.size(); ++i) {
    if (lines_[i] == line) return static_cast<int>(i);
  }
  return -1;
}

bool ServiceHarness::waitForLine(std::string_view line, std::chrono::milliseconds timeout) {
  return waitUntil(timeout,
                   [&] { return std::find(lines_.begin(), lines_.end(), line) != lines_.end(); });
}

std::optional<std::string> ServiceHarness::waitForLineStartingWith(
    std::string_view prefix, std::chrono::milliseconds timeout) {
  return waitForLineStartingWithAny({prefix}, timeout);
}

std::optional<std::string> ServiceHarness::waitForLineStartingWithAny(
    const std::vector<std::string_view>& prefixes, std::chrono::milliseconds timeout) {
  std::optional<std::string> found;
  waitUntil(timeout, [&] {
    for (const std::string& l : lines_) {
      for (std::string_view prefix : prefixes) {
        if (l.starts_with(prefix)) {
          found = l;
          return true;
        }
      }
    }
    return false;
  });
  return found;
}

bool ServiceHarness::waitForSessionCount(int n, std::chrono::milliseconds timeout) {
  return waitUntil(timeout, [&] { return service_->sessionCount() == n; });
}

std::unique_ptr<FtpClient> ServiceHarness::connectClient(std::string* greeting) {
  auto client = std::make_unique<FtpClient>(parts_->network);
  if (!client->connect(port_)) return nullptr;
  auto line = client->readLine();
  if (!line) return nullptr;
  if (greeting != nullptr) *greeting = *line;
  return client;
}

bool ServiceHarness::releaseService(std::chrono::milliseconds timeout) {
  if (window_.joinable()) {
    window_.request_stop();
    window_.join();
  }
  {
    std::scoped_lock lock(m_);
    if (service_) collectLocked();
    channel_ = nullptr;
  }
  std::weak_ptr<core::ServiceController> left = service_;
  service_.reset();
  const auto deadline = Steady::now() + timeout;
  while (!left.expired() && Steady::now() < deadline) std::this_thread::sleep_for(5ms);
  return left.expired();
}

}  // namespace drovn::test
