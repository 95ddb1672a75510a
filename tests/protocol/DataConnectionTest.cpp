// Data connections over real sockets on 127.0.0.1: PORT and PASV with their replies, the
// passive port search, active and passive opens and their failures, the buffer sizes every
// data connection gets, and the transfer meter on a clock that moves only when told to.
//
// No transfer is ever started toward an address other than 127.0.0.1: a PORT that names
// another host is only answered, never used.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "ProtocolTestSupport.h"
#include "platform/ErrorCodes.h"
#include "protocol/DataConnection.h"

namespace drovn::protocol::test {
namespace {

namespace fs = std::filesystem;
using drovn::test::NetCall;
using Steady = std::chrono::steady_clock;

constexpr char kPortOk[] = "200 PORT command ok.\r\n";
constexpr char kSyntaxError[] = "500 Syntax error.\r\n";
constexpr char kPassiveOpened[] = "125 Connection transfer starting...\r\n";
constexpr char kActiveOpening[] = "150 Opening data connection...\r\n";
constexpr char kOpenFailed[] = "425 Failed to open data connection.\r\n";
constexpr char kCompleted[] = "226 Transfer completed.\r\n";
constexpr char kNoopOk[] = "200 OK \r\n";
constexpr char kNone[] = "<none>";
constexpr uint32_t kLoopbackHost = 0x7F000001;
// Long enough for a reply that is on its way to arrive; used where none may come.
constexpr auto kQuiet = 300ms;

std::string passiveReply(uint16_t port) {
  return "227 (127,0,0,1," + std::to_string(port / 256) + "," + std::to_string(port % 256) +
         ") Entering passive mode...\r\n";
}

std::string pattern(std::size_t n, unsigned seed) {
  std::string bytes(n, '\0');
  for (std::size_t i = 0; i < n; ++i) {
    bytes[i] = static_cast<char>((i * 131 + seed) % 251);
  }
  return bytes;
}

// Polls pred every 2 ms for at most `timeout` of real time.
template <typename Pred>
bool eventually(Pred pred, std::chrono::milliseconds timeout = 5s) {
  const auto deadline = Steady::now() + timeout;
  while (!pred()) {
    if (Steady::now() >= deadline) return false;
    std::this_thread::sleep_for(2ms);
  }
  return true;
}

std::intmax_t sizeOf(const fs::path& file) {
  std::error_code ec;
  const auto size = fs::file_size(file, ec);
  return ec ? -1 : static_cast<std::intmax_t>(size);
}

// Test names from the cases' own names.
template <typename Case>
std::string caseName(const testing::TestParamInfo<Case>& c) {
  return c.param.name;
}

enum class Mode { Active, Passive };

std::string modeName(Mode m) {
  return m == Mode::Active ? "Active" : "Passive";
}

// A control connection made from a port the test bound itself. The platform's bind allows the
// port to be shared, so a listener of the test can take the same port while this connection
// stays up: that address is where the server connects when no PORT or PASV came first.
class OwnPortClient {
 public:
  explicit OwnPortClient(platform::Network& network) : network_(network) {}

  bool connect(uint16_t serverPort) {
    if (network_.openTcp(socket_) != 0) return false;
    platform::SocketAddress local;  // port 0: one the system picks
    local.address = platform::hostToNet32(kLoopbackHost);
    if (network_.bind(socket_, local) != 0) return false;
    platform::SocketAddress to;
    to.port = platform::hostToNet16(serverPort);
    to.address = platform::hostToNet32(kLoopbackHost);
    return network_.connect(socket_, to) == 0;
  }

  uint16_t localPort() {
    platform::SocketAddress local;
    if (network_.localAddress(socket_, local) != 0) return 0;
    return platform::netToHost16(local.port);
  }

  bool sendLine(std::string_view line) {
    std::string bytes(line);
    bytes.append("\r\n");
    uint32_t error = 0;
    return network_.send(socket_, bytes.data(), bytes.size(), error) ==
           static_cast<long long>(bytes.size());
  }

  std::string readLine(std::chrono::milliseconds timeout = 5s) {
    const auto deadline = Steady::now() + timeout;
    for (;;) {
      const std::size_t end = buffered_.find("\r\n");
      if (end != std::string::npos) {
        std::string line = buffered_.substr(0, end + 2);
        buffered_.erase(0, end + 2);
        return line;
      }
      if (Steady::now() >= deadline) return kNone;
      uint32_t error = 0;
      const int ready = network_.waitReadable(socket_, 50, error);
      if (ready < 0) return kNone;
      if (ready == 0) continue;
      char chunk[1024];
      const long long n = network_.receive(socket_, chunk, sizeof chunk, error);
      if (n <= 0) return kNone;
      buffered_.append(chunk, static_cast<std::size_t>(n));
    }
  }

 private:
  platform::Network& network_;
  platform::Socket socket_;
  std::string buffered_;
};

// A logged-in client and a store with one file; helpers for both modes of a data connection.
class DataConnectionFixture : public ProtocolTest {
 protected:
  DataConnectionFixture() = default;
  explicit DataConnectionFixture(drovn::test::HarnessOptions options)
      : ProtocolTest(std::move(options)) {}

  void SetUp() override {
    ProtocolTest::SetUp();
    if (HasFatalFailure()) return;
    writeFile(store() / "a.txt", "hello");
    client = connectAndLogin();
    ASSERT_NE(client, nullptr);
  }

  // PORT toward the peer, which starts listening on 127.0.0.1.
  void portTo(FtpClient& c, DataPeer& peer) {
    const std::string argument = peer.listen();
    ASSERT_FALSE(argument.empty());
    ASSERT_EQ(ask(c, "PORT " + argument), kPortOk);
  }

