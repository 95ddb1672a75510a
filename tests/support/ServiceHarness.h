// A service under test with everything real but the clock: sockets on 127.0.0.1, the codec, a
// store directory of its own, an in-memory registry, and a stand-in for the main window that
// answers the service's messages and collects its log as UTF-8 lines. Also a raw FTP client.
// Every wait here is bounded in real time.
#pragma once

#include <algorithm>
#include <filesystem>
#include <functional>
#include <optional>
#include <thread>

#include "core/ServiceController.h"
#include "platform/LinuxFileSystem.h"
#include "support/FakeClock.h"
#include "support/FaultFileSystem.h"
#include "support/FaultNetwork.h"
#include "support/Files.h"
#include "support/MemoryRegistry.h"

namespace drovn::test {

using namespace std::chrono_literals;

// A client of the control connection that sends raw bytes and reads replies line by line.
class FtpClient {
 public:
  explicit FtpClient(platform::Network& network) : network_(network) {}

  bool connect(uint16_t port);
  bool send(std::string_view bytes) {
    std::error_code e;
    return network_.send(socket_, bytes.data(), bytes.size(), e) == std::ssize(bytes);
  }
  // The next line with its CR LF; nothing when none is complete within the timeout.
  std::optional<std::string> readLine(std::chrono::milliseconds timeout = 5s);
  // Everything that arrives within the window, with whatever was kept from before.
  std::string readFor(std::chrono::milliseconds window) {
    receiveUntil(window, [] { return false; });
    return std::exchange(buffered_, {});
  }
  // True once the server has closed the connection within the timeout; keeps data meanwhile.
  bool waitClosed(std::chrono::milliseconds timeout = 5s) {
    return receiveUntil(timeout, [this] { return ended_; });
  }
  // Sends NOOP and closes once the reply has come: closed with data unread, the socket resets.
  bool resetConnection() {
    std::error_code e;
    if (!send("NOOP\r\n") || network_.waitReadable(socket_, 5000, e) != 1) return false;
    socket_.close();
    return true;
  }
  void close() { socket_.close(); }

 private:
  // False when the connection ends or the time is up before done() holds.
  bool receiveUntil(std::chrono::milliseconds timeout, const std::function<bool()>& done);

  platform::Network& network_;
  platform::Socket socket_;
  std::string buffered_;
  bool ended_ = false;
};

struct HarnessOptions {
  uint32_t clockSpeed = 100;
  core::CommandDispatch dispatch{};  // empty: the real dispatcher
  // A day of fake time: longer than any test takes to set up under a sanitizer. The tests of
  // those limits set them; the connect and stall limits are the kernel's, in real time.
  protocol::SessionLimits limits{.idleSeconds = 86400, .passiveAcceptMs = 86400000};
};

class ServiceHarness {
 public:
  explicit ServiceHarness(HarnessOptions options = {});
  // Stops the service, and fails the test if any thread still holds the service afterwards.
  ~ServiceHarness();

  FakeClock& clock() { return parts_->clock; }
  // The real network, for the test's own clients; the service's calls go through faults(), its
  // file calls through fileFaults().
  platform::Network& network() { return parts_->network; }
  FaultNetwork& faults() { return parts_->serviceNetwork; }
  FaultFileSystem& fileFaults() { return parts_->serviceFiles; }
  // The store directory behind the service's files: empty at first, removed with the harness.
  const std::filesystem::path& storeDir() const { return parts_->store.path; }
  core::ServiceController& service() { return *service_; }
  void editSettings(const std::function<void(config::Settings&)>& edit) {
    config::Settings s = parts_->settings.snapshot();
    edit(s);
    parts_->settings.replace(s);
  }

  // Starts the service (at launch: with its delay) announcing 127.0.0.1 on port(), and waits for
  // it to listen. The first start takes a free port, and others when that one was taken.
  bool startListening(std::chrono::milliseconds timeout = 10s, bool atLaunch = false);
  uint16_t port() const { return port_; }

  // The fake time all threads had slept by each NetworkCheck the window stand-in answered.
  std::vector<uint64_t> networkChecks() {
    std::scoped_lock lock(m_);
    return networkChecks_;
  }

  // The log so far, one UTF-8 string per line, with everything pending taken first.
  std::vector<std::string> lines();
  int count(std::string_view line) { return static_cast<int>(std::ranges::count(lines(), line)); }
  bool waitForLine(std::string_view line, std::chrono::milliseconds timeout = 5s) {
    return eventually([&] { return count(line) > 0; }, timeout);
  }

  // A connected client that has read its greeting (nothing when either fails).
  std::unique_ptr<FtpClient> connectClient(std::string* greeting = nullptr);
  // Stops the window stand-in and drops the service, then waits until no thread holds it.
  bool releaseService(std::chrono::milliseconds timeout = 5s);

 private:
  struct Parts {
    explicit Parts(uint32_t speed) : clock(speed), files(store.path.string()) {}
    TempDir store{"drovn-store-"};
    FakeClock clock;
    platform::LinuxNetwork network;
    FaultNetwork serviceNetwork{network};
    platform::LinuxTextCodec codec;
    MemoryRegistry registry;
    platform::MessageQueue queue;
    platform::LinuxFileSystem files;
    FaultFileSystem serviceFiles{files};
    platform::Platform platform{clock, serviceNetwork, codec, registry, queue, serviceFiles};
    config::SettingsStore settings;
    protocol::TransferMeter meter;
  };

  void windowMain(std::stop_token stop);
  void collectLocked();

  std::shared_ptr<Parts> parts_;
  std::shared_ptr<core::ServiceController> service_;
  uint16_t port_ = 0;
  std::mutex m_;
  core::LogChannel* channel_ = nullptr;  // nullptr once the service is released
  std::vector<std::string> lines_;
  std::string pending_;
  std::vector<uint64_t> networkChecks_;
  std::jthread window_;
};

}  // namespace drovn::test
