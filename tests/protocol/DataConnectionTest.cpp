// Data connections and listings: where PORT sends the data and which forms it takes, what PASV
// announces, hosts other than the client's turned away, the limits of both waits, and LIST and
// NLST byte for byte.
#include <algorithm>
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
  // RETR a.txt to the address of the last PORT, where the peer listens.
  void retrTo(DataPeer& peer) {
    ASSERT_EQ(ask(*client, "RETR a.txt"), kActiveOpening);
    ASSERT_TRUE(peer.accept());
    EXPECT_EQ(peer.readAll(), "hello");
    EXPECT_EQ(client->readLine(), kCompleted);
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
    ASSERT_NO_FATAL_FAILURE(retrTo(peer));
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
  retrTo(peer);
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
  DataPeer full(harness.network()), queued(harness.network());
  const std::string argument = full.listen(0);
  ASSERT_TRUE(queued.connectTo(passivePort("227 (" + argument + ")")));
  ASSERT_EQ(ask(*client, "PORT " + argument), kPortOk);
  EXPECT_EQ(ask(*client, "LIST"), kActiveOpening);
  EXPECT_EQ(client->readLine(), kOpenFailed);
  EXPECT_TRUE(harness.waitForLine("Failed to connect data socket: 10060"));
  full.closeListener();
  EXPECT_EQ(ask(*client, "RETR a.txt"), kActiveOpening);
  EXPECT_TRUE(harness.waitForLine("Failed to connect data socket: 10061"));
  EXPECT_EQ(ask(*client, "NOOP"), kNoop);
}

// Two neighbouring ports that nothing on 127.0.0.1 uses at the moment, as "LOW-HIGH", below the
// system's ephemeral ports so that no client connection takes one meanwhile.
std::string freePortPair(platform::Network& network) {
  for (uint16_t low = 21000; low < 21400; low = static_cast<uint16_t>(low + 2)) {
    platform::Socket a, b;
    if (network.openTcp(a) || network.openTcp(b)) return "";
    const auto at = [](int port) {
      return platform::SocketAddress{.port = platform::hostToNet16(static_cast<uint16_t>(port))};
    };
    if (!network.bind(a, at(low)) && !network.bind(b, at(low + 1))) {
      return std::to_string(low) + "-" + std::to_string(low + 1);
    }
  }
  return "";
}

// Sessions with the standard extensions and a passive range of two ports: EPSV announces the
// port alone, EPRT names the client's own address, and a third listener finds no port until
// one of the two is let go.
class ExtendedTest : public ProtocolTest {
 protected:
  void configure(config::Settings& s) override {
    s.opt_modernClients = true;
    range = freePortPair(harness.network());
    s.pasv_portRange.assign(range);
  }
  std::string range;
};

TEST_F(ExtendedTest, EpsvEprtAndAPassiveRangeOfTwoPorts) {
  ASSERT_FALSE(range.empty());
  const auto low = static_cast<uint16_t>(std::stoi(range));
  writeFile(store() / "a.txt", "hello");
  auto first = connect(), second = connect(), third = connect();
  ASSERT_TRUE(first && second && third);
  const std::string reply = ask(*first, "EPSV");
  EXPECT_EQ(reply, "229 Entering Extended Passive Mode (|||" + std::to_string(low) + "|)\r\n");
  EXPECT_EQ(ask(*second, "PASV"),
            "227 (" + portArgument(low + 1) + ") Entering passive mode...\r\n");
  EXPECT_EQ(ask(*third, "EPSV"), kOpenFailed);
  EXPECT_TRUE(harness.waitForLine("Passive socket failed: 10048"));

  ASSERT_TRUE(first->send("RETR a.txt\r\n"));
  DataPeer peer(harness.network());
  ASSERT_TRUE(peer.connectTo(low));
  EXPECT_EQ(first->readLine(), kPassiveOpened);
  EXPECT_EQ(peer.readAll(), "hello");
  EXPECT_EQ(first->readLine(), kCompleted);
  // A listener stays until its session's next passive command or its end.
  EXPECT_EQ(ask(*third, "EPSV"), kOpenFailed);
  EXPECT_EQ(ask(*second, "QUIT"), "221 Goodbye.\r\n");
  EXPECT_TRUE(harness.waitForLine("#2>Disconnected."));
  EXPECT_EQ(ask(*third, "EPSV"),
            "229 Entering Extended Passive Mode (|||" + std::to_string(low + 1) + "|)\r\n");
  DataPeer active(harness.network());
  const uint16_t activePort = passivePort("227 (" + active.listen() + ")");
  EXPECT_EQ(ask(*first, "EPRT |1|127.0.0.1|" + std::to_string(activePort) + "|"),
            "200 EPRT command ok.\r\n");
  EXPECT_EQ(ask(*first, "RETR a.txt"), kActiveOpening);
  ASSERT_TRUE(active.accept());
  EXPECT_EQ(active.readAll(), "hello");
  EXPECT_EQ(first->readLine(), kCompleted);
}

