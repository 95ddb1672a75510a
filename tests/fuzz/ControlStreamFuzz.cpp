// One control connection fed arbitrary bytes: the line reader, the dispatcher and every handler
// of a real service on 127.0.0.1, against a temporary store made once per process. Each input
// is sent as one session's stream, followed by QUIT, and the reply stream read to its end.
//
// The oracle: no sanitizer report; every reply is a complete line ending in CR LF; the session
// ends (bounded) and its slot is freed; nothing outside the account roots changes (a sentinel
// directory beside the store and another account's folder inside it are compared after every
// input).
//
// Data connections: PORT arguments in an input may name any host, so the service's network
// refuses every connect to anything but 127.0.0.1 (and to the service's own control port), and
// a passive accept gives up after a short wait instead of blocking until a client comes.
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <atomic>
#include <memory>
#include <random>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>

#include "config/Settings.h"
#include "core/ServiceController.h"
#include "platform/ErrorCodes.h"
#include "platform/LinuxFileSystem.h"
#include "platform/MessageQueue.h"
#include "platform/Network.h"
#include "platform/Platform.h"
#include "platform/Socket.h"
#include "platform/TextCodec.h"
#include "platform/Utf8.h"
#include "protocol/Dispatcher.h"
#include "protocol/TransferMeter.h"
#include "support/FakeClock.h"
#include "support/MemoryRegistry.h"

namespace {

namespace fs = std::filesystem;
using namespace drovn;
using Steady = std::chrono::steady_clock;

constexpr uint32_t kLoopback = 0x7F000001;
constexpr uint32_t kRefused = 10061;    // WSAECONNREFUSED
constexpr uint32_t kTimedOut = 10060;   // WSAETIMEDOUT
constexpr uint32_t kAcceptWaitMs = 30;  // real time a passive accept waits for nobody
constexpr std::size_t kMaxInput = 16384;

// The real network, except that data connections reach only this machine and never block long.
class LoopbackOnlyNetwork final : public platform::Network {
 public:
  explicit LoopbackOnlyNetwork(platform::Network& real) : real_(real) {}

  uint32_t openTcp(platform::Socket& s) override { return real_.openTcp(s); }
  uint32_t bind(platform::Socket& s, const platform::SocketAddress& a) override {
    return real_.bind(s, a);
  }
  uint32_t listen(platform::Socket& s, int backlog) override { return real_.listen(s, backlog); }
  uint32_t accept(platform::Socket& listener, platform::Socket& into,
                  platform::SocketAddress& peer) override {
    // The control listener is only accepted from once it is readable, so this wait costs it
    // nothing; a passive listener nobody connects to gives up instead of blocking.
    uint32_t error = 0;
    const int ready = real_.waitReadable(listener, kAcceptWaitMs, error);
    if (ready < 0) return error;
    if (ready == 0) return kTimedOut;
    return real_.accept(listener, into, peer);
  }
  // Only 127.0.0.1, and there whatever the port always the harness's own data sink: another
  // program's port on this machine could take the connection and never answer, and the
  // session's own passive port would give it a data connection nobody serves.
  uint32_t connect(platform::Socket& s, const platform::SocketAddress& a) override {
    if (platform::netToHost32(a.address) != kLoopback || sinkPort_ == 0) return kRefused;
    platform::SocketAddress sink = a;
    sink.port = platform::hostToNet16(sinkPort_);
    return real_.connect(s, sink);
  }
  void setSinkPort(uint16_t port) { sinkPort_ = port; }
  uint32_t localAddress(platform::Socket& s, platform::SocketAddress& out) override {
    return real_.localAddress(s, out);
  }
  int waitReadable(platform::Socket& s, uint32_t timeoutMs, uint32_t& error) override {
    return real_.waitReadable(s, timeoutMs, error);
  }
  long long send(platform::Socket& s, const void* data, std::size_t n, uint32_t& error) override {
    return real_.send(s, data, n, error);
  }
  long long receive(platform::Socket& s, void* buf, std::size_t n, uint32_t& error) override {
    return real_.receive(s, buf, n, error);
  }
  void setBufferSizes(platform::Socket& s, int bytes) override { real_.setBufferSizes(s, bytes); }
  void setStallLimit(platform::Socket& s, uint32_t ms) override { real_.setStallLimit(s, ms); }
  bool peerClosed(platform::Socket& s) override { return real_.peerClosed(s); }
  uint32_t hostName(FixedText<256>& out) override { return real_.hostName(out); }
  bool hostAddresses(const char* name, std::vector<uint32_t>& out) override {
    return real_.hostAddresses(name, out);
  }

