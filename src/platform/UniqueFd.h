// The owner of one open file descriptor of this folder's Linux code: it closes it once, when it
// is reset or goes out of scope, and can be moved but not copied.
#pragma once

#include <utility>

namespace drovn::platform {

class UniqueFd {
 public:
  UniqueFd() noexcept = default;
  explicit UniqueFd(int fd) noexcept : fd_(fd) {}
  ~UniqueFd() { reset(); }
  UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;

  int get() const noexcept { return fd_; }
  bool valid() const noexcept { return fd_ >= 0; }
  explicit operator bool() const noexcept { return valid(); }
  int release() noexcept { return std::exchange(fd_, -1); }
  // A close that fails still frees the descriptor; where a write error may show only at close,
  // close() gives its result instead.
  void reset(int fd = -1) noexcept;
  int close() noexcept;

 private:
  int fd_ = -1;
};

}  // namespace drovn::platform
