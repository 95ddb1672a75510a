#include "platform/UniqueFd.h"

#include <unistd.h>

namespace drovn::platform {

void UniqueFd::reset(int fd) noexcept {
  if (fd_ >= 0) (void)::close(fd_);
  fd_ = fd;
}

int UniqueFd::close() noexcept {
  return ::close(release());
}

}  // namespace drovn::platform