  // PASV, its reply checked to the byte; gives the announced port (0 when the reply is wrong).
  uint16_t enterPassive(FtpClient& c) {
    const std::string reply = ask(c, "PASV");
    const uint16_t port = passivePort(reply);
    EXPECT_EQ(reply, passiveReply(port));
    EXPECT_GE(port, kFirstPassivePort);
    return port;
  }

  // Sends the command and makes the data connection as the mode wants: in active mode the
  // peer (named by an earlier PORT) takes the server's connection, in passive mode it connects
  // to the port. Gives the preliminary reply, or kNone when there was no connection.
  std::string open(FtpClient& c, Mode mode, const std::string& line, DataPeer& peer,
                   uint16_t port = 0) {
    if (!c.send(line + "\r\n")) return "<not sent>";
    if (mode == Mode::Active) {
      std::string reply = c.readLine().value_or(kNone);
      if (!peer.accept()) return kNone;
      return reply;
    }
    if (!peer.connectTo(port)) return kNone;
    return c.readLine().value_or(kNone);
  }

  // A whole download (LIST, NLST, RETR): preliminary reply, the bytes, the final reply.
  struct Download {
    std::string preliminary;
    std::optional<std::string> data;
    std::string final;
  };
  Download download(FtpClient& c, Mode mode, const std::string& line, DataPeer& peer,
                    uint16_t port = 0) {
    Download d;
    d.preliminary = open(c, mode, line, peer, port);
    if (d.preliminary == kNone) return d;
    d.data = peer.readAll();
    peer.close();
    d.final = c.readLine().value_or(kNone);
    return d;
  }

  // A download that must go through with the mode's preliminary reply; gives its bytes.
  std::string expectDownload(FtpClient& c, Mode mode, const std::string& line, DataPeer& peer,
                             uint16_t port = 0) {
    const Download d = download(c, mode, line, peer, port);
    EXPECT_EQ(d.preliminary, mode == Mode::Active ? kActiveOpening : kPassiveOpened) << line;
    EXPECT_TRUE(d.data.has_value()) << line;
    EXPECT_EQ(d.final, kCompleted) << line;
    return d.data.value_or("");
  }

