// Temporary folders, whole-file reads and writes and bounded waits: what tests of every layer
// need around the real file system.
#pragma once

#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <string_view>
#include <thread>

namespace drovn::test {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// A fresh folder under the temporary directory, removed with everything in it at the end.
struct TempDir {
  explicit TempDir(std::string_view prefix = "drovn-") {
    std::string p = (fs::temp_directory_path() / (std::string(prefix) + "XXXXXX")).string();
    if (::mkdtemp(p.data()) == nullptr) throw fs::filesystem_error("mkdtemp", p, {});
    path = p;
  }
  ~TempDir() {
    std::error_code ec;
    fs::remove_all(path, ec);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  fs::path path;
};

inline std::string readFile(const fs::path& p) {  // "" when there is none
  std::ifstream in(p, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}
// Creates the file, and the folders on its way, with exactly these bytes.
inline void writeFile(const fs::path& p, std::string_view bytes) {
  fs::create_directories(p.parent_path());
  std::ofstream(p, std::ios::binary | std::ios::trunc) << bytes;
}
inline long entries(const fs::path& d) { return std::distance(fs::directory_iterator(d), {}); }

// Looks at pred every 2 ms until it holds; false when it still does not after `timeout`.
template <typename Pred>
bool eventually(Pred pred, std::chrono::milliseconds timeout = 5s) {
  for (const auto end = std::chrono::steady_clock::now() + timeout; !pred();) {
    if (std::chrono::steady_clock::now() >= end) return false;
    std::this_thread::sleep_for(2ms);
  }
  return true;
}

}  // namespace drovn::test
