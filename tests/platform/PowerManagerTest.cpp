#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "platform/PowerManager.h"

#if DROVN_HAVE_LIBSYSTEMD
#include <systemd/sd-bus.h>
#endif

extern char** environ;

namespace drovn::platform {
namespace {

// Points the system bus somewhere else for one test.
class SystemBusAddress {
 public:
  explicit SystemBusAddress(const std::string& address) {
    if (const char* old = std::getenv(kVariable)) previous_ = old;
    ::setenv(kVariable, address.c_str(), 1);
  }
  ~SystemBusAddress() {
    if (previous_) {
      ::setenv(kVariable, previous_->c_str(), 1);
    } else {
      ::unsetenv(kVariable);
    }
  }
  SystemBusAddress(const SystemBusAddress&) = delete;
  SystemBusAddress& operator=(const SystemBusAddress&) = delete;

 private:
  static constexpr const char* kVariable = "DBUS_SYSTEM_BUS_ADDRESS";
  std::optional<std::string> previous_;
};

class ScratchDir {
 public:
  ScratchDir() {
    std::random_device rd;
    for (int attempt = 0; attempt < 100 && path_.empty(); ++attempt) {
      auto candidate = std::filesystem::temp_directory_path() /
                       ("drovn-bus-" + std::to_string(rd()) + std::to_string(attempt));
      if (std::filesystem::create_directory(candidate)) path_ = candidate;
    }
  }
  ~ScratchDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;
  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

TEST(LogindPowerManager, OnlyANamedDeviceKeptOnIsAskedFor) {
  // Refused before any bus is asked, so this holds on any machine.
  ScratchDir dir;
  SystemBusAddress bus("unix:path=" + (dir.path() / "none").string());
  LogindPowerManager power;
  for (auto state : {DevicePowerState::D2, DevicePowerState::D3, DevicePowerState::D4}) {
    EXPECT_EQ(power.setPowerRequirement("BKL1:", state, kPowerByName, 0), nullptr);
  }
  EXPECT_EQ(power.setPowerRequirement("BKL1:", DevicePowerState::D0, 0, 0), nullptr);
  EXPECT_EQ(power.setPowerRequirement("", DevicePowerState::D0, kPowerByName, 0), nullptr);
  power.resetIdleTimer();  // nothing to reset on this machine, and it says nothing
}

TEST(LogindPowerManager, WithoutASystemBusThereIsNoHandle) {
  ScratchDir dir;
  SystemBusAddress bus("unix:path=" + (dir.path() / "none").string());
  LogindPowerManager power;
  const auto started = std::chrono::steady_clock::now();
  EXPECT_EQ(power.setPowerRequirement("BKL1:", DevicePowerState::D0, kPowerByName, 0), nullptr);
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(2));
}

#if DROVN_HAVE_LIBSYSTEMD

// A D-Bus daemon of the test's own, listening on a socket in a temporary directory.
class PrivateBus {
 public:
  PrivateBus() {
    const auto socket = dir_.path() / "bus";
    const auto config = dir_.path() / "bus.conf";
    std::ofstream(config) << "<busconfig>\n"
                             "  <listen>unix:path="
                          << socket.string()
                          << "</listen>\n"
                             "  <auth>EXTERNAL</auth>\n"
                             "  <policy context=\"default\">\n"
                             "    <allow user=\"*\"/>\n"
                             "    <allow own=\"*\"/>\n"
                             "    <allow send_destination=\"*\"/>\n"
                             "    <allow receive_sender=\"*\"/>\n"
                             "  </policy>\n"
                             "</busconfig>\n";
    const std::string configArg = "--config-file=" + config.string();
    // The daemon prints its address on descriptor 3 once it accepts connections.
    int ready[2];
    if (::pipe2(ready, O_CLOEXEC) != 0) return;
    std::vector<char*> argv{
        const_cast<char*>("dbus-daemon"),       const_cast<char*>(configArg.c_str()),
        const_cast<char*>("--nofork"),          const_cast<char*>("--nopidfile"),
        const_cast<char*>("--print-address=3"), nullptr};
    // Its complaints (it cannot raise the descriptor limit in a container) are no test output.
    posix_spawn_file_actions_t actions;
    ::posix_spawn_file_actions_init(&actions);
    ::posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    ::posix_spawn_file_actions_adddup2(&actions, ready[1], 3);
    const int spawned =
        ::posix_spawnp(&pid_, "dbus-daemon", &actions, nullptr, argv.data(), environ);
    ::posix_spawn_file_actions_destroy(&actions);
    ::close(ready[1]);
    if (spawned != 0) {
      pid_ = -1;
      ::close(ready[0]);
      return;
    }
    pollfd p{ready[0], POLLIN, 0};
    char line[512];
    if (::poll(&p, 1, 5000) == 1 && ::read(ready[0], line, sizeof line) > 0) {
      address_ = "unix:path=" + socket.string();
    }
    ::close(ready[0]);
  }
  ~PrivateBus() {
    if (pid_ > 0) {
      ::kill(pid_, SIGTERM);
      int status = 0;
      ::waitpid(pid_, &status, 0);
    }
  }
  PrivateBus(const PrivateBus&) = delete;
  PrivateBus& operator=(const PrivateBus&) = delete;

