#include "ProtocolTestSupport.h"

#include <cctype>
#include <cstdio>
#include <fstream>
#include <mutex>
#include <random>
#include <sstream>

#include "protocol/Dispatcher.h"

namespace drovn::protocol::test {

namespace fs = std::filesystem;

// Stands in front of the service for one session: passes everything on but the file store.
class StoreHost final : public SessionHost {
 public:
  StoreHost(SessionHost& real, platform::FileSystem& files)
      : real_(real), platform_{real.platform().clock,    real.platform().network,
                               real.platform().codec,    real.platform().registry,
                               real.platform().messages, files} {}
  int maxBadCommands() const override { return real_.maxBadCommands(); }
  const SessionLimits& limits() const override { return real_.limits(); }
  void copyServerAddress(FixedText<2048>& out) const override { real_.copyServerAddress(out); }
  void writeLog(const char* text) override { real_.writeLog(text); }
  void writeLogUnannounced(const char* text) override { real_.writeLogUnannounced(text); }
  void announceLog() override { real_.announceLog(); }
  void unregisterSession(int id) override { real_.unregisterSession(id); }
  config::Settings settings() const override { return real_.settings(); }
  platform::Platform& platform() override { return platform_; }
  TransferMeter& meter() override { return real_.meter(); }

 private:
  SessionHost& real_;
  platform::Platform platform_;
};

// Shared with the service's dispatch, so it lives as long as any session thread.
struct SessionFaults {
  std::optional<drovn::test::FaultFileSystem> files;
  std::mutex m;
  std::vector<std::unique_ptr<StoreHost>> hosts;
};

namespace {

thread_local Session* current = nullptr;

drovn::test::HarnessOptions withFaults(drovn::test::HarnessOptions options,
                                       const std::shared_ptr<SessionFaults>& faults) {
  options.dispatch = [faults](Session& s, Text& line) {
    if (dynamic_cast<StoreHost*>(s.controller) == nullptr) {
      std::scoped_lock lock(faults->m);
      faults->hosts.push_back(std::make_unique<StoreHost>(*s.controller, *faults->files));
      s.controller = faults->hosts.back().get();
    }
    current = &s;
    return dispatchCommand(s, line);
  };
  return options;
}

}  // namespace

std::string modeName(Mode m) {
  return m == Mode::Active ? "Active" : "Passive";
}

ProtocolTest::ProtocolTest(drovn::test::HarnessOptions options)
    : faults_(std::make_shared<SessionFaults>()),
      harness(withFaults(std::move(options), faults_)) {
  faults_->files.emplace(harness.platform().files);
}

void ProtocolTest::SetUp() {
  harness.editSettings([this](config::Settings& s) { configure(s); });
  ASSERT_TRUE(harness.startListening());
}

drovn::test::FaultFileSystem& ProtocolTest::files() {
  return *faults_->files;
}

Session& ProtocolTest::currentSession() {
  return *current;
}

std::unique_ptr<FtpClient> ProtocolTest::connect() {
  auto client = harness.connectClient();
  EXPECT_NE(client, nullptr) << "no greeting";
  return client;
}

std::string ProtocolTest::ask(FtpClient& client, std::string_view line) {
  if (!client.send(std::string(line) + "\r\n")) return "<not sent>";
  std::string reply;
  // A reply has at most a few lines; a bounded count keeps a runaway server from hanging here.
  for (int lines = 0; lines < 16; ++lines) {
    auto next = client.readLine(5s);
    if (!next) return reply.empty() ? "<no reply>" : reply + "<cut>";
    reply += *next;
    // The last line of a reply: three digits and a space.
    const std::string& l = *next;
    if (l.size() >= 4 && l[3] == ' ' && std::isdigit(static_cast<unsigned char>(l[0]))) {
      return reply;
    }
  }
  return reply + "<too long>";
}

void ProtocolTest::expectExchanges(FtpClient& client, const std::vector<Exchange>& exchanges) {
  for (const Exchange& e : exchanges) {
    if (e.reply.empty()) {
      ASSERT_TRUE(client.send(e.line + "\r\n"));
      EXPECT_EQ(client.readFor(300ms), "") << "after " << e.line;
    } else {
      EXPECT_EQ(ask(client, e.line), e.reply) << "for " << testing::PrintToString(e.line);
    }
  }
}

void ProtocolTest::login(FtpClient& client, std::string_view user, std::string_view password) {
  ASSERT_EQ(ask(client, "USER " + std::string(user)).substr(0, 4), "331 ");
  ASSERT_EQ(ask(client, "PASS " + std::string(password)), kPasswordOk);
}

std::unique_ptr<FtpClient> ProtocolTest::connectAndLogin() {
  auto client = connect();
  if (client) login(*client);
  return client;
}

std::unique_ptr<DataPeer> ProtocolTest::begin(FtpClient& c, Mode mode, const std::string& line) {
  auto peer = std::make_unique<DataPeer>(harness.network());
  if (mode == Mode::Active) {
    const std::string argument = peer->listen();
    if (argument.empty() || ask(c, "PORT " + argument) != kPortOk || !c.send(line + "\r\n")) {
      ADD_FAILURE() << "no active data connection prepared for " << line;
      return nullptr;
    }
    // The preliminary reply comes before the server connects.
    const auto first = c.readLine(10s);
    if (first == kActiveOpening && peer->accept(10s)) return peer;
    ADD_FAILURE() << line << " got " << testing::PrintToString(first);
    return nullptr;
  }
  const uint16_t port = passivePort(ask(c, "PASV"));
  if (port == 0 || !c.send(line + "\r\n") || !peer->connectTo(port)) {
    ADD_FAILURE() << "no passive data connection for " << line;
    return nullptr;
  }
  const auto first = c.readLine(10s);
  if (first == kPassiveOpened) return peer;
  ADD_FAILURE() << line << " got " << testing::PrintToString(first);
  return nullptr;
}

std::string ProtocolTest::download(FtpClient& c, Mode mode, const std::string& line,
                                   std::string& reply) {
  auto peer = begin(c, mode, line);
  if (!peer) return "<not started>";
  std::string data = peer->readAll(30s).value_or("<data connection not closed>");
  reply = c.readLine(10s).value_or("<no reply>");
  return data;
}

std::string ProtocolTest::upload(FtpClient& c, Mode mode, const std::string& line,
                                 std::string_view bytes) {
  auto peer = begin(c, mode, line);
  if (!peer) return "<not started>";
  if (!bytes.empty() && !peer->send(bytes)) return "<not sent>";
  peer->close();
  return c.readLine(10s).value_or("<no reply>");
}

std::string portArgument(uint16_t port) {
  return "127,0,0,1," + std::to_string(port / 256) + "," + std::to_string(port % 256);
}

uint16_t passivePort(std::string_view reply) {
  unsigned h[4] = {}, p[2] = {};
  const std::string text(reply);
  if (std::sscanf(text.c_str(), "227 (%u,%u,%u,%u,%u,%u)", &h[0], &h[1], &h[2], &h[3], &p[0],
                  &p[1]) != 6) {
    return 0;
  }
  return static_cast<uint16_t>(p[0] * 256 + p[1]);
}

std::string DataPeer::listen() {
  if (network_.openTcp(listener_) != 0) return "";
  platform::SocketAddress loopback;
  loopback.address = platform::hostToNet32(0x7F000001);
  if (network_.bind(listener_, loopback) != 0 || network_.listen(listener_, 4) != 0) return "";
  platform::SocketAddress bound;
  if (network_.localAddress(listener_, bound) != 0) return "";
  listeningPort_ = platform::netToHost16(bound.port);
  return portArgument(listeningPort_);
}

bool DataPeer::accept(std::chrono::milliseconds timeout) {
  uint32_t error = 0;
  if (network_.waitReadable(listener_, static_cast<uint32_t>(timeout.count()), error) != 1) {
    return false;
  }
  platform::SocketAddress peer;
  connection_.close();
  return network_.accept(listener_, connection_, peer) == 0;
}

bool DataPeer::connectTo(uint16_t port, uint32_t from) {
  connection_.close();
  if (network_.openTcp(connection_) != 0) return false;
  platform::SocketAddress local;  // port 0: one the system picks
  local.address = platform::hostToNet32(from);
  if (network_.bind(connection_, local) != 0) return false;
  platform::SocketAddress to;
  to.port = platform::hostToNet16(port);
  to.address = platform::hostToNet32(0x7F000001);
  return network_.connect(connection_, to) == 0;
}

std::optional<std::string> DataPeer::readAll(std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  std::string all;
  std::vector<char> chunk(1 << 20);
  while (std::chrono::steady_clock::now() < deadline) {
    uint32_t error = 0;
    const int ready = network_.waitReadable(connection_, 100, error);
    if (ready < 0) return std::nullopt;
    if (ready == 0) continue;
    const long long n = network_.receive(connection_, chunk.data(), chunk.size(), error);
    if (n < 0) return std::nullopt;
    if (n == 0) return all;
    all.append(chunk.data(), static_cast<std::size_t>(n));
  }
  return std::nullopt;
}

bool DataPeer::send(std::string_view bytes) {
  uint32_t error = 0;
  return network_.send(connection_, bytes.data(), bytes.size(), error) ==
         static_cast<long long>(bytes.size());
}

void writeFile(const fs::path& file, std::string_view bytes) {
  fs::create_directories(file.parent_path());
  std::ofstream out(file, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  ASSERT_TRUE(out.good()) << file;
}

std::string readFile(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  std::ostringstream all;
  all << in.rdbuf();
  return all.str();
}

std::string patterned(std::size_t n, uint32_t seed) {
  std::mt19937 gen(seed);
  std::string bytes(n, '\0');
  for (char& c : bytes) c = static_cast<char>(gen() & 0xFF);
  return bytes;
}

}  // namespace drovn::protocol::test
