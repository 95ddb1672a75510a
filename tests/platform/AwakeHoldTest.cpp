#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/AwakeHold.h"

#if DROVN_HAVE_LIBSYSTEMD
#include <systemd/sd-bus.h>
#endif

extern char** environ;

namespace drovn::platform {
namespace {

// Points the system bus at `address` for one test; empty leaves it as it was.
struct SystemBus {
  explicit SystemBus(const std::string& address) {
    if (!address.empty()) ::setenv("DBUS_SYSTEM_BUS_ADDRESS", address.c_str(), 1);
  }
  ~SystemBus() { ::unsetenv("DBUS_SYSTEM_BUS_ADDRESS"); }
};

TEST(LogindAwakeHold, WithoutASystemBusNothingIsHeld) {
  SystemBus bus("unix:path=/nonexistent/drovn-bus");
  LogindAwakeHold awake;
  EXPECT_FALSE(awake.hold());
  awake.release();  // nothing held: nothing happens
  EXPECT_FALSE(awake.hold());
}

#if DROVN_HAVE_LIBSYSTEMD

// A bus daemon of the test's own, on a socket in a temporary directory.
class PrivateBus {
 public:
  PrivateBus() {
    std::string dir = (std::filesystem::temp_directory_path() / "drovn-bus-XXXXXX").string();
    if (!::mkdtemp(dir.data())) return;
    dir_ = dir;
    const std::string listen = "--address=unix:path=" + dir + "/bus";
    int ready[2];
    if (::pipe2(ready, O_CLOEXEC) != 0) return;
    const char* argv[] = {"dbus-daemon", "--session",         listen.c_str(), "--nofork",
                          "--nopidfile", "--print-address=3", nullptr};
    // Its complaints (it cannot raise the descriptor limit in a container) are no test output.
    posix_spawn_file_actions_t actions;
    ::posix_spawn_file_actions_init(&actions);
    ::posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    ::posix_spawn_file_actions_adddup2(&actions, ready[1], 3);
    if (::posix_spawnp(&pid_, "dbus-daemon", &actions, nullptr, const_cast<char**>(argv),
                       environ) != 0) {
      pid_ = -1;
    }
    ::posix_spawn_file_actions_destroy(&actions);
    ::close(ready[1]);
    // The daemon prints its address once it accepts connections.
    pollfd p{ready[0], POLLIN, 0};
    char line[512];
    ssize_t n = 0;
    if (pid_ > 0 && ::poll(&p, 1, 10000) == 1) n = ::read(ready[0], line, sizeof line);
    if (n > 0) address_.assign(line, static_cast<std::size_t>(n) - 1);  // without its line end
    ::close(ready[0]);
  }
  ~PrivateBus() {
    if (pid_ > 0 && ::kill(pid_, SIGTERM) == 0) ::waitpid(pid_, nullptr, 0);
    std::error_code ec;
    if (!dir_.empty()) std::filesystem::remove_all(dir_, ec);
  }
  PrivateBus(const PrivateBus&) = delete;
  PrivateBus& operator=(const PrivateBus&) = delete;
  const std::string& address() const { return address_; }  // empty when no daemon runs

 private:
  std::string dir_;
  pid_t pid_ = -1;
  std::string address_;
};

// Answers Inhibit as logind does: with one end of a pipe whose other end it keeps, so it sees
// the lock end when every copy of the caller's descriptor is closed.
class FakeLogind {
 public:
  struct Inhibit {
    std::string what, who, mode;
    int lockEnd;
  };
  FakeLogind() {
    if (sd_bus_open_system(&bus_) < 0 ||
        sd_bus_request_name(bus_, "org.freedesktop.login1", 0) < 0 ||
        sd_bus_add_object(bus_, nullptr, "/org/freedesktop/login1", &FakeLogind::onCall, this) < 0)
      return;
    ready_ = true;
    thread_ = std::jthread([this](std::stop_token stop) {
      while (!stop.stop_requested()) {
        if (sd_bus_process(bus_, nullptr) <= 0) sd_bus_wait(bus_, 50000);  // sees the stop
      }
    });
  }
  ~FakeLogind() {
    thread_ = {};  // joined before the bus goes
    sd_bus_flush_close_unref(bus_);
    for (const Inhibit& i : inhibits_) ::close(i.lockEnd);
  }
  bool ready() const { return ready_; }
  // Every call so far (at least n), once answered and no one but the caller keeps a copy of its
  // end: the fake closed its own, and the daemon, which answers in order, has let go of the
  // answer it passed on before it answers a later question.
  std::vector<Inhibit> inhibits(std::size_t n) {
    std::unique_lock lock(m_);
    answered_.wait_for(lock, std::chrono::seconds(10),
                       [&] { return inhibits_.size() == calls_ && calls_ >= n; });
    sd_bus* raw = nullptr;
    if (sd_bus_open_system(&raw) >= 0) {
      sd_bus_message* reply = nullptr;
      // Any answer will do; without one the checks below still run, only less strictly.
      static_cast<void>(sd_bus_call_method(raw, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                                           "org.freedesktop.DBus", "GetId", nullptr, &reply, ""));
      sd_bus_message_unref(reply);
    }
    sd_bus_flush_close_unref(raw);
    return inhibits_;
  }