  // Empty when no daemon could be started.
  const std::string& address() const { return address_; }

 private:
  ScratchDir dir_;
  pid_t pid_ = -1;
  std::string address_;
};

// Answers Inhibit as logind does: a pipe whose other end it keeps, so it sees the lock end
// when the caller closes its descriptor.
class FakeLogind {
 public:
  struct Inhibit {
    std::string what, who, why, mode;
    int lockEnd;  // logind's end of the pipe
  };

  FakeLogind() {
    sd_bus* raw = nullptr;
    if (sd_bus_open_system(&raw) < 0) return;
    bus_ = raw;
    if (sd_bus_request_name(bus_, "org.freedesktop.login1", 0) < 0 ||
        sd_bus_add_object(bus_, nullptr, "/org/freedesktop/login1", &FakeLogind::onCall, this) <
            0) {
      return;
    }
    ready_ = true;
    thread_ = std::jthread([this](std::stop_token stop) {
      while (!stop.stop_requested()) {
        if (sd_bus_process(bus_, nullptr) > 0) continue;
        sd_bus_wait(bus_, 50000);  // bounded, so the stop is seen
      }
    });
  }
  ~FakeLogind() {
    thread_ = {};  // stop and join before the bus goes
    if (bus_) sd_bus_flush_close_unref(bus_);
    for (const auto& i : inhibits_) ::close(i.lockEnd);
  }
  FakeLogind(const FakeLogind&) = delete;
  FakeLogind& operator=(const FakeLogind&) = delete;

  bool ready() const { return ready_; }
  std::vector<Inhibit> inhibits() {
    std::scoped_lock lock(m_);
    return inhibits_;
  }

 private:
  static int onCall(sd_bus_message* m, void* self, sd_bus_error*) {
    if (!sd_bus_message_is_method_call(m, "org.freedesktop.login1.Manager", "Inhibit")) return 0;
    const char *what, *who, *why, *mode;
    if (sd_bus_message_read(m, "ssss", &what, &who, &why, &mode) < 0) return -1;
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) return -1;
    {
      // Noted before the answer, which the caller may act on at once.
      auto* logind = static_cast<FakeLogind*>(self);
      std::scoped_lock lock(logind->m_);
      logind->inhibits_.push_back({what, who, why, mode, fds[0]});
    }
    const int r = sd_bus_reply_method_return(m, "h", fds[1]);  // the reply carries a copy
    ::close(fds[1]);
    return r < 0 ? r : 1;
  }

  sd_bus* bus_ = nullptr;
  bool ready_ = false;
  std::mutex m_;
  std::vector<Inhibit> inhibits_;
  std::jthread thread_;
};

// True once every writer of the pipe has closed it, waiting at most `limit`.
bool lockEnded(int lockEnd, std::chrono::milliseconds limit) {
  pollfd p{lockEnd, POLLIN, 0};
  if (::poll(&p, 1, static_cast<int>(limit.count())) <= 0) return false;
  char byte;
  return ::read(lockEnd, &byte, 1) == 0;
}

class LogindOnAPrivateBus : public testing::Test {
 protected:
  void SetUp() override {
    if (bus_.address().empty()) GTEST_SKIP() << "no dbus-daemon to run a private bus";
    address_.emplace(bus_.address());
  }
  PrivateBus bus_;
  std::optional<SystemBusAddress> address_;
};

TEST_F(LogindOnAPrivateBus, ABusWithoutLogindGivesNoHandle) {
  LogindPowerManager power;
  EXPECT_EQ(power.setPowerRequirement("BKL1:", DevicePowerState::D0, kPowerByName, 0), nullptr);
}

TEST_F(LogindOnAPrivateBus, TheRequirementIsAnIdleLockEndedByItsRelease) {
  FakeLogind logind;
  ASSERT_TRUE(logind.ready());
  LogindPowerManager power;
  auto first = power.setPowerRequirement("BKL1:", DevicePowerState::D0, kPowerByName, 0);
  ASSERT_NE(first, nullptr);
  auto second = power.setPowerRequirement("BKL1:", DevicePowerState::D1, kPowerByName, 0);
  ASSERT_NE(second, nullptr);

  const auto inhibits = logind.inhibits();
  ASSERT_EQ(inhibits.size(), 2u);
  EXPECT_EQ(inhibits[0].what, "idle");
  EXPECT_EQ(inhibits[0].who, "drovn");
  EXPECT_NE(inhibits[0].why.find("BKL1:"), std::string::npos) << inhibits[0].why;
  EXPECT_EQ(inhibits[0].mode, "block");

  // Held while the requirement lives, and by nothing else (the bus is gone).
  EXPECT_FALSE(lockEnded(inhibits[0].lockEnd, std::chrono::milliseconds(50)));
  first.reset();
  EXPECT_TRUE(lockEnded(inhibits[0].lockEnd, std::chrono::seconds(5)));
  EXPECT_FALSE(lockEnded(inhibits[1].lockEnd, std::chrono::milliseconds(50)));
  second.reset();
  EXPECT_TRUE(lockEnded(inhibits[1].lockEnd, std::chrono::seconds(5)));
}

#endif

}  // namespace
}  // namespace drovn::platform