class ListingTest : public ProtocolTest, public testing::WithParamInterface<Mode> {};

// Non-directories come first, then directories, each in the directory's own order. The date
// shows hour and minute in the device clock's year, else the year (even last December); entry
// times are the UTC fields of the last write.
TEST_P(ListingTest, LinesByteForByte) {
  harness.clock().setNow({2026, 6, 15, 10, 30, 0});
  struct Entry {
    const char* name;
    long long size;  // -1: a directory
    int y, mo, d, h, mi;
    const char* column;
  };
  const Entry entries[] = {{"b.txt", 5, 2026, 3, 4, 9, 5, "         5 Mar  4  9:05"},
                           {"two", 2ll << 30, 2026, 1, 1, 0, 0, "2147483648 Jan  1  0:00"},
                           {"three", 3ll << 30, 2026, 12, 31, 23, 59, "3221225472 Dec 31 23:59"},
                           {"five", 5ll << 30, 2025, 12, 31, 23, 59, "5368709120 Dec 31  2025"},
                           {"0sub/inner.txt", 7, 2026, 10, 10, 10, 10, "         7 Oct 10 10:10"},
                           {"0sub", -1, 1999, 7, 20, 14, 0, "         0 Jul 20  1999"},
                           {"with space", -1, 2027, 1, 1, 0, 0, "         0 Jan  1  2027"}};
  std::map<std::string, std::string> lines;
  for (const auto& e : entries) {
    const fs::path p = store() / "d" / e.name;
    fs::create_directories(e.size < 0 ? p : p.parent_path());
    if (e.size >= 0) writeFile(p, "");
    if (e.size > 0) fs::resize_file(p, static_cast<uintmax_t>(e.size));  // sparse
    using namespace std::chrono;
    const auto date = year{e.y} / month{static_cast<unsigned>(e.mo)} / e.d;
    const sys_seconds utc = sys_days{date} + hours{e.h} + minutes{e.mi};
    fs::last_write_time(p, file_clock::from_sys(utc));
    lines[e.name] = std::string(e.size < 0 ? "d" : "-") + "rw-rw-rw-   1 user     group " +
                    e.column + " " + p.filename().string() + "\r\n";
  }
  std::string files, dirs, names, dirNames;
  for (const fs::directory_entry& e : fs::directory_iterator(store() / "d")) {
    const std::string name = e.path().filename().string();
    (e.is_directory() ? dirs : files) += lines.at(name);
    (e.is_directory() ? dirNames : names) += name + "\r\n";
  }
  auto client = connect();
  ASSERT_NE(client, nullptr);
  ASSERT_EQ(ask(*client, "CWD d/0sub"), "250 Directory changed to /d/0sub\r\n");
  for (const auto& [command, listing] :
       {std::pair{"LIST ..", files + dirs}, std::pair{"LIST -al /d", files + dirs},
        std::pair{"NLST ..", names + dirNames}, std::pair{"NLST -l ../", files + dirs},
        std::pair{"NLST /d/with space", std::string()},
        std::pair{"LIST", lines.at("0sub/inner.txt")}}) {
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
  // A directory whose path all but fills a path text lists its entries in full all the same.
  fs::path deep = store() / "d";
  ASSERT_EQ(ask(*client, "CWD /d").substr(0, 4), "250 ");
  for (const std::size_t length : {255u, 255u, 255u, 255u, 255u, 255u, 255u, 249u}) {
    deep /= std::string(length, 'x');
    fs::create_directory(deep);
    ASSERT_EQ(ask(*client, "CWD " + deep.filename().string()).substr(0, 4), "250 ");
  }
  writeFile(deep / "inner", "");
  std::string reply;
  EXPECT_EQ(download(*client, GetParam(), "NLST", reply), "inner\r\n");
  EXPECT_EQ(download(*client, GetParam(), "LIST", reply).substr(0, 10), "-rw-rw-rw-");

  // A listing longer than the transfer buffer arrives whole, in the order read.
  const std::string tail(200, 'n');
  std::string many;
  for (int i = 0; i < 3000; ++i) writeFile(store() / "many" / (std::to_string(i) + tail), "");
  for (const fs::directory_entry& e : fs::directory_iterator(store() / "many"))
    many += e.path().filename().string() + "\r\n";
  ASSERT_EQ(ask(*client, "CWD /many").substr(0, 4), "250 ");
  EXPECT_EQ(download(*client, GetParam(), "NLST", reply), many);
  EXPECT_EQ(reply, kCompleted);
  const std::string list = download(*client, GetParam(), "LIST", reply);
  EXPECT_EQ(std::count(list.begin(), list.end(), '\n'), 3000);
  EXPECT_EQ(reply, kCompleted);
}

INSTANTIATE_TEST_SUITE_P(BothModes, ListingTest, testing::Values(Mode::Active, Mode::Passive),
                         modeName);

}  // namespace
}  // namespace drovn::protocol::test
