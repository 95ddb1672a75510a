// For the platform and config tests: a temporary folder, files, bounded waits, child processes.
#pragma once
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>
#include <atomic>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <future>
#include <optional>
#include <iterator>
#include <thread>
namespace drovn::test {
namespace fs = std::filesystem;
using namespace std::chrono_literals;
struct TempDir {
  TempDir() {
    std::string p = (fs::temp_directory_path() / "drovn-XXXXXX").string();
    path = ::mkdtemp(p.data()) ? p : "/nonexistent";
  }
  ~TempDir() { std::error_code ec; fs::remove_all(path, ec); }
  fs::path path;
};

inline std::string readFile(const fs::path& p) {  // "" when there is none
  std::ifstream in(p, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}
inline void writeFile(const fs::path& p, std::string_view text) {
  std::ofstream(p, std::ios::binary) << text;
}
inline long entries(const fs::path& d) { return std::distance(fs::directory_iterator(d), {}); }

// Looks every millisecond until cond holds; false when `limit` passes first.
template <typename F>
bool waitUntil(F cond, std::chrono::milliseconds limit = 10s) {
  const auto end = std::chrono::steady_clock::now() + limit;
  for (; !cond(); std::this_thread::sleep_for(1ms))
    if (std::chrono::steady_clock::now() > end) return false;
  return true;
}

// body() in a forked child: its result as the exit code, else -1 (killed after 30 s).
template <typename F>
int inChild(F body) {
  const pid_t pid = ::fork();
  if (pid == 0) ::_exit(body());
  int status = -1;
  if (pid > 0 && !waitUntil([&] { return ::waitpid(pid, &status, WNOHANG) != 0; }, 30s))
    ::kill(pid, SIGKILL), ::waitpid(pid, &status, 0);
  return pid > 0 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace drovn::test
