// A file store for the service under test: every call goes to the real store, but a test may
// pick one call of a kind by its number and have code of its own run first, on the calling
// thread (an event placed at an exact point of a transfer), and the call fail with an error
// value, as a full disk or a failing device would. A failing seek or truncate, which report
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
 public:
  explicit FaultFileSystem(platform::FileSystem& real) : real_(real) {}
  // The nth call of this kind from now on (1: the next one) runs `before` first, then fails
  // with the errno value err (0: it goes through).
  void atCall(FileCall call, int nth, int err, std::function<void()> before = {});
  // Counts the call and runs what was asked for it; gives the error it must fail with.
  std::error_code enter(FileCall call);
  // True while a chosen read is still to come.
  bool readPending() noexcept;

  std::error_code kindOf(Path r, Path p, platform::EntryKind& o) override {
    return real_.kindOf(r, p, o);
  }
  std::error_code lookup(Path r, Path p, platform::Entry& o) override {
    return real_.lookup(r, p, o);
  }
  std::error_code deleteFile(Path r, Path p) override { return real_.deleteFile(r, p); }
  std::error_code createDirectory(Path r, Path p) override { return real_.createDirectory(r, p); }
  std::error_code removeDirectory(Path r, Path p) override { return real_.removeDirectory(r, p); }
  std::error_code moveFile(Path r, Path f, Path t) override { return real_.moveFile(r, f, t); }
  std::error_code openDirectory(Path r, Path d, platform::Detail detail,
                                std::unique_ptr<platform::DirectorySearch>& o) override {
    return real_.openDirectory(r, d, detail, o);
  }
  std::error_code openEntryLookup(Path r, Path d,
                                  std::unique_ptr<platform::EntryLookup>& o) override {
    return real_.openEntryLookup(r, d, o);
  }
  std::error_code openFile(Path r, Path p, platform::OpenMode mode,
                           std::unique_ptr<platform::FileHandle>& out) override;

 private:
  struct Kind {
    int calls = 0;
    int at = 0;  // the number of the chosen call; 0: none
    int err = 0;
    std::function<void()> before;
  };
  platform::FileSystem& real_;
  std::mutex m_;
  Kind kinds_[5];
};

}  // namespace drovn::test