  std::unique_ptr<FtpClient> client;
};

// ---- PORT ----

using DataPortTest = DataConnectionFixture;

// Data goes only to the client's own host: a PORT naming any other is refused and changes
// nothing, so the next transfer still goes where the last good PORT said.
TEST_F(DataPortTest, AddressesOfOtherHostsAreRefused) {
  DataPeer peer(harness.network());
  portTo(*client, peer);
  const std::pair<const char*, const char*> others[] = {{"127,0,0,2,4,1", "127.0.0.2"},
                                                        {"192,168,1,20,4,1", "192.168.1.20"},
                                                        {"10,0,0,1,300,2", "10.0.0.1"},
                                                        {"a,b,c,d,4,1", "a.b.c.d"}};
  for (const auto& [argument, host] : others) {
    EXPECT_EQ(ask(*client, std::string("PORT ") + argument), kSyntaxError) << argument;
    EXPECT_TRUE(harness.waitForLine(std::string("PORT to ") + host + " refused")) << argument;
  }
  EXPECT_EQ(harness.faults().calls(NetCall::Connect), 0);
  EXPECT_EQ(expectDownload(*client, Mode::Active, "RETR a.txt", peer), "hello");
}

TEST_F(DataPortTest, TheTransferGoesToTheNamedAddress) {
  DataPeer peer(harness.network());
  portTo(*client, peer);
  EXPECT_EQ(expectDownload(*client, Mode::Active, "RETR a.txt", peer), "hello");
  // The address stays for every later transfer.
  EXPECT_NE(expectDownload(*client, Mode::Active, "LIST", peer).find("a.txt"), std::string::npos);
}

// The PORT argument for a port, written another way.
struct PortForm {
  const char* name;
  std::string (*argument)(uint16_t port);
};

std::string hi(uint16_t port) {
  return std::to_string(port / 256);
}
std::string lo(uint16_t port) {
  return std::to_string(port % 256);
}

class DataPortFormTest : public DataConnectionFixture,
                         public testing::WithParamInterface<PortForm> {};

TEST_P(DataPortFormTest, ReachesThePeer) {
  DataPeer peer(harness.network());
  ASSERT_FALSE(peer.listen().empty());
  // Ports the system gives out are above 255, so every form below has its numbers.
  ASSERT_GT(peer.listeningPort(), 256);
  const std::string argument = GetParam().argument(peer.listeningPort());
  ASSERT_EQ(ask(*client, "PORT " + argument), kPortOk) << argument;
  EXPECT_EQ(expectDownload(*client, Mode::Active, "RETR a.txt", peer), "hello") << argument;
}

INSTANTIATE_TEST_SUITE_P(
    Arguments, DataPortFormTest,
    testing::Values(
        PortForm{"Plain", [](uint16_t p) { return "127,0,0,1," + hi(p) + "," + lo(p); }},
        // 300 x 256 + 2 is 76802, which is 11266 in 16 bits: the high field's extra 256 is cut.
        PortForm{"HighFieldPast255",
                 [](uint16_t p) { return "127,0,0,1," + std::to_string(p / 256 + 256) + "," + lo(p); }},
        PortForm{"HighFieldFarPast255",
                 [](uint16_t p) {
                   return "127,0,0,1," + std::to_string(p / 256 + 256 * 1000) + "," + lo(p);
                 }},
        PortForm{"LowFieldCarries",
                 [](uint16_t p) {
                   return "127,0,0,1," + std::to_string(p / 256 - 1) + "," +
                          std::to_string(p % 256 + 256);
                 }},
        PortForm{"AllInTheLowField",
                 [](uint16_t p) { return "127,0,0,1,0," + std::to_string(p); }},
        PortForm{"LeadingZeros", [](uint16_t p) { return "127,0,0,1,00" + hi(p) + ",0" + lo(p); }},
        PortForm{"TrailingJunk",
                 [](uint16_t p) { return "127,0,0,1," + hi(p) + "x," + lo(p) + "junk"; }},
        PortForm{"EmptyFieldDropped",
                 [](uint16_t p) { return "127,,0,0,1," + hi(p) + "," + lo(p); }},
        PortForm{"CommasAtBothEnds",
                 [](uint16_t p) { return ",127,0,0,,1," + hi(p) + "," + lo(p) + ",,"; }}),
    caseName<PortForm>);

// A PORT that is refused changes neither the address nor the mode.
class DataPortRefusedTest : public DataConnectionFixture,
                            public testing::WithParamInterface<const char*> {};

TEST_P(DataPortRefusedTest, KeepsTheEarlierAddress) {
  DataPeer peer(harness.network());
  portTo(*client, peer);
  EXPECT_EQ(ask(*client, std::string("PORT ") + GetParam()), kSyntaxError);
  EXPECT_EQ(expectDownload(*client, Mode::Active, "RETR a.txt", peer), "hello");
}

TEST_P(DataPortRefusedTest, KeepsPassiveMode) {
  const uint16_t port = enterPassive(*client);
  ASSERT_NE(port, 0);
  EXPECT_EQ(ask(*client, std::string("PORT ") + GetParam()), kSyntaxError);
  DataPeer peer(harness.network());
  EXPECT_EQ(expectDownload(*client, Mode::Passive, "RETR a.txt", peer, port), "hello");
}

// Every host part is 127.0.0.1 (or too short to be an address), so that a server that wrongly
// took one of these would still only connect to this machine.
INSTANTIATE_TEST_SUITE_P(Arguments, DataPortRefusedTest,
                         testing::Values("127,0,0,1,4", "127,0,0,1,4,1,7", "127,0,0,1",
                                         "127,0,0,1,4,1,7,8", "127,0,0,,1,4", ",,,,,,",
                                         "127.0.0.1.4.1"));

TEST_F(DataPortTest, PortAfterPasvGoesActiveAndLeavesTheListenerOpen) {
  const uint16_t passive = enterPassive(*client);
  ASSERT_NE(passive, 0);
  DataPeer peer(harness.network());
  portTo(*client, peer);
  EXPECT_EQ(expectDownload(*client, Mode::Active, "RETR a.txt", peer), "hello");
  // The listener of the PASV is still there until the next PASV or the end of the session.
  DataPeer stray(harness.network());
  EXPECT_TRUE(stray.connectTo(passive));
}

TEST_F(DataPortTest, PortAndPasvNeedALogin) {
  DataPeer peer(harness.network());
  const std::string argument = peer.listen();
  ASSERT_FALSE(argument.empty());
  auto fresh = connect();
  ASSERT_NE(fresh, nullptr);
  const int opened = harness.faults().calls(NetCall::OpenTcp);
  expectExchanges(*fresh, {{"PORT " + argument, kPleaseLogIn}, {"PASV", kPleaseLogIn}});
  EXPECT_EQ(harness.faults().calls(NetCall::OpenTcp), opened) << "PASV made a socket";

  // Nothing was kept: after the login the transfer still goes to the control connection's
  // peer, where nothing listens, and never to the peer.
  login(*fresh);
  ASSERT_EQ(ask(*fresh, "LIST"), kActiveOpening);
  EXPECT_TRUE(harness.waitForLine(
      "Failed to connect data socket: " + std::to_string(platform::kWsaeConnRefused)));
  EXPECT_FALSE(peer.accept(kQuiet));
  EXPECT_EQ(fresh->readFor(kQuiet), "");
}

// ---- PASV ----

using DataPasvTest = DataConnectionFixture;

TEST_F(DataPasvTest, TwoInARowAnnounceTheSamePort) {
  const std::size_t before = harness.faults().boundPorts().size();
  const uint16_t first = enterPassive(*client);
  const uint16_t second = enterPassive(*client);
  ASSERT_NE(first, 0);
  // The first listener was closed before the search began again at the first port.
  EXPECT_EQ(second, first);
  const std::vector<uint16_t> bound = harness.faults().boundPorts();
  ASSERT_GT(bound.size(), before);
  EXPECT_EQ(std::count(bound.begin() + static_cast<std::ptrdiff_t>(before), bound.end(),
                       kFirstPassivePort),
            2);
  DataPeer peer(harness.network());
  EXPECT_EQ(expectDownload(*client, Mode::Passive, "RETR a.txt", peer, second), "hello");
}

// The first `count` ports from 1025 on refuse the bind.
class DataPasvSearchTest : public DataConnectionFixture,
                           public testing::WithParamInterface<uint16_t> {};

TEST_P(DataPasvSearchTest, AnnouncesThePortAfterTheTakenOnes) {
  const uint16_t taken = GetParam();
  harness.faults().failBindPorts(kFirstPassivePort,
                                 static_cast<uint16_t>(kFirstPassivePort + taken - 1),
                                 platform::kWsaeAddrInUse);
  const std::size_t before = harness.faults().boundPorts().size();
  const uint16_t port = enterPassive(*client);
  // On an idle machine the very next port; another program may hold some of the ones after.
  EXPECT_GE(port, kFirstPassivePort + taken);
  const std::vector<uint16_t> bound = harness.faults().boundPorts();
  std::vector<uint16_t> tried(bound.begin() + static_cast<std::ptrdiff_t>(before), bound.end());
  ASSERT_FALSE(tried.empty());
  // One bind per candidate, in order from the first port, ending on the announced one.
  for (std::size_t i = 0; i < tried.size(); ++i) {
    EXPECT_EQ(tried[i], kFirstPassivePort + i) << "bind " << i;
  }
  EXPECT_EQ(tried.back(), port);
  DataPeer peer(harness.network());
  EXPECT_EQ(expectDownload(*client, Mode::Passive, "RETR a.txt", peer, port), "hello");
}

INSTANTIATE_TEST_SUITE_P(TakenPorts, DataPasvSearchTest, testing::Values(1, 2, 10));

TEST_F(DataPasvTest, EveryPortTakenEndsTheSearchAtTheLastPort) {
  harness.faults().failBindPorts(kFirstPassivePort, kLastPassivePort, platform::kWsaeAddrInUse);
  const std::size_t before = harness.faults().boundPorts().size();
  ASSERT_TRUE(client->send("PASV\r\n"));
  EXPECT_TRUE(harness.waitForLine(
      "Passive socket failed: " + std::to_string(platform::kWsaeAddrInUse), 60s));
  EXPECT_EQ(client->readFor(kQuiet), "");
  const std::vector<uint16_t> bound = harness.faults().boundPorts();
  ASSERT_EQ(bound.size() - before, std::size_t{kLastPassivePort - kFirstPassivePort + 1});
  EXPECT_EQ(bound[before], kFirstPassivePort);
  EXPECT_EQ(bound.back(), kLastPassivePort);

  // The session goes on, and PASV works once ports are free again.
  harness.faults().clearFaults();
  EXPECT_EQ(ask(*client, "NOOP"), kNoopOk);
  EXPECT_NE(enterPassive(*client), 0);
}

struct PasvFailure {
  const char* name;
  NetCall call;
  uint32_t code;
  const char* line;
};

class DataPasvFailureTest : public DataConnectionFixture,
                            public testing::WithParamInterface<PasvFailure> {};

TEST_P(DataPasvFailureTest, LogsAndSendsNoReply) {
  const PasvFailure& f = GetParam();
  harness.faults().failNext(f.call, f.code);
  ASSERT_TRUE(client->send("PASV\r\n"));
  EXPECT_TRUE(harness.waitForLine(std::string(f.line) + std::to_string(f.code)));
  EXPECT_EQ(client->readFor(kQuiet), "");
  EXPECT_EQ(ask(*client, "NOOP"), kNoopOk);
  // No passive mode was entered: the next transfer goes active, to the control connection's
  // peer, where nothing listens.
  EXPECT_EQ(ask(*client, "LIST"), kActiveOpening);
  EXPECT_TRUE(harness.waitForLine("Failed to connect data socket: " +
                                  std::to_string(platform::kWsaeConnRefused)));
}

INSTANTIATE_TEST_SUITE_P(
    Calls, DataPasvFailureTest,
    testing::Values(PasvFailure{"Socket", NetCall::OpenTcp, platform::kWsaeMfile,
                                "Passive socket failed: "},
                    PasvFailure{"Listen", NetCall::Listen, platform::kWsaeInval,
                                "Passive listen failed: "}),
    caseName<PasvFailure>);

// ---- Opening a data connection ----

using DataOpenTest = DataConnectionFixture;

TEST_F(DataOpenTest, WithoutPortOrPasvConnectsBackToTheControlConnection) {
  // Nothing listens on the client's own port: the connection is refused after the 150, and the
  // transfer ends without a final reply.
  const int connects = harness.faults().calls(NetCall::Connect);
  EXPECT_EQ(ask(*client, "RETR a.txt"), kActiveOpening);
  EXPECT_TRUE(harness.waitForLine("Failed to connect data socket: " +
                                  std::to_string(platform::kWsaeConnRefused)));
  EXPECT_EQ(client->readFor(kQuiet), "");
  EXPECT_EQ(harness.faults().calls(NetCall::Connect), connects + 1);
  EXPECT_EQ(ask(*client, "NOOP"), kNoopOk);
}

TEST_F(DataOpenTest, TheDefaultTargetIsTheControlConnectionsAddressAndPort) {
  OwnPortClient own(harness.network());
  ASSERT_TRUE(own.connect(harness.port()));
  ASSERT_EQ(own.readLine().substr(0, 4), "220 ");
  ASSERT_TRUE(own.sendLine("USER anonymous"));
  ASSERT_EQ(own.readLine().substr(0, 4), "331 ");
  ASSERT_TRUE(own.sendLine("PASS guest"));
  ASSERT_EQ(own.readLine(), kPasswordOk);

  // A listener of our own on the very port the control connection comes from.
  platform::Network& net = harness.network();
  platform::Socket listener;
  ASSERT_EQ(net.openTcp(listener), 0u);
  platform::SocketAddress at;
  at.address = platform::hostToNet32(kLoopbackHost);
  at.port = platform::hostToNet16(own.localPort());
  ASSERT_EQ(net.bind(listener, at), 0u) << "the port cannot be shared on this system";
  ASSERT_EQ(net.listen(listener, 1), 0u);

  ASSERT_TRUE(own.sendLine("RETR a.txt"));
  EXPECT_EQ(own.readLine(), kActiveOpening);
  uint32_t error = 0;
  ASSERT_EQ(net.waitReadable(listener, 5000, error), 1) << "the server did not connect back";
  platform::Socket data;
  platform::SocketAddress from;
  ASSERT_EQ(net.accept(listener, data, from), 0u);
  EXPECT_EQ(from.address, platform::hostToNet32(kLoopbackHost));
  std::string received;
  char chunk[256];
  for (int i = 0; i < 100; ++i) {
    if (net.waitReadable(data, 5000, error) != 1) break;
    const long long n = net.receive(data, chunk, sizeof chunk, error);
    if (n <= 0) break;
    received.append(chunk, static_cast<std::size_t>(n));
  }
  EXPECT_EQ(received, "hello");
  EXPECT_EQ(own.readLine(), kCompleted);
}

TEST_F(DataOpenTest, AfterAPassiveTransferTheNextOneIsActive) {
  DataPeer active(harness.network());
  portTo(*client, active);
  const uint16_t port = enterPassive(*client);
  ASSERT_NE(port, 0);
  DataPeer passive(harness.network());
  EXPECT_EQ(expectDownload(*client, Mode::Passive, "RETR a.txt", passive, port), "hello");
  // No new PASV: back to the address of the PORT.
  EXPECT_EQ(expectDownload(*client, Mode::Active, "RETR a.txt", active), "hello");
}

// The service's own limits, on the harness's clock that runs 100 times faster than real time.
class DataDefaultLimitsTest : public DataConnectionFixture {
 protected:
  DataDefaultLimitsTest() : DataConnectionFixture(drovn::test::HarnessOptions{.limits = {}}) {}
};

// A client that never connects is told so at the limit (36 s, a third of a second here); the
// session goes on, and the next transfer waits on the same listener.
TEST_F(DataDefaultLimitsTest, PassiveWaitEndsAtItsLimitAndKeepsTheListener) {
  const uint16_t port = enterPassive(*client);
  ASSERT_NE(port, 0);
  ASSERT_TRUE(client->send("RETR a.txt\r\n"));
  EXPECT_EQ(client->readLine(5s).value_or(kNone), kOpenFailed);
  EXPECT_TRUE(harness.hasLine("Passive connection timeout"));
  EXPECT_EQ(ask(*client, "NOOP"), kNoopOk);
  DataPeer peer(harness.network());
  EXPECT_EQ(expectDownload(*client, Mode::Passive, "RETR a.txt", peer, port), "hello");
}

// Another host on the passive port is turned away at once; the client's own connection, made
// after it, gets the file.
TEST_F(DataOpenTest, PassiveConnectionFromAnotherHostIsRefused) {
  const uint16_t port = enterPassive(*client);
  ASSERT_NE(port, 0);
  ASSERT_TRUE(client->send("RETR a.txt\r\n"));
  DataPeer stranger(harness.network());
  ASSERT_TRUE(stranger.connectTo(port, 0x7F000002));
  EXPECT_EQ(stranger.readAll(5s).value_or("<reset>").size(), 0u);
  EXPECT_TRUE(harness.waitForLine("Passive connection from 127.0.0.2 refused"));
  DataPeer peer(harness.network());
  ASSERT_TRUE(peer.connectTo(port));
  EXPECT_EQ(client->readLine().value_or(kNone), kPassiveOpened);
  EXPECT_EQ(peer.readAll().value_or(kNone), "hello");
  EXPECT_EQ(client->readLine().value_or(kNone), kCompleted);
}

// A client that goes away while its transfer waits for the data connection frees the session
// then, not at the passive limit.
TEST_F(DataOpenTest, PassiveWaitEndsWhenTheClientLeaves) {
  ASSERT_NE(enterPassive(*client), 0);
  ASSERT_TRUE(client->send("RETR a.txt\r\n"));
  ASSERT_TRUE(harness.waitForLine("#1>RETR a.txt"));
  client->close();
  EXPECT_TRUE(harness.waitForLine("#1>Disconnected.", 5s));
  EXPECT_FALSE(harness.hasLine("Passive connection timeout"));
}

// Limits of a few hundred milliseconds of real time for the kernel's waits: connecting to the
// client, and a data connection that moves nothing.
class DataLimitTest : public DataConnectionFixture {
 protected:
  static constexpr uint32_t kLimitMs = 400;
  DataLimitTest()
      : DataConnectionFixture(drovn::test::HarnessOptions{
            .limits = {.idleSeconds = 86400,
                       .passiveAcceptMs = 86400000,
                       .activeConnectMs = kLimitMs,
                       .dataStallMs = kLimitMs}}) {}
};

// A client whose host drops our connection attempts: a listener on 127.0.0.1 whose one-place
// queue is already full makes the system drop them, as a firewall would.
TEST_F(DataLimitTest, ActiveConnectGivesUpAtItsLimit) {
  platform::Network& net = harness.network();
  platform::Socket listener, queued;
  platform::SocketAddress at;
  at.address = platform::hostToNet32(kLoopbackHost);
  ASSERT_EQ(net.openTcp(listener), 0u);
  ASSERT_EQ(net.bind(listener, at), 0u);
  ASSERT_EQ(net.listen(listener, 0), 0u);
  ASSERT_EQ(net.localAddress(listener, at), 0u);
  ASSERT_EQ(net.openTcp(queued), 0u);
  ASSERT_EQ(net.connect(queued, at), 0u);
  ASSERT_EQ(ask(*client, "PORT " + portArgument(platform::netToHost16(at.port))), kPortOk);
  ASSERT_TRUE(client->send("LIST\r\n"));
  EXPECT_EQ(client->readLine().value_or(kNone), kActiveOpening);
  EXPECT_EQ(client->readLine(5s).value_or(kNone), kOpenFailed);
  EXPECT_TRUE(harness.hasLine("Failed to connect data socket: " +
                              std::to_string(platform::kWsaeTimedOut)));
  EXPECT_EQ(ask(*client, "NOOP"), kNoopOk);
}

// A data connection that moves nothing for the limit fails its transfer; one that keeps moving,
// however slowly, is never cut off.
TEST_F(DataLimitTest, AStalledDownloadOrUploadIsAbortedAndASlowOneIsNot) {
  const std::string big = pattern(8u << 20, 5);
  writeFile(store() / "big.bin", big);
  for (const char* line : {"RETR big.bin", "STOR up.bin"}) {
    const uint16_t port = enterPassive(*client);
    DataPeer stalled(harness.network());
    ASSERT_TRUE(client->send(std::string(line) + "\r\n"));
    ASSERT_TRUE(stalled.connectTo(port));
    EXPECT_EQ(client->readLine().value_or(kNone), kPassiveOpened) << line;
    // Neither reads nor sends nor closes.
    EXPECT_EQ(client->readLine(5s).value_or(kNone), "426 Connection transfer aborted.\r\n")
        << line;
  }
  const uint16_t port = enterPassive(*client);
  DataPeer slow(harness.network());
  ASSERT_TRUE(client->send("RETR big.bin\r\n"));
  ASSERT_TRUE(slow.connectTo(port));
  EXPECT_EQ(client->readLine().value_or(kNone), kPassiveOpened);
  std::string got;
  std::vector<char> chunk(1u << 20);
  platform::Network& net = harness.network();
  for (int reads = 0; reads < 200 && got.size() < big.size(); ++reads) {
    // Half the limit between reads of a mebibyte at most.
    std::this_thread::sleep_for(std::chrono::milliseconds(kLimitMs / 2));
    uint32_t error = 0;
    const long long n = net.receive(slow.connection(), chunk.data(), chunk.size(), error);
    if (n <= 0) break;
    got.append(chunk.data(), static_cast<std::size_t>(n));
  }
  EXPECT_TRUE(got == big) << got.size();
  EXPECT_EQ(slow.readAll().value_or(kNone), "");
  EXPECT_EQ(client->readLine().value_or(kNone), kCompleted);
}

struct ActiveFailure {
  const char* name;
  NetCall call;
  uint32_t code;
  const char* line;
};

class DataActiveFailureTest : public DataConnectionFixture,
                              public testing::WithParamInterface<ActiveFailure> {};

TEST_P(DataActiveFailureTest, LogsAfterThe150AndSendsNothingMore) {
  const ActiveFailure& f = GetParam();
  DataPeer peer(harness.network());
  portTo(*client, peer);
  harness.faults().failNext(f.call, f.code);
  EXPECT_EQ(ask(*client, "RETR a.txt"), kActiveOpening);
  EXPECT_TRUE(harness.waitForLine(std::string(f.line) + std::to_string(f.code)));
  EXPECT_EQ(client->readFor(kQuiet), "");
  EXPECT_FALSE(peer.accept(kQuiet));
  // The address stays; the next transfer gets through.
  EXPECT_EQ(expectDownload(*client, Mode::Active, "RETR a.txt", peer), "hello");
}

INSTANTIATE_TEST_SUITE_P(
    Calls, DataActiveFailureTest,
    testing::Values(ActiveFailure{"Socket", NetCall::OpenTcp, platform::kWsaeNoBufs,
                                  "Failed to open data socket: "},
                    ActiveFailure{"Connect", NetCall::Connect, platform::kWsaeNetUnreach,
                                  "Failed to connect data socket: "}),
    caseName<ActiveFailure>);

TEST_F(DataOpenTest, PortOfAClosedPeerIsRefused) {
  DataPeer peer(harness.network());
  portTo(*client, peer);
  peer.closeListener();
  EXPECT_EQ(ask(*client, "LIST"), kActiveOpening);
  EXPECT_TRUE(harness.waitForLine("Failed to connect data socket: " +
                                  std::to_string(platform::kWsaeConnRefused)));
  EXPECT_EQ(client->readFor(kQuiet), "");
}

// An exception out of a network call is no platform failure: it is answered with 425.
struct ThrowCase {
  const char* name;
  Mode mode;
  NetCall call;
  const char* replies;
};

class DataOpenThrowTest : public DataConnectionFixture,
                          public testing::WithParamInterface<ThrowCase> {};

TEST_P(DataOpenThrowTest, AnswersWith425) {
  const ThrowCase& t = GetParam();
  DataPeer peer(harness.network());
  uint16_t port = 0;
  if (t.mode == Mode::Active) {
    portTo(*client, peer);
  } else {
    port = enterPassive(*client);
    ASSERT_NE(port, 0);
  }
  harness.faults().throwNext(t.call);
  ASSERT_TRUE(client->send("RETR a.txt\r\n"));
  // The passive accept is made once a connection waits.
  if (t.mode == Mode::Passive) {
    ASSERT_TRUE(peer.connectTo(port));
  }
  const std::string first = client->readLine().value_or("");
  EXPECT_EQ(first + client->readFor(kQuiet), t.replies);
  EXPECT_EQ(ask(*client, "NOOP"), kNoopOk);
}

INSTANTIATE_TEST_SUITE_P(
    Calls, DataOpenThrowTest,
    testing::Values(
        ThrowCase{"ActiveSocket", Mode::Active, NetCall::OpenTcp,
                  "150 Opening data connection...\r\n425 Failed to open data connection.\r\n"},
        ThrowCase{"ActiveConnect", Mode::Active, NetCall::Connect,
                  "150 Opening data connection...\r\n425 Failed to open data connection.\r\n"},
        ThrowCase{"PassiveAccept", Mode::Passive, NetCall::Accept, kOpenFailed}),
    caseName<ThrowCase>);

// ---- Every transfer command in both modes ----

struct KindCase {
  const char* line;
  bool upload;
  Mode mode;
};

class DataKindsTest : public DataConnectionFixture, public testing::WithParamInterface<KindCase> {
 protected:
  void SetUp() override {
    DataConnectionFixture::SetUp();
    writeFile(store() / "big.bin", pattern(1000000, 7));  // three blocks
  }
};

TEST_P(DataKindsTest, OneConnectionWithBigBuffersCountedByTheMeter) {
  const KindCase& k = GetParam();
  DataPeer peer(harness.network());
  uint16_t port = 0;
  if (k.mode == Mode::Active) {
    portTo(*client, peer);
  } else {
    port = enterPassive(*client);
    ASSERT_NE(port, 0);
  }
  const std::vector<int> sizesBefore = harness.faults().bufferSizes();

  std::size_t moved = 0;
  if (k.upload) {
    const std::string bytes = pattern(700000, 3);
    EXPECT_EQ(open(*client, k.mode, k.line, peer, port),
              k.mode == Mode::Active ? kActiveOpening : kPassiveOpened);
    ASSERT_TRUE(peer.send(bytes));
    peer.close();
    EXPECT_EQ(client->readLine().value_or(kNone), kCompleted);
    EXPECT_EQ(readFile(store() / "up.bin"), bytes);
    moved = bytes.size();
  } else {
    const std::string data = expectDownload(*client, k.mode, k.line, peer, port);
    if (std::string_view(k.line).starts_with("RETR")) {
      EXPECT_EQ(data, readFile(store() / "big.bin"));
    } else {
      EXPECT_NE(data.find("big.bin"), std::string::npos);
    }
    moved = data.size();
  }

  std::vector<int> sizesAfter = harness.faults().bufferSizes();
  ASSERT_GE(sizesAfter.size(), sizesBefore.size());
  sizesAfter.erase(sizesAfter.begin(),
                   sizesAfter.begin() + static_cast<std::ptrdiff_t>(sizesBefore.size()));
  EXPECT_EQ(sizesAfter, std::vector<int>{458752});

  TransferMeter& m = harness.meter();
  EXPECT_EQ(m.totalBytes.load(), static_cast<int32_t>(moved));
  EXPECT_EQ(m.bytesSinceSample.load(), static_cast<int32_t>(moved));
  EXPECT_EQ(m.trackedConnection.load(), 0u);
}

std::vector<KindCase> kindCases() {
  std::vector<KindCase> cases;
  for (Mode mode : {Mode::Active, Mode::Passive}) {
    cases.push_back({"LIST", false, mode});
    cases.push_back({"NLST", false, mode});
    cases.push_back({"RETR big.bin", false, mode});
    cases.push_back({"STOR up.bin", true, mode});
    cases.push_back({"APPE up.bin", true, mode});
  }
  return cases;
}

INSTANTIATE_TEST_SUITE_P(Commands, DataKindsTest, testing::ValuesIn(kindCases()),
                         [](const testing::TestParamInfo<KindCase>& c) {
                           std::string name(c.param.line);
                           name = name.substr(0, name.find(' '));
                           return name + modeName(c.param.mode);
                         });

// ---- The transfer meter on a clock that stands still ----

drovn::test::HarnessOptions stoppedClock() {
  drovn::test::HarnessOptions options;
  options.clockSpeed = 0;  // fake time moves only when advanced (and by the service's sleeps)
  return options;
}

class DataMeterFixture : public DataConnectionFixture {
 protected:
  DataMeterFixture() : DataConnectionFixture(stoppedClock()) {}

