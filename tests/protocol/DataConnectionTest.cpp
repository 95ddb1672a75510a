// Data connections: where PORT sends them and which forms it takes, what PASV announces, hosts
// other than the client's turned away, and the limits of both waits.
#include <string>

#include "ProtocolTestSupport.h"
#include "platform/ErrorCodes.h"

namespace drovn::protocol::test {
namespace {

constexpr char kSyntaxError[] = "500 Syntax error.\r\n";
constexpr char kOpenFailed[] = "425 Failed to open data connection.\r\n";

// A logged-in client, a store with a.txt, and limits of their own: the passive wait's (36 s of
// the fake clock, a third of a second here) and an active connect of 400 ms.
class DataTest : public ProtocolTest {
 protected:
  DataTest()
      : ProtocolTest(drovn::test::HarnessOptions{
            .limits = {.idleSeconds = 86400, .passiveAcceptMs = 36000, .activeConnectMs = 400}}) {}
  void SetUp() override {
    ProtocolTest::SetUp();
    if (HasFatalFailure()) return;
    writeFile(store() / "a.txt", "hello");
    client = connectAndLogin();
    ASSERT_NE(client, nullptr);
  }
  // RETR a.txt over the peer's connection: the mode's replies and the file.
  void expectRetr(DataPeer& peer, Mode mode, uint16_t port = 0) {
    ASSERT_TRUE(client->send("RETR a.txt\r\n"));
    const bool connected = mode == Mode::Passive ? peer.connectTo(port) : true;
    EXPECT_EQ(client->readLine(), mode == Mode::Active ? kActiveOpening : kPassiveOpened);
    ASSERT_TRUE(connected && (mode == Mode::Passive || peer.accept()));
    EXPECT_EQ(peer.readAll(), "hello");
    EXPECT_EQ(client->readLine(), kCompleted);
  }
  std::unique_ptr<FtpClient> client;
};

// Every form of the PORT argument names the peer's port; the fields carry into each other.
TEST_F(DataTest, PortFormsReachThePeer) {
  DataPeer peer(harness.network());
  ASSERT_FALSE(peer.listen().empty());
  const uint16_t port = peer.listeningPort();
  ASSERT_GT(port, 256);  // ports the system gives out: every form below has its numbers
  const std::string h = std::to_string(port / 256), l = std::to_string(port % 256);
  for (const std::string& argument :
       {"127,0,0,1," + h + "," + l, "127,0,0,1," + std::to_string(port / 256 + 256) + "," + l,
        "127,0,0,1," + std::to_string(port / 256 - 1) + "," + std::to_string(port % 256 + 256),
        "127,0,0,1,0," + std::to_string(port), "127,0,0,1,00" + h + ",0" + l,
        "127,0,0,1," + h + "x," + l + "junk", "127,,0,0,1," + h + "," + l,
        ",127,0,0,,1," + h + "," + l + ",,"}) {
    SCOPED_TRACE(argument);
    ASSERT_EQ(ask(*client, "PORT " + argument), kPortOk);
    ASSERT_NO_FATAL_FAILURE(expectRetr(peer, Mode::Active));
  }
}

// A refused PORT changes nothing: the next transfer goes where the last good one said.
TEST_F(DataTest, RefusedPortKeepsTheEarlierAddress) {
  DataPeer peer(harness.network());
  ASSERT_EQ(ask(*client, "PORT " + peer.listen()), kPortOk);
  const int connects = harness.faults().connects();
  for (const char* argument : {"127,0,0,1,4", "127,0,0,1,4,1,7", ",,,,,,", "127.0.0.1.4.1"}) {
    EXPECT_EQ(ask(*client, std::string("PORT ") + argument), kSyntaxError) << argument;
  }
  // Data goes only to the client's own host.
  for (const auto& [argument, host] : {std::pair{"127,0,0,2,4,1", "127.0.0.2"},
                                       std::pair{"192,168,1,20,4,1", "192.168.1.20"},
                                       std::pair{"10,0,0,1,300,2", "10.0.0.1"}}) {
    EXPECT_EQ(ask(*client, std::string("PORT ") + argument), kSyntaxError) << argument;
    EXPECT_TRUE(harness.waitForLine(std::string("PORT to ") + host + " refused")) << argument;
  }
  EXPECT_EQ(harness.faults().connects(), connects);
  expectRetr(peer, Mode::Active);
}

// PASV announces 127.0.0.1 and its port; another host on the port is turned away at once, and
// the client's own connection, made after it, gets the file.
TEST_F(DataTest, PassiveConnectionFromAnotherHostIsRefused) {
  const std::string reply = ask(*client, "PASV");
  const uint16_t port = passivePort(reply);
  EXPECT_EQ(reply, "227 (" + portArgument(port) + ") Entering passive mode...\r\n");
  ASSERT_TRUE(client->send("RETR a.txt\r\n"));
  DataPeer stranger(harness.network());
  ASSERT_TRUE(stranger.connectTo(port, 0x7F000002));
  EXPECT_EQ(stranger.readAll(5s).value_or("<reset>").size(), 0u);
  EXPECT_TRUE(harness.waitForLine("Passive connection from 127.0.0.2 refused"));
  DataPeer peer(harness.network());
  ASSERT_TRUE(peer.connectTo(port));
  EXPECT_EQ(client->readLine(), kPassiveOpened);
  EXPECT_EQ(peer.readAll(), "hello");
  EXPECT_EQ(client->readLine(), kCompleted);
}

// A client that never connects is told so at the limit; the next transfer waits on the same
// listener.
TEST_F(DataTest, PassiveWaitEndsAtItsLimit) {
  const uint16_t port = passivePort(ask(*client, "PASV"));
  ASSERT_NE(port, 0);
  ASSERT_TRUE(client->send("RETR a.txt\r\n"));
  EXPECT_EQ(client->readLine(), kOpenFailed);
  EXPECT_TRUE(harness.waitForLine("Passive connection timeout"));
  EXPECT_EQ(ask(*client, "NOOP"), kNoop);
  DataPeer peer(harness.network());
  expectRetr(peer, Mode::Passive, port);
}

// A host that drops our connection attempts (a listener whose one-place queue is full makes
// the system drop them, as a firewall would), and one that refuses them.
TEST_F(DataTest, ActiveConnectGivesUpAtItsLimitOrWhenRefused) {
  platform::Network& net = harness.network();
  platform::Socket listener, queued;
  platform::SocketAddress at;
  at.address = platform::hostToNet32(0x7F000001);
  ASSERT_EQ(net.openTcp(listener), 0u);
  ASSERT_EQ(net.bind(listener, at), 0u);
  ASSERT_EQ(net.listen(listener, 0), 0u);
  ASSERT_EQ(net.localAddress(listener, at), 0u);
  ASSERT_EQ(net.openTcp(queued), 0u);
  ASSERT_EQ(net.connect(queued, at), 0u);
  ASSERT_EQ(ask(*client, "PORT " + portArgument(platform::netToHost16(at.port))), kPortOk);
  EXPECT_EQ(ask(*client, "LIST"), kActiveOpening);
  EXPECT_EQ(client->readLine(), kOpenFailed);
  EXPECT_TRUE(harness.waitForLine("Failed to connect data socket: 10060"));
  listener.close();
  EXPECT_EQ(ask(*client, "RETR a.txt"), kActiveOpening);
  EXPECT_TRUE(harness.waitForLine("Failed to connect data socket: 10061"));
  EXPECT_EQ(client->readFor(300ms), "");
}

}  // namespace
}  // namespace drovn::protocol::test
