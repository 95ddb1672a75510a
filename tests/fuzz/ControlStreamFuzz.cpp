// One control connection fed arbitrary bytes: the line reader, the dispatcher and every handler
// of a real service on 127.0.0.1, against a temporary store made once per process. Each input
// is sent as one session's stream, followed by QUIT, and the reply stream read to its end.
//
// The oracle: no sanitizer report; every reply is a complete line ending in CR LF; the session
// ends (bounded) and its slot is freed; nothing outside the account roots changes (a sentinel
// directory beside the store and another account's folder inside it); and nothing there is
// read: both hold a file named and filled with a marker that no reply or data connection may
// carry unless the input itself holds it.
//
// PORT arguments may name any host, so every connect to 127.0.0.1 goes to the harness's own
// data sink and every other one is refused.
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <thread>

#include "core/ServiceController.h"
#include "platform/LinuxFileSystem.h"
#include "platform/Utf8.h"
#include "protocol/Dispatcher.h"
#include "support/FakeClock.h"
#include "support/MemoryRegistry.h"

namespace {

namespace fs = std::filesystem;
using namespace drovn;
using namespace drovn::platform;
using Steady = std::chrono::steady_clock;
using Tree = std::map<std::string, std::string>;

constexpr uint32_t kLoopback = 0x7F000001;
constexpr std::string_view kMarker = "drovnOutsideTheRoot7Q3";
std::atomic<bool> inputHoldsMarker{false};

[[noreturn]] void fail(const char* what, const std::string& bytes) {
  std::fprintf(stderr, "%s\n--- bytes ---\n%s\n---\n", what, bytes.c_str());
  std::abort();
}

bool carriesMarker(const std::string& bytes, bool allowed) {
  return !allowed && bytes.find(kMarker) != std::string::npos;
}

// The real network, except that data connections reach only the sink: another program's port
// on this machine could take one and never answer, and the session's own passive port would
// give it a data connection nobody serves.
class LoopbackOnlyNetwork final : public Network {
 public:
  uint32_t connect(Socket& s, const SocketAddress& a) override {
    if (netToHost32(a.address) != kLoopback || sinkPort == 0) return 10061;  // WSAECONNREFUSED
    SocketAddress sink = a;
    sink.port = hostToNet16(sinkPort);
    return real.connect(s, sink);
  }
  uint32_t openTcp(Socket& s) override { return real.openTcp(s); }
  uint32_t bind(Socket& s, const SocketAddress& a) override { return real.bind(s, a); }
  uint32_t listen(Socket& s, int backlog) override { return real.listen(s, backlog); }
  uint32_t accept(Socket& l, Socket& into, SocketAddress& peer) override {
    return real.accept(l, into, peer);
  }
  uint32_t localAddress(Socket& s, SocketAddress& out) override {
    return real.localAddress(s, out);
  }
  int waitReadable(Socket& s, uint32_t ms, uint32_t& e) override {
    return real.waitReadable(s, ms, e);
  }
  long long send(Socket& s, const void* d, std::size_t n, uint32_t& e) override {
    return real.send(s, d, n, e);
  }
  long long receive(Socket& s, void* b, std::size_t n, uint32_t& e) override {
    return real.receive(s, b, n, e);
  }
  long long sendFileBlock(Socket& s, FileHandle& f, void* b, std::size_t n,
                          uint32_t& e) override {
    return real.sendFileBlock(s, f, b, n, e);
  }
  long long receiveFileBlock(Socket& s, FileHandle& f, void* b, std::size_t n,
                             uint32_t& e) override {
    return real.receiveFileBlock(s, f, b, n, e);
  }
  void setBufferSizes(Socket& s, int bytes) override { real.setBufferSizes(s, bytes); }
  void setStallLimit(Socket& s, uint32_t ms) override { real.setStallLimit(s, ms); }
  bool peerClosed(Socket& s) override { return real.peerClosed(s); }
  uint32_t hostName(FixedText<256>& out) override { return real.hostName(out); }
  bool hostAddresses(const char* name, std::vector<uint32_t>& out) override {
    return real.hostAddresses(name, out);
  }

