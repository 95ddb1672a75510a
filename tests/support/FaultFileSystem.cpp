#include "support/FaultFileSystem.h"

#include <utility>

#include "platform/ErrorCodes.h"

namespace drovn::test {
namespace {

class FaultHandle final : public platform::FileHandle {
 public:
  FaultHandle(FaultFileSystem& owner, std::unique_ptr<platform::FileHandle> real)
      : owner_(owner), real_(std::move(real)) {}
  std::size_t read(void* buf, std::size_t n) override {
    if (const std::error_code error = owner_.enter(FileCall::Read)) throw platform::PlatformError{error};
    return real_->read(buf, n);
  }
  std::size_t write(const void* buf, std::size_t n) override {
    if (const std::error_code error = owner_.enter(FileCall::Write)) {
      throw platform::PlatformError{error};
    }
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

}  // namespace

void FaultFileSystem::atCall(FileCall call, int nth, int err, std::function<void()> before) {
  std::scoped_lock lock(m_);
  Kind& k = kinds_[static_cast<int>(call)];
  k = Kind{k.calls, k.calls + nth, err, std::move(before)};
}

bool FaultFileSystem::readPending() noexcept {
  std::scoped_lock lock(m_);
  const Kind& k = kinds_[static_cast<int>(FileCall::Read)];
  return k.at > k.calls;
}

std::error_code FaultFileSystem::enter(FileCall call) {
  std::unique_lock lock(m_);
  Kind& k = kinds_[static_cast<int>(call)];
  if (++k.calls != k.at) return {};
  const std::error_code error = platform::errnoError(k.err);
  const std::function<void()> before = std::move(k.before);
  lock.unlock();  // `before` may use the store
  if (before) before();
  return error;
}

std::error_code FaultFileSystem::openFile(Path r, Path p, platform::OpenMode mode,
                                          std::unique_ptr<platform::FileHandle>& out) {
  if (const std::error_code error = enter(FileCall::Open)) return error;
  std::unique_ptr<platform::FileHandle> real;
  const std::error_code error = real_.openFile(r, p, mode, real);
  if (!error) out = std::make_unique<FaultHandle>(*this, std::move(real));
  return error;
}

}  // namespace drovn::test
