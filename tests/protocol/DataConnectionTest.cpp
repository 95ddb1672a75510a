// Data connections and listings: where PORT sends the data and which forms it takes, what PASV
// announces, hosts other than the client's turned away, the limits of both waits, and LIST and
// NLST byte for byte.
#include <chrono>
#include <filesystem>
#include <map>
#include <string>

#include "ProtocolTestSupport.h"

namespace drovn::protocol::test {
namespace {

namespace fs = std::filesystem;

constexpr char kSyntaxError[] = "500 Syntax error.\r\n";
constexpr char kOpenFailed[] = "425 Failed to open data connection.\r\n";

// A logged-in client, a store with a.txt, and limits of their own: the passive wait's (36 s of
// the fake clock, a third of a second here) and an active connect of 400 ms.
class DataTest : public ProtocolTest {
 protected:
  DataTest()
      : ProtocolTest(
            {.limits = {.idleSeconds = 86400, .passiveAcceptMs = 36000, .activeConnectMs = 400}}) {}
  void SetUp() override {
    ProtocolTest::SetUp();
    writeFile(store() / "a.txt", "hello");
    client = connect();
    ASSERT_NE(client, nullptr);
  }
  void expectRetr(Mode mode) {
    std::string reply;
    EXPECT_EQ(download(*client, mode, "RETR a.txt", reply), "hello");
    EXPECT_EQ(reply, kCompleted);
  }
  std::unique_ptr<FtpClient> client;
};

// Every form of the PORT argument names the peer's port (the fields carry into each other); a
// refused one changes nothing, and data goes only to the client's own host.
TEST_F(DataTest, PortFormsAndRefusals) {
  DataPeer peer(harness.network());
  const int port = passivePort("227 (" + peer.listen() + ")");
  ASSERT_GT(port, 256);  // ports the system gives out: every form below has its numbers
  const std::string h = std::to_string(port / 256), l = std::to_string(port % 256);
  const std::string p = std::to_string(port), h1 = std::to_string(port / 256 + 256);
  for (const std::string& argument :
       {"127,0,0,1," + h + "," + l, "127,0,0,1," + h1 + "," + l, "127,0,0,1,0," + p,
        "127,0,0,1," + std::to_string(port / 256 - 1) + "," + std::to_string(port % 256 + 256),
        "127,0,0,1,00" + h + ",0" + l, "127,0,0,1," + h + "x," + l + "junk",
        "127,,0,0,1," + h + "," + l, ",127,0,0,,1," + h + "," + l + ",,"}) {
    SCOPED_TRACE(argument);
    ASSERT_EQ(ask(*client, "PORT " + argument), kPortOk);
    ASSERT_EQ(ask(*client, "RETR a.txt"), kActiveOpening);
    ASSERT_TRUE(peer.accept());
    EXPECT_EQ(peer.readAll(), "hello");
    EXPECT_EQ(client->readLine(), kCompleted);
  }
  const int connects = harness.faults().connects();
  for (const char* argument : {"127,0,0,1,4", "127,0,0,1,4,1,7", ",,,,,,", "127.0.0.1.4.1"}) {
    EXPECT_EQ(ask(*client, std::string("PORT ") + argument), kSyntaxError) << argument;
  }
  for (const auto& [argument, host] :
       {std::pair{"127,0,0,2,4,1", "127.0.0.2"}, std::pair{"192,168,1,20,4,1", "192.168.1.20"},
        std::pair{"10,0,0,1,300,2", "10.0.0.1"}}) {
    EXPECT_EQ(ask(*client, std::string("PORT ") + argument), kSyntaxError) << argument;
    EXPECT_TRUE(harness.waitForLine(std::string("PORT to ") + host + " refused")) << argument;
  }
  EXPECT_EQ(harness.faults().connects(), connects);
  ASSERT_EQ(ask(*client, "RETR a.txt"), kActiveOpening);
  ASSERT_TRUE(peer.accept());
  EXPECT_EQ(peer.readAll(), "hello");
  EXPECT_EQ(client->readLine(), kCompleted);
}

// PASV announces 127.0.0.1 and its port. Another host there is turned away at once; a client
// that never connects is told so at the limit; the next transfer waits on the same listener.
TEST_F(DataTest, PassiveFromAnotherHostAndAtTheLimit) {
  const std::string reply = ask(*client, "PASV");
  const uint16_t port = passivePort(reply);
  EXPECT_EQ(reply, "227 (" + portArgument(port) + ") Entering passive mode...\r\n");
  ASSERT_TRUE(client->send("RETR a.txt\r\n"));
  DataPeer stranger(harness.network());
  ASSERT_TRUE(stranger.connectTo(port, 0x7F000002));
  EXPECT_EQ(stranger.readAll().value_or("<reset>").size(), 0u);
  EXPECT_TRUE(harness.waitForLine("Passive connection from 127.0.0.2 refused"));
  EXPECT_EQ(client->readLine(), kOpenFailed);
  EXPECT_TRUE(harness.waitForLine("Passive connection timeout"));
  ASSERT_TRUE(client->send("RETR a.txt\r\n"));
  DataPeer peer(harness.network());
  ASSERT_TRUE(peer.connectTo(port));
  EXPECT_EQ(client->readLine(), kPassiveOpened);
  EXPECT_EQ(peer.readAll(), "hello");
  EXPECT_EQ(client->readLine(), kCompleted);
}

// A host that drops our connection attempts (a listener whose one-place queue is full makes
// the system drop them, as a firewall would), then one that refuses them.
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
  EXPECT_EQ(ask(*client, "NOOP"), kNoop);
}

void setLastWrite(const fs::path& p, int y, unsigned mo, unsigned d, int h, int mi) {
  using namespace std::chrono;
  const sys_seconds utc = sys_days{year{y} / month{mo} / day{d}} + hours{h} + minutes{mi};
  fs::last_write_time(p, file_clock::from_sys(utc));
}

class ListingTest : public ProtocolTest, public testing::WithParamInterface<Mode> {};

// Non-directories come first, then directories, each in the directory's own order. The date
// shows hour and minute in the device clock's year, else the year (even last December); entry
// times are the UTC fields of the last write.
TEST_P(ListingTest, LinesByteForByte) {
  harness.clock().setNow({2026, 6, 15, 10, 30, 0});
  const fs::path d = store() / "d";
  const std::string f = "-rw-rw-rw-   1 user     group ", dir = "drw-rw-rw-   1 user     group ";
  const std::map<std::string, std::string> lines = {
      {"b.txt", f + "         5 Mar  4  9:05 b.txt"},
      {"two", f + "2147483648 Jan  1  0:00 two"},
      {"three", f + "3221225472 Dec 31 23:59 three"},
      {"five", f + "5368709120 Dec 31  2025 five"},
      {"0sub", dir + "         0 Jul 20  1999 0sub"},  // a directory with content shows 0
      {"with space", dir + "         0 Jan  1  2027 with space"}};
  writeFile(d / "b.txt", "12345");
  writeFile(d / "0sub" / "inner.txt", "1234567");
  fs::create_directory(d / "with space");
  for (const auto& [name, size] : {std::pair{"two", 2ull << 30}, std::pair{"three", 3ull << 30},
                                   std::pair{"five", 5ull << 30}}) {
    writeFile(d / name, "");
    fs::resize_file(d / name, size);  // sparse
  }
  setLastWrite(d / "b.txt", 2026, 3, 4, 9, 5);
  setLastWrite(d / "two", 2026, 1, 1, 0, 0);
  setLastWrite(d / "three", 2026, 12, 31, 23, 59);
  setLastWrite(d / "five", 2025, 12, 31, 23, 59);
  setLastWrite(d / "0sub" / "inner.txt", 2026, 10, 10, 10, 10);
  setLastWrite(d / "0sub", 1999, 7, 20, 14, 0);
  setLastWrite(d / "with space", 2027, 1, 1, 0, 0);
  std::string files, dirs, names, dirNames;
  for (const fs::directory_entry& e : fs::directory_iterator(d)) {
    const std::string name = e.path().filename().string();
    (e.is_directory() ? dirs : files) += lines.at(name) + "\r\n";
    (e.is_directory() ? dirNames : names) += name + "\r\n";
  }
  auto client = connect();
  ASSERT_NE(client, nullptr);
  ASSERT_EQ(ask(*client, "CWD d/0sub"), "250 Directory changed to /d/0sub\r\n");
  for (const auto& [command, listing] :
       {std::pair{"LIST ..", files + dirs}, std::pair{"LIST -al /d", files + dirs},
        std::pair{"NLST ..", names + dirNames}, std::pair{"NLST -l ../", files + dirs},
        std::pair{"NLST /d/with space", std::string()},
        std::pair{"LIST", f + "         7 Oct 10 10:10 inner.txt\r\n"}}) {
    SCOPED_TRACE(command);
    std::string reply;
    EXPECT_EQ(download(*client, GetParam(), command, reply), listing);
    ASSERT_EQ(reply, kCompleted);
  }
  // Refused before any data connection: a file, a missing path, a second or reversed option.
  DataPeer peer(harness.network());
  ASSERT_EQ(ask(*client, "PORT " + peer.listen()), kPortOk);
  for (const char* command :
       {"LIST inner.txt", "LIST missing", "LIST -l -a", "NLST -la", "NLST two words"}) {
    EXPECT_EQ(ask(*client, command), kAccessDenied) << command;
  }
  EXPECT_FALSE(peer.accept());
}

INSTANTIATE_TEST_SUITE_P(BothModes, ListingTest, testing::Values(Mode::Active, Mode::Passive),
                         modeName);

}  // namespace
}  // namespace drovn::protocol::test
