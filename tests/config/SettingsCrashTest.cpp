// A process killed with SIGKILL in the middle of saving the settings, again and again: the
// registry file it leaves is always the old save or the new one, and it parses.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <random>
#include <string>
#include <thread>

#include "config/Settings.h"
#include "platform/LinuxRegistry.h"
#include "platform/TextCodec.h"

namespace drovn::config {
namespace {

namespace fs = std::filesystem;

class CrashDir {
 public:
  CrashDir() {
    std::random_device rd;
    for (int attempt = 0; attempt < 100 && path_.empty(); ++attempt) {
      auto candidate = fs::temp_directory_path() / ("drovn-crash-" + std::to_string(rd()));
      if (fs::create_directory(candidate)) path_ = candidate;
    }
    if (path_.empty()) throw std::runtime_error("no temporary directory");
  }
  ~CrashDir() {
    std::error_code ec;
    fs::remove_all(path_, ec);
  }
  CrashDir(const CrashDir&) = delete;
  CrashDir& operator=(const CrashDir&) = delete;
  const fs::path& path() const noexcept { return path_; }

 private:
  fs::path path_;
};

// Two saves that differ in every text, long enough that a save takes more than one write.
Settings variant(const char* user, char fill) {
  Settings s;
  setDefaultSettings(s);
  s.auth_enable1 = true;
  s.auth_user1.assign(user);
  s.auth_pwd1.assign(std::string(300, fill));
  s.auth_root1.assign("/store/" + std::string(400, fill));
  s.auth_anonyRoot.assign("/anonymous/" + std::string(480, fill));
  return s;
}

TEST(SettingsSaveKilled, LeavesTheOldFileOrTheNewOneAndItParses) {
  CrashDir dir;
  const std::string file = (dir.path() / "registry.reg").string();
  const Settings alpha = variant("alpha", 'a');
  const Settings bravo = variant("bravo", 'b');
  {
    platform::LinuxTextCodec codec;
    platform::LinuxRegistry registry(file, codec);
    saveSettings(registry, alpha);
  }

  std::mt19937 random(20091111);
  constexpr int kRounds = 50;
  for (int round = 0; round < kRounds; ++round) {
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      // Saves back and forth until killed; never returns into the test.
      platform::LinuxTextCodec codec;
      platform::LinuxRegistry registry(file, codec);
      for (long i = 0; i < 1000000; ++i) saveSettings(registry, (i % 2) != 0 ? bravo : alpha);
      ::_exit(0);
    }
    std::this_thread::sleep_for(std::chrono::microseconds(500 + random() % 20000));
    ASSERT_EQ(::kill(child, SIGKILL), 0);
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFSIGNALED(status)) << "round " << round;

    // An unparsable file would read as defaults and be kept as FILE.bad by the next save.
    platform::LinuxTextCodec codec;
    platform::LinuxRegistry registry(file, codec);
    Settings loaded;
    setDefaultSettings(loaded);
    loadSettings(registry, loaded);
    const bool isAlpha = loaded.auth_user1 == "alpha";
    const bool isBravo = loaded.auth_user1 == "bravo";
    ASSERT_TRUE(isAlpha || isBravo) << "round " << round << ": '" << loaded.auth_user1.c_str()
                                    << "'";
    const Settings& expected = isAlpha ? alpha : bravo;
    EXPECT_EQ(loaded.auth_pwd1.view(), expected.auth_pwd1.view()) << "round " << round;
    EXPECT_EQ(loaded.auth_root1.view(), expected.auth_root1.view()) << "round " << round;
    EXPECT_EQ(loaded.auth_anonyRoot.view(), expected.auth_anonyRoot.view()) << "round " << round;
    EXPECT_FALSE(fs::exists(file + ".bad")) << "round " << round;
  }
}

}  // namespace
}  // namespace drovn::config
