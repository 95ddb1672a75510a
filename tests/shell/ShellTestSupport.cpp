#include "shell/ShellTestSupport.h"

#include <random>

#include "platform/Utf8.h"

namespace drovn::test {

TempDir::TempDir() {
  std::random_device rd;
  const auto base = std::filesystem::temp_directory_path();
  for (int attempt = 0; attempt < 100; ++attempt) {
    auto candidate = base / ("drovn-shell-" + std::to_string(rd()) + std::to_string(attempt));
    if (std::filesystem::create_directory(candidate)) {
      path_ = candidate;
      return;
    }
  }
  throw std::runtime_error("no temporary directory");
}

TempDir::~TempDir() {
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

TestPlatform::TestPlatform(platform::Clock& clock)
    : registry((dir.path() / "registry.reg").string(), codec),
      files(dir.path().string()),
      platform{clock, network, codec, registry, queue, files} {}

std::string rowText(const shell::MemoryLogList& list, int index) {
  if (index < 0 || index >= list.rowCount()) return "<no row " + std::to_string(index) + ">";
  return platform::utf16ToUtf8(list.rows()[static_cast<std::size_t>(index)].text);
}

}  // namespace drovn::test