 private:
  platform::Network& real_;
  std::atomic<uint16_t> sinkPort_{0};
};

fs::path makeBaseDir() {
  std::random_device rd;
  const fs::path tmp = fs::temp_directory_path();
  for (int attempt = 0; attempt < 100; ++attempt) {
    fs::path candidate = tmp / ("drovn-fuzz-" + std::to_string(rd()) + std::to_string(attempt));
    if (fs::create_directory(candidate)) {
      fs::create_directory(candidate / "store");
      return candidate;
    }
  }
  throw std::runtime_error("no temporary directory");
}

void writeFile(const fs::path& p, std::string_view text) {
  std::ofstream out(p, std::ios::binary);
  out << text;
}

// Every entry beneath dir (links not followed) with its kind and, for files, its contents.
std::map<std::string, std::string> snapshot(const fs::path& dir) {
  std::map<std::string, std::string> out;
  std::error_code ec;
  for (fs::recursive_directory_iterator it(dir, fs::directory_options::none, ec), end;
       !ec && it != end; it.increment(ec)) {
    const fs::path& p = it->path();
    const std::string key = p.lexically_relative(dir).string();
    if (it->is_symlink()) {
      out[key] = "link:" + fs::read_symlink(p).string();
    } else if (it->is_regular_file()) {
      std::ifstream in(p, std::ios::binary);
      out[key] = "file:" + std::string(std::istreambuf_iterator<char>(in), {});
    } else {
      out[key] = "dir";
    }
  }
  return out;
}

struct World {
  // Lay-out: base/store is the file store ("/" of the device), base/sentinel lies beside it.
  // Anonymous logs in at /pub, user1 (password pw) at /home/user1; /home/other is nobody's.
  fs::path base = makeBaseDir();
  fs::path store = base / "store";
  test::FakeClock clock{1000};
  platform::LinuxNetwork real;
  LoopbackOnlyNetwork network{real};
  platform::LinuxTextCodec codec;
  test::MemoryRegistry registry;
  platform::MessageQueue queue;
  platform::LinuxFileSystem files{store.string()};
  platform::Platform platform{clock, network, codec, registry, queue, files};
  config::SettingsStore settings;
  protocol::TransferMeter meter;
  std::shared_ptr<core::ServiceController> service;
  std::jthread window;
  platform::Socket sinkListener;
  std::jthread sink;
  uint16_t port = 0;
  std::map<std::string, std::string> outside;