  LinuxNetwork real;
  std::atomic<uint16_t> sinkPort{0};
};

// Binds s to a free port of 127.0.0.1, listening when asked, and gives the port.
uint16_t bindLoopback(LinuxNetwork& net, Socket& s, bool listen) {
  SocketAddress a;
  a.address = hostToNet32(kLoopback);
  if (net.openTcp(s) != 0 || net.bind(s, a) != 0 || (listen && net.listen(s, 8) != 0) ||
      net.localAddress(s, a) != 0)
    fail("no socket on 127.0.0.1", "");
  return netToHost16(a.port);
}

// Every entry beneath dir (links not followed), with a link's target and a file's contents.
void snapshot(const fs::path& dir, const std::string& tag, Tree& out) {
  std::error_code ec;
  for (fs::recursive_directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
    std::string& entry = out[tag + it->path().lexically_relative(dir).string()];
    if (it->is_symlink()) {
      entry = "link:" + fs::read_symlink(it->path()).string();
    } else if (it->is_regular_file()) {
      std::ifstream in(it->path(), std::ios::binary);
      entry = std::string(std::istreambuf_iterator<char>(in), {});
    }
  }
}

fs::path freshBase() {
  const fs::path base = fs::temp_directory_path() / ("drovn-fuzz-" + std::to_string(getpid()));
  fs::remove_all(base);
  fs::create_directories(base / "store");
  return base;
}

// base/store is the file store ("/" of the device), base/sentinel lies beside it. Anonymous
// logs in at /pub, user1 (password pw) at /home/user1; /home/other is nobody's.
struct World {
  fs::path base = freshBase();
  fs::path store = base / "store";
  test::FakeClock clock{1000};
  LoopbackOnlyNetwork network;
  LinuxTextCodec codec;
  test::MemoryRegistry registry;
  MessageQueue queue;
  LinuxFileSystem files{store.string()};
  Platform platform{clock, network, codec, registry, queue, files};
  config::SettingsStore settings;
  protocol::TransferMeter meter;
  std::shared_ptr<core::ServiceController> service;
  Socket sinkListener, probe;
  std::jthread window, sink;
  uint16_t port = bindLoopback(network.real, probe, false);  // free now: bound and let go
  Tree outside;

  World() {
    probe.close();
    fs::create_directories(base / "sentinel" / "deep");
    std::ofstream(base / "sentinel" / (std::string(kMarker) + ".txt")) << kMarker;
    resetStore();
    outside = watched();
    network.sinkPort = bindLoopback(network.real, sinkListener, true);
    sink = std::jthread([this](std::stop_token stop) { runSink(stop); });

    // Data connections that nobody makes or serves give up at once, so one input never waits.
    const protocol::SessionLimits limits{
        .passiveAcceptMs = 30, .activeConnectMs = 30, .dataStallMs = 1000};
    service = core::ServiceController::create(
        platform, settings, meter, core::CommandDispatch(protocol::dispatchCommand), limits);
    config::Settings s = settings.snapshot();  // after create, which loads the stored ones
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
    window = std::jthread([this](std::stop_token stop) {
      const bool showLog = std::getenv("DROVN_FUZZ_LOG") != nullptr;  // to look into a finding
      std::u16string drained;
      while (!stop.stop_requested()) {
        MessageQueue::Taken taken;
        if (!queue.take(taken, 20)) continue;
        service->logChannel().takePending(drained);
        if (showLog) std::fprintf(stderr, "%s", utf16ToUtf8(drained).c_str());
        drained.clear();
        MessageQueue::answer(taken, 0);
      }
    });
    service->startService();
    const auto deadline = Steady::now() + std::chrono::seconds(20);
    while (!service->listening()) {
      if (Steady::now() > deadline) fail("the service did not start listening", "");
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  }

  // The far end of every active data connection: sends a few bytes (what a STOR stores),
  // takes whatever comes (what a RETR or a listing sends) and closes once the session has gone
  // quiet for a moment, so every transfer ends. One connection at a time, each bounded.
  void runSink(std::stop_token stop) {
    while (!stop.stop_requested()) {
      uint32_t error = 0;
      Socket conn;
      SocketAddress peer;
      if (network.real.waitReadable(sinkListener, 20, error) != 1 ||
          network.real.accept(sinkListener, conn, peer) != 0)
        continue;
      const bool allowed = inputHoldsMarker.load();  // the input this connection belongs to
      network.real.send(conn, "sink data\r\n", 11, error);
      std::string received;
      char buf[8192];
      const auto deadline = Steady::now() + std::chrono::seconds(1);
      while (Steady::now() < deadline && network.real.waitReadable(conn, 30, error) == 1) {
        const long long n = network.real.receive(conn, buf, sizeof buf, error);
        if (n <= 0) break;
        if (received.size() < (1u << 20)) received.append(buf, static_cast<std::size_t>(n));
      }
      conn.close();
      if (carriesMarker(received, allowed)) fail("a data connection carried the marker", received);
    }
  }

  void resetStore() {
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(store)) fs::remove_all(entry.path(), ec);
    fs::create_directories(store / "pub" / "sub");
    fs::create_directories(store / "home" / "user1" / "docs");
    fs::create_directories(store / "home" / "other");
    std::ofstream(store / "pub" / "readme.txt") << "hello\r\n";
    std::ofstream(store / "home" / "user1" / "a.txt") << "abc";
    std::ofstream(store / "home" / "other" / (std::string(kMarker) + ".txt")) << kMarker;
    fs::create_directory_symlink(base / "sentinel", store / "pub" / "out");
  }

