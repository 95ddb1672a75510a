#include "support/FakeRfkill.h"

#include <cstdlib>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>

#include "platform/WirelessLibrary.h"

namespace drovn::test {

namespace {
void writeFile(const std::filesystem::path& path, std::string_view text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
  if (!out) throw std::runtime_error("cannot write " + path.string());
}
}  // namespace

FakeRfkill::FakeRfkill() {
  std::random_device rd;
  const auto base = std::filesystem::temp_directory_path();
  for (int attempt = 0; attempt < 100 && root_.empty(); ++attempt) {
    auto candidate = base / ("drovn-sysfs-" + std::to_string(rd()) + std::to_string(attempt));
    if (std::filesystem::create_directory(candidate)) root_ = candidate;
  }
  if (root_.empty()) throw std::runtime_error("no temporary directory");
  if (const char* old = std::getenv(platform::kSysfsRootVariable)) previousRoot_ = old;
  // Set before any thread of the test runs; only the main thread reads it.
  ::setenv(platform::kSysfsRootVariable, root_.c_str(), 1);
}

FakeRfkill::~FakeRfkill() {
  if (previousRoot_) {
    ::setenv(platform::kSysfsRootVariable, previousRoot_->c_str(), 1);
  } else {
    ::unsetenv(platform::kSysfsRootVariable);
  }
  std::error_code ec;
  std::filesystem::remove_all(root_, ec);
}

void FakeRfkill::addClass() {
  std::filesystem::create_directories(root_ / "class" / "rfkill");
}

std::filesystem::path FakeRfkill::deviceDir(uint32_t index) const {
  return root_ / "class" / "rfkill" / ("rfkill" + std::to_string(index));
}

void FakeRfkill::addDevice(uint32_t index, std::string_view type, bool softBlocked,
                           bool hardBlocked) {
  const auto dir = deviceDir(index);
  std::filesystem::create_directories(dir);
  // As the kernel shows them: one value and a line end.
  writeFile(dir / "type", std::string(type) + "\n");
  writeFile(dir / "soft", softBlocked ? "1\n" : "0\n");
  writeFile(dir / "hard", hardBlocked ? "1\n" : "0\n");
}

std::string FakeRfkill::soft(uint32_t index) const {
  std::ifstream in(deviceDir(index) / "soft", std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

}  // namespace drovn::test
