#include <gtest/gtest.h>

#include <cerrno>
#include <latch>

#include "protocol/Dispatcher.h"
#include "support/ServiceHarness.h"

namespace drovn::core {
namespace {

using namespace std::chrono_literals;
using test::FtpClient;
using test::ServiceHarness;
using Lines = std::vector<std::string>;

// The log without the lines on the machine's own name and addresses, the port shown as P.
Lines serviceLog(ServiceHarness& harness) {
  Lines out;
  for (const std::string& l : harness.lines()) {
    const bool machine = l.starts_with("主机名称: ") || l.starts_with("找到IP: ");
    if (machine || l.starts_with("警告: ")) continue;
    out.push_back(l == "监听端口: " + std::to_string(harness.port()) ? "监听端口: P" : l);
  }
  return out;
}

// Listening with session #1, then a Start and a Stop, which ends the session as `ended` says.
Lines listened(const char* first, Lines ended = {"#1>Disconnected.", "服务线程退出."}) {
  Lines log{first, "服务已启动.", "监听端口: P", "服务地址: ftp://127.0.0.1",
            "#1>Connected from 127.0.0.1", "220 Server ready...", "Already started.",
            "正在停止..."};
  log.insert(log.end(), ended.begin(), ended.end());
  log.push_back("服务已停止.");
  return log;
}

enum class State { Stopped, Launching, Launched, Listening, PortTaken, SessionStuck };
struct StateCase {
  const char* name;
  State state;
  std::vector<uint64_t> checks;  // the fake time slept by each NetworkCheck
  Lines logged;                  // with a Start and a Stop in that state
};
class StartStopTest : public testing::TestWithParam<StateCase> {};

TEST_P(StartStopTest, StartStopAndStartAgain) {
  const StateCase& c = GetParam();
  std::latch entered(1);
  std::latch release(1);
  // BLOCK stands for a command stuck in the platform: it ignores closing and its sockets.
  auto dispatch = [&](protocol::Session& s, protocol::Text& line) {
    if (line != "BLOCK") return protocol::dispatchCommand(s, line);
    entered.count_down();
    release.wait();
    return 1;
  };
  ServiceHarness harness({.clockSpeed = 0, .dispatch = dispatch});
  std::unique_ptr<FtpClient> client;
  if (c.state == State::Launching) {
    harness.clock().holdSleeps();  // in the launch delay until the Stop waits for the thread
    harness.service().startServiceAtLaunch();
  } else if (c.state == State::PortTaken) {
    harness.faults().failBinds(EADDRINUSE);  // as if the port were held elsewhere
    harness.service().startService();
    ASSERT_TRUE(harness.waitForLine("绑定端口出错: 10048 端口已被占用"));
    harness.faults().failBinds(0);
  } else if (c.state != State::Stopped) {
    ASSERT_TRUE(harness.startListening(10s, c.state == State::Launched));
    client = harness.connectClient();  // a session for the Stop to end
    ASSERT_TRUE(client && harness.waitForLine("220 Server ready..."));
    if (c.state == State::SessionStuck) {
      ASSERT_TRUE(client->send("BLOCK\r\n"));
      entered.wait();
    }
  }
  EXPECT_EQ(harness.networkChecks(), c.checks);
  if (c.state != State::Stopped) harness.service().startService();
  const auto before = std::chrono::steady_clock::now();
  harness.service().stopService();
  // Bounded waits, 8000 ms for a session on a clock that lets them pass ten times as fast.
  EXPECT_LT(std::chrono::steady_clock::now() - before, 5s);
  release.count_down();  // the stuck thread wakes, sees it must end and writes nothing more
  EXPECT_FALSE(harness.service().running());
  EXPECT_EQ(harness.service().abandonedThreads(), c.state == State::SessionStuck);
  EXPECT_TRUE(!client || client->waitClosed());  // a stuck session's socket is closed for it

  // Whatever the state was, the next Start is a plain one, on the same port once it listened.
  const uint16_t port = harness.port();
  ASSERT_TRUE(harness.startListening());
  EXPECT_TRUE(port == 0 || harness.port() == port);
  const auto again = harness.connectClient();
  const auto greeted = [&] { return harness.count("220 Server ready...") == (client ? 2 : 1); };
  ASSERT_TRUE(again && test::eventually(greeted));
  const std::string next = client ? "#2>" : "#1>";
  Lines expected = c.logged;
  expected.insert(expected.end(), {"正在启动...", "服务已启动.", "监听端口: P",
                                   "服务地址: ftp://127.0.0.1", next + "Connected from 127.0.0.1",
                                   "220 Server ready..."});
  harness.service().stopService();
  ASSERT_TRUE(harness.releaseService());
  Lines log = serviceLog(harness);
  // The listening thread may be given up on too while it waits for a stuck session.
  if (c.state == State::SessionStuck) std::erase(log, "服务线程退出.");
  log.resize(std::min(log.size(), expected.size()));
  EXPECT_EQ(log, expected);
}

INSTANTIATE_TEST_SUITE_P(
    States, StartStopTest,
    testing::Values(StateCase{"Stopped", State::Stopped, {}, {}},
                    StateCase{"Launching", State::Launching, {},
                              {"准备启动FTP服务...", "Already started.", "已取消."}},
                    StateCase{"Launched", State::Launched, {2000}, listened("准备启动FTP服务...")},
                    StateCase{"Listening", State::Listening, {0}, listened("正在启动...")},
                    StateCase{"PortTaken", State::PortTaken, {0},
                              {"正在启动...", "绑定端口出错: 10048 端口已被占用",
                               "Already started.", "服务已停止."}},
                    StateCase{"SessionStuck", State::SessionStuck, {0},
                              listened("正在启动...", {"#1>Force killed", "#1>Disconnected"})}),
    [](const auto& p) { return std::string(p.param.name); });

// bind_listenIp narrows the listener to one address; a setting the service cannot use keeps it
// from starting at all.
TEST(ListenSettings, TheListenerBindsTheAddressAndABadSettingStopsTheStart) {
  ServiceHarness harness({.clockSpeed = 0});
  harness.editSettings([](config::Settings& s) { s.bind_listenIp.assign("127.0.0.1"); });
  ASSERT_TRUE(harness.startListening());
  // Another address of this machine is turned away; 127.0.0.1 is served.
  platform::Socket other;
  ASSERT_FALSE(harness.network().openTcp(other));
  EXPECT_EQ(harness.network().connect(other, {.port = platform::hostToNet16(harness.port()),
                                              .address = platform::inetAddr("127.0.0.2")}),
            std::errc::connection_refused);
  EXPECT_NE(harness.connectClient(), nullptr);
  harness.service().stopService();
  harness.editSettings([](config::Settings& s) { s.pasv_portRange.assign("9-1"); });
  harness.service().startService();
  EXPECT_TRUE(
      harness.waitForLine("设置无效: pasv_portRange=\"9-1\", 应为 LOW-HIGH (1 <= LOW <= "
                          "HIGH <= 65535) 或空. 服务未启动."));
  EXPECT_FALSE(harness.service().running());
}

// Fifty sessions end in one of the ways clients leave; the next client waits until then.
using Leave = std::pair<const char*, void (*)(FtpClient&)>;
class SessionLimitTest : public testing::TestWithParam<Leave> {};

TEST_P(SessionLimitTest, TheFiftyFirstClientWaitsForAFreeSlot) {
  ServiceHarness harness({.clockSpeed = 0});
  ASSERT_TRUE(harness.startListening());
  std::vector<std::unique_ptr<FtpClient>> clients;
  for (int i = 0; i < kMaxSessions; ++i) {
    clients.push_back(harness.connectClient());
    ASSERT_NE(clients.back(), nullptr) << "client " << i + 1;
  }
  FtpClient waiting(harness.network());
  ASSERT_TRUE(waiting.connect(harness.port()));  // queued by the system
  EXPECT_EQ(waiting.readFor(300ms), "");
  for (auto& client : clients) GetParam().second(*client);
  EXPECT_EQ(waiting.readLine().value_or("<none>"), "220 Server ready...\r\n");
  EXPECT_TRUE(harness.waitForLine("#51>Connected from 127.0.0.1"));
  // Every other slot came back too.
  EXPECT_TRUE(test::eventually([&] { return harness.service().sessionCount() == 1; }));
}

INSTANTIATE_TEST_SUITE_P(
    Clients, SessionLimitTest,
    testing::Values(Leave{"Quit", [](FtpClient& c) { c.send("QUIT\r\n"); }},
                    Leave{"Close", [](FtpClient& c) { c.close(); }},
                    Leave{"LongLine", [](FtpClient& c) { c.send(std::string(3000, 'A')); }}),
    [](const auto& p) { return std::string(p.param.first); });

}  // namespace
}  // namespace drovn::core
