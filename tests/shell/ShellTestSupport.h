// What the shell tests share: a temporary directory, a window around an in-memory list, and
// the platform record built from real parts and a fake clock.
#pragma once

#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>

#include "platform/Clock.h"
#include "platform/LinuxFileSystem.h"
#include "platform/LinuxRegistry.h"
#include "platform/MessageQueue.h"
#include "platform/Network.h"
#include "platform/Platform.h"
#include "platform/TextCodec.h"
#include "shell/LogListView.h"
#include "shell/MemoryLogList.h"

namespace drovn::test {

class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::filesystem::path& path() const noexcept { return path_; }

 private:
  std::filesystem::path path_;
};

class TestWindow final : public shell::ShellWindow {
 public:
  shell::LogListView& logList() override { return list; }
  void repaintWindow() override { ++repaints; }
  void bringToFront() override { ++broughtToFront; }

  shell::MemoryLogList list;
  int repaints = 0;
  int broughtToFront = 0;
};

// The platform of one test: real network, codec and registry file, the given clock.
struct TestPlatform {
  explicit TestPlatform(platform::Clock& clock);

  TempDir dir;
  platform::LinuxNetwork network;
  platform::LinuxTextCodec codec;
  platform::LinuxRegistry registry;
  platform::MessageQueue queue;
  platform::LinuxFileSystem files;
  platform::Platform platform;
};

// UTF-8 of a row's text, for readable expectations.
std::string rowText(const shell::MemoryLogList& list, int index);

}  // namespace drovn::test
