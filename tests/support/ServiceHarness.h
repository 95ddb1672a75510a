// A service under test with everything real but the clock: real sockets on 127.0.0.1, the
// code-page codec, an in-memory registry, and a stand-in for the main window that answers the
// service's messages and collects its log as UTF-8 lines, and a store directory of its own.
// Also a raw FTP client.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "config/Settings.h"
#include "core/ServiceController.h"
#include "core/SessionLoop.h"
#include "platform/LinuxFileSystem.h"
#include "platform/MessageQueue.h"
#include "platform/Network.h"
#include "platform/Platform.h"
#include "platform/Socket.h"
#include "platform/TextCodec.h"
#include "protocol/TransferMeter.h"
#include "support/FakeClock.h"
#include "support/FaultNetwork.h"
#include "support/MemoryRegistry.h"

namespace drovn::test {

using namespace std::chrono_literals;

// A client of the control connection that sends raw bytes and reads replies line by line.
// Every wait is bounded by its timeout (real time).
class FtpClient {
 public:
  explicit FtpClient(platform::Network& network) : network_(network) {}
  FtpClient(const FtpClient&) = delete;
  FtpClient& operator=(const FtpClient&) = delete;

  bool connect(uint16_t port);
  bool send(std::string_view bytes);
  // The next line with its CR LF; nothing when none is complete within the timeout.
  std::optional<std::string> readLine(std::chrono::milliseconds timeout = 5s);
  // Everything that arrives within the window (for "nothing was sent" checks).
  std::string readFor(std::chrono::milliseconds window);
  // True once the server has closed the connection (end of data or reset) within the timeout.
  // Data that arrives meanwhile is kept for readLine.
  bool waitClosed(std::chrono::milliseconds timeout = 5s);
  // Ends the connection with a reset instead of an orderly close: a socket closed while
  // received data is still unread sends a reset. When nothing is unread, sends NOOP first and
  // waits for its reply to arrive.
  bool resetConnection(std::chrono::milliseconds timeout = 5s);
  void close() { socket_.close(); }
  // The local port of the control connection (host order); 0 when not connected.
  uint16_t localPort();

 private:
  // One wait and receive of at most `slice`; false when the connection has ended.
  bool receiveSome(std::chrono::milliseconds slice);

  platform::Network& network_;
  platform::Socket socket_;
  std::string buffered_;
  bool ended_ = false;
};

struct HarnessOptions {
  uint32_t clockSpeed = 100;
  // Empty: the real dispatcher.
  core::CommandDispatch dispatch{};
  // The main window's answer to NetworkCheck (1: it switched the wireless adapter on).
  intptr_t networkCheckResult = 0;
  // The idle and passive waits run on the fake clock, the connect and stall limits are the
  // kernel's, in real time. A day of fake time here, a quarter of an hour of real time at the
  // usual speed: longer than any test takes to set up its files under a sanitizer. The tests of
  // the limits themselves set them.
  protocol::SessionLimits limits{.idleSeconds = 86400, .passiveAcceptMs = 86400000};
};

class ServiceHarness {
 public:
  explicit ServiceHarness(HarnessOptions options = {});
  // Stops the service, and fails the test if any thread still holds the service afterwards.
  ~ServiceHarness();
  ServiceHarness(const ServiceHarness&) = delete;
  ServiceHarness& operator=(const ServiceHarness&) = delete;

  FakeClock& clock() { return parts_->clock; }
  // The real network, for the test's own clients; the service's calls go through faults().
  platform::Network& network() { return parts_->network; }
  FaultNetwork& faults() { return parts_->serviceNetwork; }
  protocol::TransferMeter& meter() { return parts_->meter; }
  platform::Platform& platform() { return parts_->platform; }
  MemoryRegistry& registry() { return parts_->registry; }
  config::SettingsStore& settings() { return parts_->settings; }
  // The store directory behind platform().files: empty at first, removed with the harness.
  const std::filesystem::path& storeDir() const { return parts_->store; }
  core::ServiceController& service() { return *service_; }

