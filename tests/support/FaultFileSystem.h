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
#include <utility>

#include "platform/ErrorCodes.h"
#include "platform/FileSystem.h"

namespace drovn::test {

enum class FileCall { Open, Read, Write, Seek, Truncate };

class FaultFileSystem final : public platform::FileSystem {
  using Error = std::error_code;

 public:
  explicit FaultFileSystem(platform::FileSystem& real) : real_(real) {}
  // The nth call of this kind from now on (1: the next one) runs `before` first, then fails
  // with the errno value err (0: it goes through).
  void atCall(FileCall call, int nth, int err, std::function<void()> before = {}) {
    std::scoped_lock lock(m_);
    Kind& k = kinds_[static_cast<int>(call)];
    k = Kind{k.calls, k.calls + nth, err, std::move(before)};
  }

  Error kindOf(Path r, Path p, platform::EntryKind& o) override { return real_.kindOf(r, p, o); }
  Error lookup(Path r, Path p, platform::Entry& o) override { return real_.lookup(r, p, o); }
  Error deleteFile(Path r, Path p) override { return real_.deleteFile(r, p); }
  Error createDirectory(Path r, Path p) override { return real_.createDirectory(r, p); }
  Error removeDirectory(Path r, Path p) override { return real_.removeDirectory(r, p); }
  Error moveFile(Path r, Path f, Path t) override { return real_.moveFile(r, f, t); }
  Error setLastWrite(Path r, Path p, const platform::CalendarTime& w) override {
    return real_.setLastWrite(r, p, w);
  }
  Error openDirectory(Path r, Path d, platform::Detail detail,
                      std::unique_ptr<platform::DirectorySearch>& o) override {
    return real_.openDirectory(r, d, detail, o);
  }
  Error openEntryLookup(Path r, Path d, std::unique_ptr<platform::EntryLookup>& o) override {
    return real_.openEntryLookup(r, d, o);
  }
  Error openFile(Path r, Path p, platform::OpenMode mode,
                 std::unique_ptr<platform::FileHandle>& out) override {
    if (const Error error = enter(FileCall::Open)) return error;
    std::unique_ptr<platform::FileHandle> real;
    const Error error = real_.openFile(r, p, mode, real);
    if (!error) out = std::make_unique<Handle>(*this, std::move(real));
    return error;
  }

 private:
  class Handle final : public platform::FileHandle {
   public:
    Handle(FaultFileSystem& owner, std::unique_ptr<platform::FileHandle> real)
        : owner_(owner), real_(std::move(real)) {}
    std::size_t read(void* buf, std::size_t n) override {
      if (const Error error = owner_.enter(FileCall::Read)) throw platform::PlatformError{error};
      return real_->read(buf, n);
    }
    std::size_t write(const void* buf, std::size_t n) override {
      if (const Error error = owner_.enter(FileCall::Write)) throw platform::PlatformError{error};
      return real_->write(buf, n);
    }
    void seek(int64_t offset) override {
      if (!owner_.enter(FileCall::Seek)) real_->seek(offset);
    }
    void truncateAt(int64_t offset) override {
      if (!owner_.enter(FileCall::Truncate)) real_->truncateAt(offset);
    }
    uint64_t size() override { return real_->size(); }
    // While a read is to fail, no descriptor: the download then reads the file through read(),
    // where the fault is, instead of handing it to the socket whole.
    int descriptor() const noexcept override {
      return owner_.readPending() ? -1 : real_->descriptor();
    }

   private:
    FaultFileSystem& owner_;
    std::unique_ptr<platform::FileHandle> real_;
  };

  struct Kind {
    int calls = 0, at = 0, err = 0;  // at: the number of the chosen call; 0: none
    std::function<void()> before;
  };

  // Counts the call and runs what was asked for it; gives the error it must fail with.
  Error enter(FileCall call) {
    std::unique_lock lock(m_);
    Kind& k = kinds_[static_cast<int>(call)];
    if (++k.calls != k.at) return {};
    const Error error = platform::errnoError(k.err);
    const std::function<void()> before = std::move(k.before);
    lock.unlock();  // `before` may use the store
    if (before) before();
    return error;
  }
  bool readPending() noexcept {  // a chosen read is still to come
    std::scoped_lock lock(m_);
    const Kind& k = kinds_[static_cast<int>(FileCall::Read)];
    return k.at > k.calls;
  }

  platform::FileSystem& real_;
  std::mutex m_;
  Kind kinds_[5];
};

}  // namespace drovn::test