 private:
  static int onCall(sd_bus_message* m, void* self, sd_bus_error*) {
    auto* logind = static_cast<FakeLogind*>(self);
    {
      // Counted before the answer, which the caller acts on at once.
      std::scoped_lock lock(logind->m_);
      ++logind->calls_;
    }
    const char *what, *who, *why, *mode;
    int fds[2];
    if (sd_bus_message_read(m, "ssss", &what, &who, &why, &mode) < 0 || ::pipe2(fds, O_CLOEXEC))
      return -1;
    const int r = sd_bus_reply_method_return(m, "h", fds[1]);  // the reply carries a copy
    sd_bus_flush(sd_bus_message_get_bus(m));
    ::close(fds[1]);
    std::scoped_lock lock(logind->m_);
    logind->inhibits_.push_back({what, who, mode, fds[0]});
    logind->answered_.notify_all();
    return r < 0 ? r : 1;
  }

  sd_bus* bus_ = nullptr;
  bool ready_ = false;
  std::mutex m_;
  std::condition_variable answered_;
  std::size_t calls_ = 0;
  std::vector<Inhibit> inhibits_;
  std::jthread thread_;
};

// True once every copy of the caller's end is closed; waits up to `ms` for it.
bool lockEnded(int lockEnd, int ms) {
  pollfd p{lockEnd, POLLIN, 0};
  char byte;
  return ::poll(&p, 1, ms) == 1 && ::read(lockEnd, &byte, 1) == 0;
}

class LogindOnAPrivateBus : public testing::Test {
 protected:
  void SetUp() override {
    if (bus_.address().empty()) GTEST_SKIP() << "dbus-daemon could not be started";
  }
  PrivateBus bus_;
  SystemBus system_{bus_.address()};
};

TEST_F(LogindOnAPrivateBus, ABusWithoutLogindHoldsNothing) {
  LogindAwakeHold awake;
  EXPECT_FALSE(awake.hold());
}

TEST_F(LogindOnAPrivateBus, TheHoldIsOneIdleLockEndedByReleaseOrDestruction) {
  FakeLogind logind;
  ASSERT_TRUE(logind.ready());
  std::optional<LogindAwakeHold> awake(std::in_place);
  ASSERT_TRUE(awake->hold());
  EXPECT_TRUE(awake->hold());  // already held: logind is not asked again
  auto inhibits = logind.inhibits(1);
  ASSERT_EQ(inhibits.size(), 1u);
  EXPECT_EQ(inhibits[0].what, "idle");
  EXPECT_EQ(inhibits[0].who, "drovn");
  EXPECT_EQ(inhibits[0].mode, "block");
  // The bus and the reply are gone: only the hold keeps the lock.
  EXPECT_FALSE(lockEnded(inhibits[0].lockEnd, 0));
  awake->release();
  EXPECT_TRUE(lockEnded(inhibits[0].lockEnd, 10000));

  ASSERT_TRUE(awake->hold());
  inhibits = logind.inhibits(2);
  ASSERT_EQ(inhibits.size(), 2u);
  EXPECT_FALSE(lockEnded(inhibits[1].lockEnd, 0));
  awake.reset();
  EXPECT_TRUE(lockEnded(inhibits[1].lockEnd, 10000));
}

#else

TEST(LogindAwakeHold, WithoutLibsystemdTheBusIsNeverAsked) {
  GTEST_SKIP() << "built without libsystemd: no lock can be taken, so no lock test runs";
}

#endif

}  // namespace
}  // namespace drovn::platform
