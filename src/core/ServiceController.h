// The FTP service: starting and stopping it, the listening thread with its network discovery
// and accept loop, and the table of live sessions (at most 50). Every event goes to the log.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "config/Settings.h"
#include "core/LogChannel.h"
#include "core/SessionLoop.h"
#include "platform/FixedText.h"
#include "platform/Mutex.h"
#include "platform/Platform.h"
#include "platform/Socket.h"
#include "platform/Thread.h"
#include "platform/Tls.h"
#include "protocol/Session.h"
#include "protocol/SessionHost.h"
#include "protocol/TransferMeter.h"

namespace drovn::core {

inline constexpr int kMaxSessions = 50;

class ServiceController final : public protocol::SessionHost,
                                public std::enable_shared_from_this<ServiceController> {
 public:
  // Loads the settings from the registry into `settings`. The controller must be held by a
  // shared_ptr: its threads keep it alive until they end. `dispatch` is how sessions hand over
  // their command lines (tests put a wrapper around the real dispatcher). Tests may shorten the
  // session limits; the program keeps the defaults.
  static std::shared_ptr<ServiceController> create(platform::Platform& platform,
                                                   config::SettingsStore& settings,
                                                   protocol::TransferMeter& meter,
                                                   CommandDispatch dispatch,
                                                   const protocol::SessionLimits& limits = {});
  ~ServiceController();

  // Start and Stop come from one thread (the main window's).
  void startService();
  void startServiceAtLaunch();
  // Returns once the listening thread has ended, or has been given up on after its waits.
  void stopService();

  bool running() const noexcept { return running_.load(); }
  bool listening() const noexcept { return listening_.load(); }
  LogChannel& logChannel() noexcept { return log_; }
  config::SettingsStore& settingsStore() noexcept { return settings_; }
  int sessionCount() const;
  // The port of the current or last listener start (21 unless configured otherwise).
  uint16_t port() const noexcept { return port_.load(); }
  // True when some thread had to be given up on; its memory must not be freed before it ends.
  bool abandonedThreads() const noexcept { return abandoned_.load() > 0; }

  // SessionHost
  int maxBadCommands() const override { return maxBadCommands_; }
  const protocol::SessionLimits& limits() const override { return limits_; }
  void copyServerAddress(FixedText<2048>& out) const override;
  void writeLog(const char* codePageText) override { log_.writeLog(codePageText); }
  void writeLogUnannounced(const char* codePageText) override {
    log_.writeLogUnannounced(codePageText);
  }
  void announceLog() override { log_.announcePending(); }
  void unregisterSession(int sessionId) override;
  config::Settings settings() const override { return settings_.snapshot(); }
  platform::Platform& platform() override { return platform_; }
  protocol::TransferMeter& meter() override { return meter_; }
  platform::TlsServer* tls() override { return tlsServer_.get(); }

  // Where a self-signed certificate is made when TLS is on and none is named: the registry
  // file's folder. Main thread, before the first start.
  void setCertificateFolder(std::string folder) { certificateFolder_ = std::move(folder); }
  // With TLS on: loads (or makes) the certificate once, and logs its fingerprint. False, with
  // error set, when the settings ask for TLS that cannot be had; the service then does not
  // start. Main thread.
  bool prepareTls(std::string& error);

 private:
  // What one start of the listening thread owns. The thread holds its own record, so a thread
  // that was given up on keeps its stop flag and its socket and cannot disturb a later start.
  struct ListenerRun {
    std::atomic<bool> stopRequested{false};
    // Set when the service gave up waiting for this thread: it then logs nothing more and
    // leaves the session registry alone.
    std::atomic<bool> abandoned{false};
    platform::Socket listenSocket;
  };

  ServiceController(platform::Platform& platform, config::SettingsStore& settings,
                    protocol::TransferMeter& meter, CommandDispatch dispatch,
                    const protocol::SessionLimits& limits);

  void listenerMain(const std::shared_ptr<ListenerRun>& run);
  // A start with a setting it cannot use logs why and goes no further: true then.
  bool refuseUnusableSettings();
  bool refuseWithoutTls();
  // Steps 7 to 10 of a start: the listening socket on `localAddress` (network order, 0 for all);
  // false when the thread must end.
  bool openListener(ListenerRun& run, uint32_t localAddress);
  void acceptLoop(ListenerRun& run);
  void acceptOne(ListenerRun& run);
  void discoverAddress(bool quiet, const ListenerRun& run);
  // caller: the listening thread's run (it stops when that run is given up on), or null.
  void stopAllSessions(const ListenerRun* caller);
  // The second bounded wait for the listening thread; gives up on it when it runs out.
  void waitForListener();
  void requestListenerStop();
  // The listener's own lines, silenced once its run has been given up on.
  void logRun(const ListenerRun& run, const char* utf8);
  void logUtf8(const char* utf8) { log_.writeUtf8(utf8); }
  void setServerAddress(std::string_view text);
  bool serverAddressIs(std::string_view text) const;

  platform::Platform& platform_;
  config::SettingsStore& settings_;
  protocol::TransferMeter& meter_;
  CommandDispatch dispatch_;
  LogChannel log_;

  const int maxBadCommands_ = 30;
  const int maxSessions_ = kMaxSessions;
  std::atomic<uint16_t> port_{21};
  const protocol::SessionLimits limits_;
  std::atomic<bool> launchStart_{false};
  std::atomic<bool> running_{false};
  std::atomic<bool> listening_{false};
  // Orders the listener's "now listening" against a stop: a run that was asked to stop never
  // marks the service listening.
  platform::Mutex stateLock_;
  mutable platform::Mutex addressLock_;
  FixedText<2048> serverAddress_ GUARDED_BY(addressLock_){"0.0.0.0"};
  std::atomic<int> nextSessionId_{0};
  // The current run (stop flag and listening socket) and its thread; main thread only.
  std::shared_ptr<ListenerRun> run_;
  platform::Thread listenThread_;

  // The session registry: slots, their threads and the count, changed under registryLock_.
  mutable platform::Mutex registryLock_;
  int sessionCount_ GUARDED_BY(registryLock_) = 0;
  std::array<std::shared_ptr<protocol::Session>, kMaxSessions> sessionSlots_
      GUARDED_BY(registryLock_);
  std::array<platform::Thread, kMaxSessions> sessionThreads_ GUARDED_BY(registryLock_);
  std::atomic<int> abandoned_{0};

  // Made once and kept for the process: sessions hold it by pointer.
  std::unique_ptr<platform::TlsServer> tlsServer_;
  std::string certificateFolder_{"."};
};

}  // namespace drovn::core