  drovn::test::FakeClock& clock() { return harness.clock(); }
  TransferMeter& meter() { return harness.meter(); }

  // Starts a passive STOR of the file on the client and waits until the meter follows its
  // connection; gives the tracked connection.
  uint32_t startUpload(FtpClient& c, DataPeer& peer, const std::string& name) {
    const uint16_t port = enterPassive(c);
    if (port == 0) return 0;
    const uint32_t before = meter().trackedConnection.load();
    EXPECT_EQ(open(c, Mode::Passive, "STOR " + name, peer, port), kPassiveOpened);
    // The 125 goes out just before the meter is told about the connection.
    EXPECT_TRUE(eventually([&] {
      const uint32_t now = meter().trackedConnection.load();
      return now != 0 && now != before;
    }));
    return meter().trackedConnection.load();
  }

  // Sends n bytes on the upload and waits until the server has written them: by then their
  // movement is recorded and any progress post made, because the write comes after both.
  void move(DataPeer& peer, const std::string& name, std::size_t n) {
    ASSERT_TRUE(peer.send(std::string(n, 'x')));
    uploaded_[name] += n;
    const auto expected = static_cast<std::intmax_t>(uploaded_[name]);
    ASSERT_TRUE(eventually([&] { return sizeOf(store() / name) == expected; }))
        << name << " has " << sizeOf(store() / name) << " bytes, expected " << expected;
  }