  World() {
    fs::create_directories(base / "sentinel" / "deep");
    writeFile(base / "sentinel" / "secret.txt", "secret");
    writeFile(base / "sentinel" / "deep" / "x", "x");
    resetStore();
    outside = watched();

    startSink();
    port = freePort();

    // Data connections that nobody makes or serves give up at once, so one input never waits.
    protocol::SessionLimits limits;
    limits.passiveAcceptMs = kAcceptWaitMs;
    limits.activeConnectMs = kAcceptWaitMs;
    limits.dataStallMs = 1000;
    service = core::ServiceController::create(
        platform, settings, meter, core::CommandDispatch(protocol::dispatchCommand), limits);
    // After create, which loads the stored settings.
    config::Settings s = settings.snapshot();
    s.auth_Anonymous = true;
    s.auth_anonyRoot.assign("/pub");
    s.auth_enable1 = true;
    s.auth_user1.assign("user1");
    s.auth_pwd1.assign("pw");
    s.auth_root1.assign("/home/user1");
    s.use_manualip = true;
    s.bind_manualip.assign("127.0.0.1");
    s.bind_manualport.assign(std::to_string(port));
    s.opt_enableUtf8 = true;
    settings.replace(s);
    core::LogChannel& channel = service->logChannel();
    const bool showLog = std::getenv("DROVN_FUZZ_LOG") != nullptr;
    window = std::jthread([this, &channel, showLog](std::stop_token stop) {
      std::u16string drained;
      while (!stop.stop_requested()) {
        platform::MessageQueue::Taken taken;
        if (!queue.take(taken, 20)) continue;
        channel.takePending(drained);
        // DROVN_FUZZ_LOG=1 shows the service's log, for looking into a finding.
        if (showLog && !drained.empty()) {
          std::fprintf(stderr, "%s", platform::utf16ToUtf8(drained).c_str());
        }
        drained.clear();
        platform::MessageQueue::answer(taken, 0);
      }
    });
    service->startService();
    const auto deadline = Steady::now() + std::chrono::seconds(20);
    while (!service->listening()) {
      if (Steady::now() > deadline) {
        std::fprintf(stderr, "the service did not start listening\n");
        std::abort();
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  }

  // The far end of every active data connection: sends a few bytes (what a STOR stores),
  // takes whatever comes (what a RETR or a listing sends) and closes once the session has gone
  // quiet for a moment, so every transfer ends. One connection at a time, each bounded.
  void startSink() {
    platform::SocketAddress local;
    local.address = platform::hostToNet32(kLoopback);
    platform::SocketAddress bound;
    if (real.openTcp(sinkListener) != 0 || real.bind(sinkListener, local) != 0 ||
        real.listen(sinkListener, 8) != 0 || real.localAddress(sinkListener, bound) != 0) {
      std::abort();
    }
    network.setSinkPort(platform::netToHost16(bound.port));
    sink = std::jthread([this](std::stop_token stop) {
      while (!stop.stop_requested()) {
        uint32_t error = 0;
        if (real.waitReadable(sinkListener, 20, error) != 1) continue;
        platform::Socket conn;
        platform::SocketAddress peer;
        if (real.accept(sinkListener, conn, peer) != 0) continue;
        static constexpr char kPayload[] = "sink data\r\n";
        real.send(conn, kPayload, sizeof kPayload - 1, error);
        char buf[8192];
        const auto deadline = Steady::now() + std::chrono::seconds(1);
        while (Steady::now() < deadline && real.waitReadable(conn, 30, error) == 1) {
          if (real.receive(conn, buf, sizeof buf, error) <= 0) break;
        }
        conn.close();
      }
    });
  }

  uint16_t freePort() {
    platform::Socket probe;
    platform::SocketAddress any;
    platform::SocketAddress bound;
    if (real.openTcp(probe) != 0 || real.bind(probe, any) != 0 ||
        real.localAddress(probe, bound) != 0) {
      std::abort();
    }
    return platform::netToHost16(bound.port);
  }

  void resetStore() {
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(store)) fs::remove_all(entry.path(), ec);
    fs::create_directories(store / "pub" / "sub");
    fs::create_directories(store / "home" / "user1" / "docs");
    fs::create_directories(store / "home" / "other");
    writeFile(store / "pub" / "readme.txt", "hello\r\n");
    writeFile(store / "home" / "user1" / "a.txt", "abc");
    writeFile(store / "home" / "other" / "private.txt", "private");
    fs::create_directory_symlink(base / "sentinel", store / "pub" / "out");
  }

  // What no session may change: everything beside the store, and the folder of no account.
  std::map<std::string, std::string> watched() {
    std::map<std::string, std::string> all;
    for (const auto& entry : fs::directory_iterator(base)) {
      if (entry.path() == store) continue;
      all["base:" + entry.path().filename().string()] = "entry";
    }
    for (auto& [k, v] : snapshot(base / "sentinel")) all["sentinel:" + k] = v;
    for (auto& [k, v] : snapshot(store / "home" / "other")) all["other:" + k] = v;
    return all;
  }
};

[[noreturn]] void fail(const char* what, const std::string& replies) {
  std::fprintf(stderr, "%s\n--- replies ---\n%s\n---\n", what, replies.c_str());
  std::abort();
}

// Reads until the server closes, at most `limit` of real time; false on time-out.
bool readToEnd(platform::Network& net, platform::Socket& sock, std::string& out,
               std::chrono::milliseconds limit) {
  const auto deadline = Steady::now() + limit;
  char chunk[8192];
  while (Steady::now() < deadline) {
    uint32_t error = 0;
    const int ready = net.waitReadable(sock, 20, error);
    if (ready == 0) continue;
    const long long n = net.receive(sock, chunk, sizeof chunk, error);
    if (n <= 0) return true;
    out.append(chunk, static_cast<std::size_t>(n));
  }
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  // Made once and never destroyed: libFuzzer ends the process with exit(), after the main
  // thread's per-thread converters are gone, so a Stop from a static destructor would log
  // through a dead converter. The service threads end with the process; the directories go.
  static World& world = *[] {
    auto* made = new World;
    static const fs::path base = made->base;
    std::atexit([] {
      std::error_code ec;
      fs::remove_all(base, ec);
    });
    return made;
  }();
  if (size > kMaxInput) return 0;

  platform::Socket client;
  platform::SocketAddress to;
  to.address = platform::hostToNet32(kLoopback);
  to.port = platform::hostToNet16(world.port);
  // The service reports listening a moment before its first accept can succeed: retry the
  // connect for a bounded while.
  bool connected = false;
  for (int attempt = 0; attempt < 200 && !connected; ++attempt) {
    client.close();
    connected = world.real.openTcp(client) == 0 && world.real.connect(client, to) == 0;
    if (!connected) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  if (!connected) {
    std::fprintf(stderr, "cannot connect to the service\n");
    std::abort();
  }
  std::string stream(reinterpret_cast<const char*>(data), size);
  stream += "\r\nQUIT\r\n";
  uint32_t error = 0;
  // The server may already have closed (too many failures): a failed send is not a finding.
  world.real.send(client, stream.data(), stream.size(), error);

  std::string replies;
  if (!readToEnd(world.real, client, replies, std::chrono::seconds(5))) {
    fail("the session did not end within 5 s", replies);
  }
  client.close();

  if (replies.empty()) fail("no greeting", replies);
  if (replies.size() < 2 || replies.compare(replies.size() - 2, 2, "\r\n") != 0)
    fail("the last reply does not end in CR LF", replies);
  for (std::size_t i = replies.find('\n'); i != std::string::npos; i = replies.find('\n', i + 1)) {
    if (i == 0 || replies[i - 1] != '\r') fail("a reply line ends without CR", replies);
  }

  // The slot must be free again before the next input.
  const auto deadline = Steady::now() + std::chrono::seconds(5);
  while (world.service->sessionCount() != 0) {
    if (Steady::now() > deadline) fail("the session's slot was not freed", replies);
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  if (world.watched() != world.outside) fail("something outside the account roots changed", replies);
  world.resetStore();
  return 0;
}
