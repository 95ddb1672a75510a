#include "core/ServiceController.h"

#include <new>
#include <utility>
#include <vector>

#include "platform/ErrorCodes.h"
#include "platform/MessageQueue.h"
#include "platform/Network.h"
#include "protocol/SessionOutput.h"
#include "vfs/Tokens.h"

namespace drovn::core {

namespace {

constexpr char kLoopback[] = "127.0.0.1";
constexpr uint16_t kDefaultPort = 21;
// Clients that connect together must all wait in the queue until the accept loop takes them:
// with a queue shorter than the session limit the system drops the connections of the rest, and
// their clients see no greeting until their own retry, or time out.
constexpr int kListenBacklog = kMaxSessions;

constexpr int kLaunchDelaySteps = 20;
constexpr int kNetworkWaitSteps = 100;
constexpr uint32_t kStepMs = 100;
constexpr uint32_t kAcceptWaitMs = 1000;
constexpr uint32_t kIdlePassSleepMs = 80;
constexpr uint32_t kFailureSleepMs = 200;
constexpr uint32_t kListenerEndSleepMs = 400;
constexpr uint32_t kListenerWaitMs = 10000;
constexpr uint32_t kSessionWaitMs = 8000;

}  // namespace

std::shared_ptr<ServiceController> ServiceController::create(platform::Platform& platform,
                                                             config::SettingsStore& settings,
                                                             protocol::TransferMeter& meter,
                                                             CommandDispatch dispatch,
                                                             const protocol::SessionLimits& limits) {
  return std::shared_ptr<ServiceController>(
      new ServiceController(platform, settings, meter, std::move(dispatch), limits));
}

ServiceController::ServiceController(platform::Platform& platform, config::SettingsStore& settings,
                                     protocol::TransferMeter& meter, CommandDispatch dispatch,
                                     const protocol::SessionLimits& limits)
    : platform_(platform),
      settings_(settings),
      meter_(meter),
      dispatch_(std::move(dispatch)),
      log_(platform.codec, platform.messages),
      limits_(limits) {
  config::Settings loaded;
  config::loadSettings(platform_.registry, loaded);
  settings_.replace(loaded);
}

ServiceController::~ServiceController() = default;

int ServiceController::sessionCount() const {
  platform::MutexLock lock(registryLock_);
  return sessionCount_;
}

void ServiceController::copyServerAddress(FixedText<2048>& out) const {
  platform::MutexLock lock(addressLock_);
  out.assign(serverAddress_);
}

void ServiceController::setServerAddress(std::string_view text) {
  platform::MutexLock lock(addressLock_);
  serverAddress_.assign(text);
}

bool ServiceController::serverAddressIs(std::string_view text) const {
  platform::MutexLock lock(addressLock_);
  return serverAddress_ == text;
}

void ServiceController::logRun(const ListenerRun& run, const char* utf8) {
  if (!run.abandoned.load()) log_.writeUtf8(utf8);
}

// ---- Start and stop (main thread) ----

void ServiceController::startServiceAtLaunch() {
  launchStart_.store(true);
  startService();
}

void ServiceController::startService() {
  if (listening_.load() || running_.load()) {
    logUtf8("Already started.");
    return;
  }
  logUtf8(launchStart_.load() ? "准备启动FTP服务..." : "正在启动...");
  if (refuseUnusableSettings() || refuseWithoutTls()) return;

  auto run = std::make_shared<ListenerRun>();
  // Marked running before the thread exists: the thread's first look at the flag must not
  // take a start that is still under way for a stop.
  running_.store(true);
  std::error_code error;
  platform::Thread thread =
      platform::Thread::start([self = shared_from_this(), run] { self->listenerMain(run); }, error);
  if (!thread) {
    running_.store(false);
    logUtf8("Failed to create listening thread");
    return;
  }
  run_ = std::move(run);
  listenThread_ = std::move(thread);
  platform_.messages.post(platform::events::ServiceStateChanged{});
}

bool ServiceController::refuseUnusableSettings() {
  const config::Settings settings = settings_.snapshot();
  const auto unusable = config::findUnusableSetting(settings);
  if (!unusable) return false;
  FixedText<2048> value;  // a value of 511 code-page bytes takes at most 1533 in UTF-8
  value.syncLength(
      platform_.codec.codePageToUtf8(value.data(), value.kCapacity + 1, unusable->value));
  FixedText<2048> line;
  line.format("设置无效: %.*s=\"%s\", 应为 %.*s. 服务未启动.",
              static_cast<int>(unusable->name.size()), unusable->name.data(), value.c_str(),
              static_cast<int>(unusable->expectedForLog.size()), unusable->expectedForLog.data());
  logUtf8(line.c_str());
  launchStart_.store(false);  // the next Start is the operator's own
  return true;
}

bool ServiceController::refuseWithoutTls() {
  std::string error;
  if (prepareTls(error)) return false;
  FixedText<2048> line;
  line.format("TLS 无法启用: %s. 服务未启动.", error.c_str());
  logUtf8(line.c_str());
  launchStart_.store(false);
  return true;
}

bool ServiceController::prepareTls(std::string& error) {
  const config::Settings settings = settings_.snapshot();
  if (settings.tls_require && !settings.tls_enable) {
    error = "tls_require=1 needs tls_enable=1";
    return false;
  }
  if (!settings.tls_enable || tlsServer_) return true;
  // The paths are kept in the code page, like every settings text.
  const auto path = [this](const config::SettingsText& text) {
    std::string out(text.size() * 3 + 1, '\0');
    out.resize(platform_.codec.codePageToUtf8(out.data(), out.size(), text.view()));
    return out;
  };
  platform::TlsFiles files{path(settings.tls_certFile), path(settings.tls_keyFile),
                           certificateFolder_};
  tlsServer_ = platform::TlsServer::create(files, error);
  if (!tlsServer_) return false;
  FixedText<2048> line;
  if (!tlsServer_->madeCertificate().empty()) {
    line.format("已生成自签名 TLS 证书: %s", tlsServer_->madeCertificate().c_str());
    logUtf8(line.c_str());
  }
  line.format("TLS 证书 SHA-256 指纹: %s", tlsServer_->fingerprint().c_str());
  logUtf8(line.c_str());
  return true;
}

void ServiceController::waitForListener() {
  if (listenThread_.waitFor(platform_.clock, kListenerWaitMs)) {
    listenThread_.reset();
    return;
  }
  // A thread is never killed: it is left to run out with its own run record, silenced and kept
  // away from the session registry, and everything it uses stays alive until it ends.
  if (run_) run_->abandoned.store(true);
  ++abandoned_;
  listenThread_.reset();
}

void ServiceController::requestListenerStop() {
  if (!run_) return;
  platform::MutexLock lock(stateLock_);
  run_->stopRequested.store(true);
}

void ServiceController::stopService() {
  if (listening_.load()) {
    logUtf8("正在停止...");
    requestListenerStop();
    // Closing the listening socket ends the accept wait at once instead of after its second.
    run_->listenSocket.shutdownAndClose();
    const bool ended = listenThread_.waitFor(platform_.clock, kListenerWaitMs);
    listening_.store(false);
    running_.store(false);
    if (ended) {
      listenThread_.reset();
    } else {
      waitForListener();
    }
    stopAllSessions(nullptr);
    logUtf8("服务已停止.");
    platform_.messages.post(platform::events::ServiceStateChanged{});
    launchStart_.store(false);
    return;
  }
  if (running_.load()) {
    // Still in its launch delay or network wait, or ended after a failure. The stop flag keeps
    // a thread that is just binding from going on to listen.
    running_.store(false);
    requestListenerStop();
    const bool ended = listenThread_.waitFor(platform_.clock, kListenerWaitMs);
    if (run_) run_->listenSocket.shutdownAndClose();
    if (ended) {
      listenThread_.reset();
    } else {
      waitForListener();
    }
    stopAllSessions(nullptr);
    listening_.store(false);
    // While the launch delay was being cancelled, the thread's own "已取消." says it all.
    if (!launchStart_.load()) logUtf8("服务已停止.");
    platform_.messages.post(platform::events::ServiceStateChanged{});
    launchStart_.store(false);
    return;
  }
  launchStart_.store(false);
}

// ---- The listening thread ----

void ServiceController::listenerMain(const std::shared_ptr<ListenerRun>& run) {
  try {
    platform::Clock& clock = platform_.clock;
    auto cancelled = [this, &run] { return !running_.load() || run->stopRequested.load(); };

    if (launchStart_.load()) {
      for (int step = 0; step < kLaunchDelaySteps; ++step) {
        clock.sleep(kStepMs);
        if (cancelled()) {
          logRun(*run, "已取消.");
          platform_.messages.post(platform::events::ServiceStateChanged{});
          return;
        }
      }
      launchStart_.store(false);
    }

    setServerAddress(kLoopback);
    discoverAddress(true, *run);
    const bool found = !serverAddressIs(kLoopback);

    // The main window may switch the wireless adapter on. A stop while it decides ends the wait
    // rather than leaving both threads waiting for each other.
    const intptr_t switchedOn = platform_.messages.send(
        platform::events::NetworkCheck{found}, [this] { return running_.load(); }, 0);
    if (cancelled()) {
      platform_.messages.post(platform::events::ServiceStateChanged{});
      return;
    }

    if (switchedOn == 1 && !found) {
      logRun(*run, "等待网络连接...");
      for (int step = 0; step < kNetworkWaitSteps; ++step) {
        clock.sleep(kStepMs);
        if (cancelled()) {
          platform_.messages.post(platform::events::ServiceStateChanged{});
          return;
        }
        setServerAddress(kLoopback);
        discoverAddress(true, *run);
        if (!serverAddressIs(kLoopback)) break;
      }
    }

    setServerAddress(kLoopback);
    discoverAddress(false, *run);
    if (serverAddressIs(kLoopback)) logRun(*run, "警告: 未找到网络连接！PC上会无法访问。");

    uint16_t port = kDefaultPort;
    const config::Settings settings = settings_.snapshot();
    if (settings.use_manualip) {
      if (!settings.bind_manualip.empty()) setServerAddress(settings.bind_manualip.view());
      if (!settings.bind_manualport.empty()) {
        port = static_cast<uint16_t>(
            static_cast<uint32_t>(vfs::leadingInt(settings.bind_manualport.view())) & 0xFFFFu);
      }
    }
    port_.store(port);
    // Checked at the start: an address here is always four decimal parts.
    const uint32_t listenAddress =
        settings.bind_listenIp.empty() ? 0 : platform::inetAddr(settings.bind_listenIp.c_str());

    if (!openListener(*run, listenAddress)) return;
    acceptLoop(*run);

    run->listenSocket.close();
    stopAllSessions(run.get());
    logRun(*run, "服务线程退出.");
    clock.sleep(kListenerEndSleepMs);
  } catch (...) {
    // The thread ends quietly; Stop still finds it ended and cleans up.
  }
}

bool ServiceController::openListener(ListenerRun& run, uint32_t localAddress) {
  platform::Network& network = platform_.network;
  FixedText<2048> line;
  std::error_code error = network.openTcp(run.listenSocket);
  if (error) {
    line.format("Socket failed: %d", platform::socketErrorNumber(error));
    logRun(run, line.c_str());
    return false;
  }
  // All local addresses unless bind_listenIp names one; the announced address is only announced.
  platform::SocketAddress local;
  local.port = platform::hostToNet16(port_.load());
  local.address = localAddress;
  // A failed bind or listen gives the socket up; its line says so when the port is taken.
  const auto fail = [&](const char* portTaken, const char* otherwise) {
    const bool taken = error == std::errc::address_in_use;
    line.format(taken ? portTaken : otherwise, platform::socketErrorNumber(error));
    logRun(run, line.c_str());
    run.listenSocket.close();
    return false;
  };
  error = network.bind(run.listenSocket, local);
  if (error) return fail("绑定端口出错: %d 端口已被占用", "绑定出错: %d");
  error = network.listen(run.listenSocket, kListenBacklog);
  if (error) return fail("监听出错: %d 端口已被占用", "监听出错: %d");
  {
    platform::MutexLock lock(stateLock_);
    if (run.stopRequested.load()) {
      // Stopped while binding: the service never counted as listening.
      run.listenSocket.close();
      return false;
    }
    listening_.store(true);
  }
  logRun(run, "服务已启动.");
  line.format("监听端口: %d", static_cast<int>(port_.load()));
  logRun(run, line.c_str());
  FixedText<2048> address;
  copyServerAddress(address);
  line.format("服务地址: ftp://%s", address.c_str());
  logRun(run, line.c_str());
  platform_.messages.post(platform::events::ServiceStateChanged{});
  return true;
}

void ServiceController::acceptLoop(ListenerRun& run) {
  platform::Clock& clock = platform_.clock;
  while (!run.stopRequested.load()) {
    if (sessionCount() >= maxSessions_) {
      clock.sleep(kFailureSleepMs);
      continue;
    }
    std::error_code error;
    const int ready = platform_.network.waitReadable(run.listenSocket, kAcceptWaitMs, error);
    if (ready == 0) {
      clock.sleep(kIdlePassSleepMs);
      continue;
    }
    // A wait ended by our own stop is no connection to accept.
    if (run.stopRequested.load()) break;
    acceptOne(run);
  }
}

void ServiceController::acceptOne(ListenerRun& run) {
  platform::Clock& clock = platform_.clock;
  platform::Socket accepted;
  platform::SocketAddress peer;
  const std::error_code error = platform_.network.accept(run.listenSocket, accepted, peer);
  if (error) {
    FixedText<2048> line;
    line.format("Accept failed: %d", platform::socketErrorNumber(error));
    logRun(run, line.c_str());
    clock.sleep(kFailureSleepMs);
    return;
  }

  std::shared_ptr<protocol::Session> session;
  try {
    session = std::make_shared<protocol::Session>();
  } catch (const std::bad_alloc&) {
    accepted.close();
    clock.sleep(kFailureSleepMs);
    return;
  }
  const int sessionId = nextSessionId_.load();
  createSession(*session, accepted, peer, *this, sessionId);

  // The session is in its slot before its thread runs, so that a session ending at once still
  // finds its slot to free.
  int slot = -1;
  {
    platform::MutexLock lock(registryLock_);
    for (int i = 0; i < maxSessions_; ++i) {
      if (!sessionSlots_[static_cast<std::size_t>(i)]) {
        slot = i;
        break;
      }
    }
    if (slot < 0) return;  // cannot happen: only this thread adds, and it checked the count
    sessionSlots_[static_cast<std::size_t>(slot)] = session;
    ++sessionCount_;
  }
  const auto index = static_cast<std::size_t>(slot);

  std::error_code threadError;
  platform::Thread thread = platform::Thread::start(
      [self = shared_from_this(), session] { sessionMain(session, self->dispatch_); }, threadError);
  if (!thread) {
    FixedText<2048> line;
    line.format("Create thread fail: %d", platform::systemErrorNumber(threadError));
    logRun(run, line.c_str());
    {
      platform::MutexLock lock(registryLock_);
      if (sessionSlots_[index] == session) {
        sessionSlots_[index].reset();
        --sessionCount_;
      }
    }
    session->controlSocket.close();
    clock.sleep(kFailureSleepMs);
    return;
  }
  {
    platform::MutexLock lock(registryLock_);
    if (sessionSlots_[index] == session) sessionThreads_[index] = std::move(thread);
  }
  nextSessionId_.fetch_add(1);
}

void ServiceController::discoverAddress(bool quiet, const ListenerRun& run) {
  platform::Network& network = platform_.network;
  FixedText<2048> line;
  FixedText<256> name;
  const std::error_code error = network.hostName(name);
  if (error) {
    line.format("Error getting host name: %d", platform::socketErrorNumber(error));
    logRun(run, line.c_str());
    return;
  }
  if (!quiet) {
    line.format("主机名称: %s", name.c_str());
    logRun(run, line.c_str());
  }
  std::vector<uint32_t> addresses;
  if (!network.hostAddresses(name.c_str(), addresses)) {
    logRun(run, "Failed on host lookup.");
    return;
  }
  bool taken = false;
  for (const uint32_t address : addresses) {
    FixedText<16> text;
    platform::inetNtoa(address, text);
    if (!taken && text.view().find(':') == std::string_view::npos) {
      setServerAddress(text.view());
      taken = true;
    }
    if (!quiet) {
      line.format("找到IP: %s", text.c_str());
      logRun(run, line.c_str());
    }
  }
}

// ---- The session registry ----

void ServiceController::unregisterSession(int sessionId) {
  if (sessionId < 0) return;
  platform::MutexLock lock(registryLock_);
  for (auto& slot : sessionSlots_) {
    if (slot && slot->sessionId == sessionId) {
      slot->closing.store(true);
      slot.reset();
      --sessionCount_;
      return;
    }
  }
}

void ServiceController::stopAllSessions(const ListenerRun* caller) {
  std::array<std::shared_ptr<protocol::Session>, kMaxSessions> live;
  {
    platform::MutexLock lock(registryLock_);
    live = sessionSlots_;
  }
  // First every session is told and its sockets closed, so all of them end in parallel.
  for (const auto& session : live) {
    if (!session) continue;
    session->closing.store(true);
    closeConnections(*session);
  }
  live = {};

  for (std::size_t i = 0; i < kMaxSessions; ++i) {
    if (caller != nullptr && caller->abandoned.load()) return;  // the main thread took over
    std::shared_ptr<protocol::Session> session;
    platform::Thread thread;
    {
      platform::MutexLock lock(registryLock_);
      if (!sessionSlots_[i]) continue;
      session = std::move(sessionSlots_[i]);
      sessionSlots_[i].reset();
      thread = std::move(sessionThreads_[i]);
      --sessionCount_;
    }
    if (thread.waitFor(platform_.clock, kSessionWaitMs)) continue;

    // Given up on: the thread keeps its own hold on the record and ends when it wakes; it
    // writes nothing more to the log from then on.
    FixedText<2048> line;
    line.format("#%d>%s", session->sessionId + 1, "Force killed");
    log_.writeLog(line.c_str());
    session->abandoned.store(true);
    ++abandoned_;
    line.format("#%d>%s", session->sessionId + 1, "Disconnected");
    log_.writeLog(line.c_str());
  }
}

}  // namespace drovn::core