  // Ends the upload and reads its 226.
  void finish(FtpClient& c, DataPeer& peer) {
    peer.close();
    EXPECT_EQ(c.readLine().value_or(kNone), kCompleted);
  }

  // The progress posts the window has taken, once it has taken everything posted so far.
  int posts() {
    EXPECT_TRUE(harness.syncWindow());
    return harness.progressPosts();
  }

  // What the progress row does when it takes a sample.
  void restartSample() {
    meter().bytesSinceSample.store(0);
    meter().sampleTick.store(static_cast<int32_t>(clock().tickCount()));
  }

 private:
  std::map<std::string, std::size_t> uploaded_;
};

using DataMeterTest = DataMeterFixture;

TEST_F(DataMeterTest, PostsOnceTheSampleIsTwoSecondsOldUntilItIsRestarted) {
  DataPeer peer(harness.network());
  ASSERT_NE(startUpload(*client, peer, "up.bin"), 0u);
  EXPECT_EQ(meter().totalBytes.load(), 0);
  EXPECT_EQ(meter().speedKBps.load(), 0);
  const int start = posts();

  // The service's idle threads move the clock by at most a few 80 ms sleeps meanwhile.
  move(peer, "up.bin", 100);
  EXPECT_EQ(posts(), start) << "a fresh sample";
  EXPECT_EQ(meter().totalBytes.load(), 100);
  EXPECT_EQ(meter().bytesSinceSample.load(), 100);
  const auto tick = static_cast<int32_t>(clock().tickCount());
  EXPECT_LE(tick - meter().lastIoTick.load(), 1000);

  clock().advance(1500);
  move(peer, "up.bin", 100);
  EXPECT_EQ(posts(), start) << "1.5 s old";
  EXPECT_GE(meter().lastIoTick.load() - tick, 1500);

  clock().advance(500);
  move(peer, "up.bin", 100);
  EXPECT_EQ(posts(), start + 1) << "2 s old";
  // Nobody took the sample: every movement asks again.
  move(peer, "up.bin", 50);
  EXPECT_EQ(posts(), start + 2);
  move(peer, "up.bin", 50);
  EXPECT_EQ(posts(), start + 3);

  restartSample();
  move(peer, "up.bin", 10);
  EXPECT_EQ(posts(), start + 3) << "the sample was just restarted";
  EXPECT_EQ(meter().bytesSinceSample.load(), 10);
  clock().advance(2000);
  move(peer, "up.bin", 10);
  EXPECT_EQ(posts(), start + 4);

  EXPECT_EQ(meter().totalBytes.load(), 420);
  EXPECT_EQ(meter().bytesSinceSample.load(), 20);
  finish(*client, peer);
  EXPECT_EQ(meter().trackedConnection.load(), 0u);
  EXPECT_EQ(meter().totalBytes.load(), 420) << "closing keeps the counts";
}

// A transfer that moves nothing: the connection opens and closes and no movement is recorded.
class DataMeterEmptyTest : public DataMeterFixture,
                           public testing::WithParamInterface<const char*> {};

TEST_P(DataMeterEmptyTest, ChangesNoCounterAndPostsNothing) {
  fs::create_directory(store() / "emptyDir");
  writeFile(store() / "empty.txt", "");
  const uint16_t port = enterPassive(*client);
  ASSERT_NE(port, 0);
  constexpr int32_t kUntouched = 424242;
  meter().lastIoTick.store(kUntouched);
  const int start = posts();
  DataPeer peer(harness.network());
  const std::string line = GetParam();
  if (line.starts_with("STOR")) {
    EXPECT_EQ(open(*client, Mode::Passive, line, peer, port), kPassiveOpened);
    finish(*client, peer);
  } else {
    EXPECT_EQ(expectDownload(*client, Mode::Passive, line, peer, port), "");
  }
  EXPECT_EQ(meter().totalBytes.load(), 0);
  EXPECT_EQ(meter().bytesSinceSample.load(), 0);
  EXPECT_EQ(meter().lastIoTick.load(), kUntouched);
  EXPECT_EQ(meter().trackedConnection.load(), 0u);
  EXPECT_EQ(posts(), start);
}

INSTANTIATE_TEST_SUITE_P(Commands, DataMeterEmptyTest,
                         testing::Values("LIST emptyDir", "NLST emptyDir", "RETR empty.txt",
                                         "STOR nothing.bin"));

// The sample's start and the tick of the next movement, both as the 32 bits of the counter.
struct WrapCase {
  const char* name;
  uint32_t sampleTick;
  uint32_t moveTick;
  bool posts;
};

class DataMeterWrapTest : public DataMeterFixture, public testing::WithParamInterface<WrapCase> {};

TEST_P(DataMeterWrapTest, Posts) {
  const WrapCase& w = GetParam();
  DataPeer peer(harness.network());
  ASSERT_NE(startUpload(*client, peer, "up.bin"), 0u);
  const int start = posts();
  clock().setTick(w.moveTick);
  meter().sampleTick.store(static_cast<int32_t>(w.sampleTick));
  move(peer, "up.bin", 64);
  EXPECT_EQ(posts(), start + (w.posts ? 1 : 0));
  finish(*client, peer);
}

INSTANTIATE_TEST_SUITE_P(
    Ticks, DataMeterWrapTest,
    testing::Values(
        // The signed counter passes its top between the two: only 512 ms, but a refresh at once.
        WrapCase{"SignedWrap", 0x7FFFFF00u, 0x80000100u, true},
        // The unsigned counter wraps: the age is taken across the wrap.
        WrapCase{"UnsignedWrapYoung", 0xFFFFFF00u, 0x00000100u, false},
        WrapCase{"UnsignedWrapOld", 0xFFFFFF00u, 0x00000100u + 2000u, true},
        WrapCase{"SampleAheadOfNow", 20000u, 15000u, true},
        WrapCase{"Young", 10000u, 11500u, false},
        WrapCase{"ExactlyTwoSeconds", 10000u, 12000u, true}),
    caseName<WrapCase>);

TEST_F(DataMeterTest, TheNewestConnectionTakesTheTrackingOver) {
  auto other = connectAndLogin();
  ASSERT_NE(other, nullptr);

  DataPeer firstPeer(harness.network());
  const uint32_t first = startUpload(*client, firstPeer, "first.bin");
  ASSERT_NE(first, 0u);
  move(firstPeer, "first.bin", 10);
  EXPECT_EQ(meter().totalBytes.load(), 10);

  DataPeer secondPeer(harness.network());
  const uint32_t second = startUpload(*other, secondPeer, "second.bin");
  ASSERT_NE(second, 0u);
  EXPECT_NE(second, first);
  EXPECT_EQ(meter().totalBytes.load(), 0);

  // The older connection no longer counts, nor asks for a refresh with an old sample.
  const int start = posts();
  clock().advance(3000);
  move(firstPeer, "first.bin", 100);
  EXPECT_EQ(meter().totalBytes.load(), 0);
  EXPECT_EQ(meter().bytesSinceSample.load(), 0);
  EXPECT_EQ(posts(), start);
  move(secondPeer, "second.bin", 20);
  EXPECT_EQ(meter().totalBytes.load(), 20);
  EXPECT_EQ(posts(), start + 1);

  // Closing the older one leaves the newer one tracked; closing that one ends the tracking.
  finish(*client, firstPeer);
  EXPECT_EQ(meter().trackedConnection.load(), second);
  move(secondPeer, "second.bin", 5);
  EXPECT_EQ(meter().totalBytes.load(), 25);
  finish(*other, secondPeer);
  EXPECT_EQ(meter().trackedConnection.load(), 0u);
  EXPECT_EQ(readFile(store() / "first.bin"), std::string(110, 'x'));
  EXPECT_EQ(readFile(store() / "second.bin"), std::string(25, 'x'));
}

}  // namespace
}  // namespace drovn::protocol::test
