#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <latch>
#include <string>
#include <vector>

#include "core/ServiceController.h"
#include "protocol/Dispatcher.h"
#include "support/ServiceHarness.h"

namespace drovn::core {
namespace {

using namespace std::chrono_literals;
using test::FtpClient;
using test::HarnessOptions;
using test::ServiceHarness;

constexpr char kGreeting[] = "220 Server ready...\r\n";

// True when nothing holds the port now (binding it on all addresses succeeds).
bool portIsFree(platform::Network& network, uint16_t port) {
  platform::Socket probe;
  if (network.openTcp(probe) != 0) return false;
  platform::SocketAddress any;
  any.port = platform::hostToNet16(port);
  return network.bind(probe, any) == 0;
}

// Holds a port the way another program would: bound and listening.
struct PortHolder {
  explicit PortHolder(platform::Network& network) {
    port = ServiceHarness::findFreePort(network);
    platform::SocketAddress any;
    any.port = platform::hostToNet16(port);
    ok = network.openTcp(socket) == 0 && network.bind(socket, any) == 0 &&
         network.listen(socket, 1) == 0;
  }
  platform::Socket socket;
  uint16_t port = 0;
  bool ok = false;
};

// Index of the first line equal to `line`; -1 when there is none.
int indexOf(const std::vector<std::string>& lines, std::string_view line) {
  for (std::size_t i = 0; i < lines.size(); ++i) {
    if (lines[i] == line) return static_cast<int>(i);
  }
  return -1;
}

TEST(ServiceControllerLaunchTest, TheFirstLookComesAfterTwoSecondsOfLaunchDelay) {
  ServiceHarness harness;
  harness.useFreePort();
  harness.service().startServiceAtLaunch();
  ASSERT_TRUE(harness.waitForLineStartingWith("服务地址: ").has_value());

  const auto lines = harness.lines();
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines.front(), "准备启动FTP服务...");
  const auto checks = harness.networkChecks();
  ASSERT_EQ(checks.size(), 1u);
  // Only the listening thread sleeps before it asks the window: twenty steps of 100 ms.
  EXPECT_EQ(checks[0].sleptMs, 2000u);
  EXPECT_EQ(harness.service().port(), harness.port());
  EXPECT_TRUE(harness.hasLine("服务已启动."));
  EXPECT_TRUE(harness.hasLine("服务地址: ftp://127.0.0.1"));
}

TEST(ServiceControllerLaunchTest, StopDuringTheLaunchDelayOnlyCancels) {
  // Real-time speed, so the stop surely lands inside the two seconds.
  ServiceHarness harness(HarnessOptions{.clockSpeed = 1});
  harness.useFreePort();
  harness.service().startServiceAtLaunch();
  EXPECT_TRUE(harness.service().running());
  ASSERT_TRUE(harness.waitForLine("准备启动FTP服务..."));

  const auto before = std::chrono::steady_clock::now();
  harness.service().stopService();
  EXPECT_LT(std::chrono::steady_clock::now() - before, 1500ms);
  EXPECT_FALSE(harness.service().running());
  EXPECT_TRUE(harness.waitForLine("已取消."));
  EXPECT_EQ(harness.count("服务已停止."), 0);
  EXPECT_TRUE(harness.networkChecks().empty());

  // A later Start is a plain one, with no launch delay.
  ASSERT_TRUE(harness.startListening());
  EXPECT_TRUE(harness.hasLine("正在启动..."));
}

TEST(ServiceControllerTest, StopOfAStoppedServiceLogsNothing) {
  ServiceHarness harness;
  harness.service().stopService();
  EXPECT_TRUE(harness.lines().empty());
  EXPECT_FALSE(harness.service().running());
}

enum class StartState { Starting, Listening, Failed };

class AlreadyStartedTest : public testing::TestWithParam<StartState> {};

TEST_P(AlreadyStartedTest, StartAgainChangesNothing) {
  ServiceHarness harness(HarnessOptions{.clockSpeed = GetParam() == StartState::Starting ? 1u : 100u});
  PortHolder holder(harness.network());
  ASSERT_TRUE(holder.ok);
  switch (GetParam()) {
    case StartState::Starting:
      harness.useFreePort();
      harness.service().startServiceAtLaunch();  // two real seconds of launch delay
      break;
    case StartState::Listening:
      ASSERT_TRUE(harness.startListening());
      break;
    case StartState::Failed:
      harness.announceLoopback(std::to_string(holder.port));
      harness.service().startService();
      ASSERT_TRUE(harness.waitForLineStartingWith("绑定端口出错").has_value());
      break;
  }
  const bool listeningBefore = harness.service().listening();
  const std::size_t linesBefore = harness.lines().size();

  harness.service().startService();
  const auto lines = harness.lines();
  ASSERT_EQ(lines.size(), linesBefore + 1);
  EXPECT_EQ(lines.back(), "Already started.");
  EXPECT_TRUE(harness.service().running());
  EXPECT_EQ(harness.service().listening(), listeningBefore);
}

INSTANTIATE_TEST_SUITE_P(States, AlreadyStartedTest,
                         testing::Values(StartState::Starting, StartState::Listening,
                                         StartState::Failed));

struct PortCase {
  const char* name;
  std::string text;  // bind_manualport
  uint16_t port;     // what it gives
};

class PortRuleTest : public testing::TestWithParam<PortCase> {};

TEST_P(PortRuleTest, TheConfiguredTextGivesThePort) {
  ServiceHarness harness;
  const uint16_t port = GetParam().port;
  // Port 0 is never held; another port is only checked when nothing holds it now.
  const bool free = port == 0 || portIsFree(harness.network(), port);
  harness.announceLoopback(GetParam().text);
  harness.service().startService();

  // Listening, or a port that something else holds.
  ASSERT_TRUE(harness.waitForLineStartingWithAny({"服务地址: ", "绑定"}).has_value());
  EXPECT_EQ(harness.service().port(), port);
  if (!free) GTEST_SKIP() << "port " << port << " is in use here";

  EXPECT_TRUE(harness.hasLine("监听端口: " + std::to_string(port)));
  EXPECT_TRUE(harness.hasLine("服务地址: ftp://127.0.0.1"));
  if (port != 0) {
    FtpClient client(harness.network());
    ASSERT_TRUE(client.connect(port));
    EXPECT_EQ(client.readLine().value_or("<none>"), kGreeting);
  }
}

INSTANTIATE_TEST_SUITE_P(Texts, PortRuleTest,
                         testing::Values(PortCase{"Plain", "2121", 2121}, PortCase{"Empty", "", 21},
                                         PortCase{"NoDigits", "abc", 0},
                                         PortCase{"LowSixteenBits", "70000", 4464},
                                         PortCase{"BlanksSignAndTrailer", " \t+2122x", 2122},
                                         PortCase{"Negative", "-65535", 1},
                                         PortCase{"BeyondTheIntRange", "99999999999", 65535}),
                         [](const testing::TestParamInfo<PortCase>& param) {
                           return param.param.name;
                         });

TEST(ServiceControllerTest, WithoutManualAddressThePortIs21AndTheFoundAddressIsAnnounced) {
  ServiceHarness harness;
  harness.editSettings([](config::Settings& s) {
    s.use_manualip = false;
    s.bind_manualport.assign("2121");  // ignored without use_manualip
  });
  harness.service().startService();
  // Listening, or a port that something else holds.
  ASSERT_TRUE(harness.waitForLineStartingWithAny({"服务地址: ", "绑定"}).has_value());
  EXPECT_EQ(harness.service().port(), 21);
  ASSERT_TRUE(harness.waitForLineStartingWith("主机名称: ").has_value());
  const auto found = harness.waitForLineStartingWith("找到IP: ");
  ASSERT_TRUE(found.has_value());
  FixedText<2048> announced;
  harness.service().copyServerAddress(announced);
  EXPECT_EQ(*found, "找到IP: " + std::string(announced.view()));
}

TEST(ServiceControllerTest, APortHeldElsewhereFailsTheStartButTheServiceStaysMarkedRunning) {
  ServiceHarness harness;
  PortHolder holder(harness.network());
  ASSERT_TRUE(holder.ok);
  harness.announceLoopback(std::to_string(holder.port));
  harness.service().startService();

  EXPECT_TRUE(harness.waitForLine("绑定端口出错: 10048 端口已被占用"));
  EXPECT_TRUE(harness.service().running());
  EXPECT_FALSE(harness.service().listening());
  EXPECT_EQ(harness.count("服务已启动."), 0);

  harness.service().stopService();
  EXPECT_FALSE(harness.service().running());
  EXPECT_EQ(harness.lines().back(), "服务已停止.");
}

TEST(ServiceControllerTest, TheFiftyFirstClientWaitsUntilASessionEnds) {
  // A slower clock: stopping fifty sessions must fit the stop's bounded waits.
  ServiceHarness harness(HarnessOptions{.clockSpeed = 10});
  ASSERT_TRUE(harness.startListening());
  std::vector<std::unique_ptr<FtpClient>> clients;
  for (int i = 0; i < kMaxSessions; ++i) {
    clients.push_back(harness.connectClient());
    ASSERT_NE(clients.back(), nullptr) << "client " << i + 1;
  }
  ASSERT_TRUE(harness.waitForSessionCount(kMaxSessions));

  FtpClient waiting(harness.network());
  ASSERT_TRUE(waiting.connect(harness.port()));  // queued by the system
  EXPECT_EQ(waiting.readFor(500ms), "");
  EXPECT_EQ(harness.count("#51>Connected from 127.0.0.1"), 0);

  ASSERT_TRUE(clients[17]->send("QUIT\r\n"));
  EXPECT_EQ(waiting.readLine(5s).value_or("<none>"), kGreeting);
  EXPECT_TRUE(harness.waitForLine("#18>Disconnected."));
  EXPECT_TRUE(harness.waitForLine("#51>Connected from 127.0.0.1"));
  EXPECT_TRUE(harness.waitForSessionCount(kMaxSessions));

  harness.service().stopService();
  EXPECT_EQ(harness.service().sessionCount(), 0);
  EXPECT_FALSE(harness.service().abandonedThreads());
  EXPECT_EQ(harness.lines().back(), "服务已停止.");
  for (auto& client : clients) EXPECT_TRUE(client->waitClosed());
  EXPECT_TRUE(waiting.waitClosed());
}

TEST(ServiceControllerTest, SessionNumbersContinueAcrossStopAndStart) {
  ServiceHarness harness;
  ASSERT_TRUE(harness.startListening());
  for (int n = 1; n <= 2; ++n) {
    auto client = harness.connectClient();
    ASSERT_NE(client, nullptr);
    ASSERT_TRUE(client->send("QUIT\r\n"));
    EXPECT_TRUE(client->waitClosed());
  }
  auto left = harness.connectClient();  // still connected at the stop
  ASSERT_NE(left, nullptr);
  ASSERT_TRUE(harness.waitForLine("#3>Connected from 127.0.0.1"));
  harness.service().stopService();
  EXPECT_TRUE(left->waitClosed());
  EXPECT_TRUE(harness.waitForLine("#3>Disconnected."));
  EXPECT_TRUE(harness.hasLine("服务线程退出."));
  EXPECT_EQ(harness.lines().back(), "服务已停止.");

  harness.useFreePort();
  ASSERT_TRUE(harness.startListening());
  auto client = harness.connectClient();
  ASSERT_NE(client, nullptr);
  EXPECT_TRUE(harness.waitForLine("#4>Connected from 127.0.0.1"));
  EXPECT_EQ(harness.count("#1>Connected from 127.0.0.1"), 1);
}

TEST(ServiceControllerTest, AStartAfterStopWithSessionsListensOnTheSamePortAgain) {
  ServiceHarness harness;
  ASSERT_TRUE(harness.startListening());
  auto client = harness.connectClient();
  ASSERT_NE(client, nullptr);
  harness.service().stopService();
  EXPECT_TRUE(client->waitClosed());
  // The connection the service closed may still linger; the port is free for listening.
  ASSERT_TRUE(harness.startListening());
  EXPECT_EQ(harness.count("服务已启动."), 2);
  auto again = harness.connectClient();
  ASSERT_NE(again, nullptr);
  EXPECT_TRUE(harness.waitForLine("#2>Connected from 127.0.0.1"));
}

TEST(ServiceControllerTest, ASessionThatDoesNotReactIsGivenUpOnAndStopStillReturns) {
  std::latch entered(1);
  std::latch release(1);
  std::atomic<bool> closingSeen{false};
  // BLOCK stands for a command stuck in the platform: it ignores closing and its sockets.
  auto dispatch = [&](protocol::Session& s, protocol::Text& line) {
    if (line == "BLOCK") {
      entered.count_down();
      release.wait();
      closingSeen = s.closing.load();
      return 1;
    }
    return protocol::dispatchCommand(s, line);
  };
  ServiceHarness harness(HarnessOptions{.clockSpeed = 100, .dispatch = dispatch});
  ASSERT_TRUE(harness.startListening());
  auto quiet = harness.connectClient();  // session #1 ends as usual
  auto stuck = harness.connectClient();  // session #2 blocks
  ASSERT_NE(quiet, nullptr);
  ASSERT_NE(stuck, nullptr);
  ASSERT_TRUE(stuck->send("BLOCK\r\n"));
  entered.wait();

  const auto before = std::chrono::steady_clock::now();
  harness.service().stopService();
  // The waits are bounded: 8000 ms for the session on a clock a hundred times fast.
  EXPECT_LT(std::chrono::steady_clock::now() - before, 5s);
  EXPECT_TRUE(harness.service().abandonedThreads());
  EXPECT_EQ(harness.service().sessionCount(), 0);

  const auto lines = harness.lines();
  const int killed = indexOf(lines, "#2>Force killed");
  const int disconnected = indexOf(lines, "#2>Disconnected");
  const int stopped = indexOf(lines, "服务已停止.");
  ASSERT_GE(killed, 0);
  EXPECT_GT(disconnected, killed);
  EXPECT_GT(stopped, disconnected);
  EXPECT_EQ(lines.back(), "服务已停止.");
  EXPECT_GE(indexOf(lines, "#1>Disconnected."), 0);
  EXPECT_TRUE(quiet->waitClosed());
  EXPECT_TRUE(stuck->waitClosed());  // its socket was closed for it

  // The thread wakes, sees it must end, and writes nothing more.
  release.count_down();
  EXPECT_TRUE(harness.releaseService());
  EXPECT_TRUE(closingSeen.load());
  EXPECT_EQ(indexOf(harness.lines(), "#2>Disconnected."), -1);
}

}  // namespace
}  // namespace drovn::core