  // What no session may change: everything beside the store, and the folder of no account.
  Tree watched() {
    Tree all;
    snapshot(store / "home" / "other", "other:", all);
    snapshot(base / "sentinel", "sentinel:", all);
    for (const auto& entry : fs::directory_iterator(base)) all["base:" + entry.path().string()];
    return all;
  }
};

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
  if (size > 16384) return 0;
  std::string stream(reinterpret_cast<const char*>(data), size);
  inputHoldsMarker = stream.find(kMarker) != std::string::npos;
  stream += "\r\nQUIT\r\n";

  // The service reports listening a moment before its first accept can succeed: retry the
  // connect for a bounded while.
  LinuxNetwork& net = world.network.real;
  Socket client;
  SocketAddress to;
  to.address = hostToNet32(kLoopback);
  to.port = hostToNet16(world.port);
  for (int attempt = 0; net.openTcp(client) != 0 || net.connect(client, to) != 0; ++attempt) {
    if (attempt == 200) fail("cannot connect to the service", "");
    client.close();
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  uint32_t error = 0;
  // The server may already have closed (too many failures): a failed send is not a finding.
  net.send(client, stream.data(), stream.size(), error);
  std::string replies;
  char chunk[8192];
  for (const auto deadline = Steady::now() + std::chrono::seconds(5);;) {
    if (Steady::now() > deadline) fail("the session did not end within 5 s", replies);
    if (net.waitReadable(client, 20, error) == 0) continue;
    const long long n = net.receive(client, chunk, sizeof chunk, error);
    if (n <= 0) break;
    replies.append(chunk, static_cast<std::size_t>(n));
  }
  client.close();

  if (!replies.ends_with("\r\n")) fail("no complete last reply", replies);
  for (std::size_t i = replies.find('\n'); i != std::string::npos; i = replies.find('\n', i + 1))
    if (i == 0 || replies[i - 1] != '\r') fail("a reply line ends without CR", replies);
  if (carriesMarker(replies, inputHoldsMarker)) fail("a reply carried the marker", replies);
  const auto deadline = Steady::now() + std::chrono::seconds(5);
  while (world.service->sessionCount() != 0) {  // free again before the next input
    if (Steady::now() > deadline) fail("the session's slot was not freed", replies);
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  if (world.watched() != world.outside) fail("something outside the roots changed", replies);
  world.resetStore();
  return 0;
}
