// A file store for the service under test: every call goes to the real store, but a test may
// pick one call of a kind by its number and have code of its own run first, on the calling
// thread (an event placed at an exact point of a transfer), and the call fail with an error
// number, as a full disk or a failing device would. A failing seek or truncate, which report
// nothing, changes nothing.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>

#include "platform/FileSystem.h"

namespace drovn::test {

enum class FileCall { Open, Read, Write, Seek, Truncate };

class FaultFileSystem final : public platform::FileSystem {
  using Path = const char16_t*;

 public:
  explicit FaultFileSystem(platform::FileSystem& real) : real_(real) {}
  // The nth call of this kind from now on (1: the next one) runs `before` first, then fails
  // with code (0: it goes through).
  void atCall(FileCall call, int nth, uint32_t code, std::function<void()> before = {});
  // Counts the call and runs what was asked for it; gives the code it must fail with, or 0.
  uint32_t enter(FileCall call);
  // True while a chosen read is still to come.
  bool readPending() noexcept;

  uint32_t attributes(Path r, Path p, uint32_t& o) override { return real_.attributes(r, p, o); }
  uint32_t lookup(Path r, Path p, platform::FindData& o) override { return real_.lookup(r, p, o); }
  uint32_t deleteFile(Path r, Path p) override { return real_.deleteFile(r, p); }
  uint32_t createDirectory(Path r, Path p) override { return real_.createDirectory(r, p); }
  uint32_t removeDirectory(Path r, Path p) override { return real_.removeDirectory(r, p); }
  uint32_t moveFile(Path r, Path f, Path t) override { return real_.moveFile(r, f, t); }
  uint32_t findFirst(Path r, Path pattern, std::unique_ptr<platform::DirSearch>& search,
                     platform::FindData& first, platform::FindDetail detail) override {
    return real_.findFirst(r, pattern, search, first, detail);
  }
  uint32_t openEntryLookup(Path r, Path d, std::unique_ptr<platform::EntryLookup>& o) override {
    return real_.openEntryLookup(r, d, o);
  }
  uint32_t openFile(Path r, Path p, platform::OpenMode mode,
                    std::unique_ptr<platform::FileHandle>& out) override;

 private:
  struct Kind {
    int calls = 0;
    int at = 0;  // the number of the chosen call; 0: none
    uint32_t code = 0;
    std::function<void()> before;
  };
  platform::FileSystem& real_;
  std::mutex m_;
  Kind kinds_[5];
};

}  // namespace drovn::test