  void editSettings(const std::function<void(config::Settings&)>& edit);
  // Announces 127.0.0.1 and listens on the given port text (bind_manualport).
  void announceLoopback(std::string_view portText);
  // The same with a port that is free now; gives it.
  uint16_t useFreePort();
  uint16_t port() const { return port_; }
  // A port nobody listens on at the moment (bound to port 0 and let go).
  static uint16_t findFreePort(platform::Network& network);

  // Starts the service (after useFreePort, unless the settings were set otherwise) and waits
  // for it to listen; false on time-out.
  bool startListening(std::chrono::milliseconds timeout = 10s);
  void setNetworkCheckResult(intptr_t result);
  struct NetworkCheck {
    uint32_t tick = 0;     // the fake tick when it arrived
    uint64_t sleptMs = 0;  // the fake time all threads had slept by then
    intptr_t lParam = 0;   // 1: the service had found an address
  };
  std::vector<NetworkCheck> networkChecks() const;
  int stateChanges() const;
  // LogTextReady posts asking for a progress refresh (both parameters 999) that the window
  // stand-in has taken so far.
  int progressPosts() const;
  // Waits until the window stand-in has taken every message posted before this call.
  bool syncWindow(std::chrono::milliseconds timeout = 5s);

  // The log so far, one UTF-8 string per line, with everything pending taken first.
  std::vector<std::string> lines();
  bool hasLine(std::string_view line) { return count(line) > 0; }
  int count(std::string_view line);
  // Index of the first line equal to `line` at or after `from`; -1 when there is none.
  int find(std::string_view line, std::size_t from = 0);
  bool waitForLine(std::string_view line, std::chrono::milliseconds timeout = 5s);
  // The first line that starts with prefix, once one has arrived.
  std::optional<std::string> waitForLineStartingWith(std::string_view prefix,
                                                     std::chrono::milliseconds timeout = 5s);
  // The first line that starts with any of the prefixes, once one has arrived.
  std::optional<std::string> waitForLineStartingWithAny(
      const std::vector<std::string_view>& prefixes, std::chrono::milliseconds timeout = 5s);
  // Waits until the number of registered sessions is n.
  bool waitForSessionCount(int n, std::chrono::milliseconds timeout = 5s);

  // A connected client that has read its greeting (nothing when either fails).
  std::unique_ptr<FtpClient> connectClient(std::string* greeting = nullptr);

  // Stops the window stand-in and drops the service, then waits for every thread that holds it
  // to let go; false on time-out. The harness is done with the service afterwards.
  bool releaseService(std::chrono::milliseconds timeout = 5s);

 private:
  struct Parts {
    explicit Parts(uint32_t speed);
    ~Parts();
    Parts(const Parts&) = delete;
    Parts& operator=(const Parts&) = delete;
    std::filesystem::path store;
    FakeClock clock;
    platform::LinuxNetwork network;
    FaultNetwork serviceNetwork{network};
    platform::LinuxTextCodec codec;
    MemoryRegistry registry;
    platform::MessageQueue queue;
    platform::LinuxFileSystem files;
    platform::Platform platform;
    config::SettingsStore settings;
    protocol::TransferMeter meter;
  };

  void windowMain(std::stop_token stop);
  void collectLocked();
  template <typename Pred>
  bool waitUntil(std::chrono::milliseconds timeout, Pred pred);

  std::shared_ptr<Parts> parts_;
  std::shared_ptr<core::ServiceController> service_;
  core::LogChannel* channel_ = nullptr;
  uint16_t port_ = 0;

  mutable std::mutex m_;
  std::condition_variable changed_;
  std::vector<std::string> lines_;
  std::u16string pending_;
  std::vector<NetworkCheck> networkChecks_;
  int stateChanges_ = 0;
  int progressPosts_ = 0;
  intptr_t markersPosted_ = 0;
  intptr_t markersTaken_ = 0;
  intptr_t networkCheckResult_ = 0;
  std::jthread window_;
};

}  // namespace drovn::test
