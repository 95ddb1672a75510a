#include "platform/AwakeHold.h"

#if DROVN_HAVE_LIBSYSTEMD
#include <fcntl.h>
#include <systemd/sd-bus.h>

#include <memory>
#endif

namespace drovn::platform {

#if DROVN_HAVE_LIBSYSTEMD

namespace {

struct BusCloser {
  void operator()(sd_bus* bus) const noexcept { sd_bus_flush_close_unref(bus); }
};
struct MessageUnref {
  void operator()(sd_bus_message* m) const noexcept { sd_bus_message_unref(m); }
};
struct BusError {
  sd_bus_error error{};  // all null, as SD_BUS_ERROR_NULL
  BusError() = default;
  BusError(const BusError&) = delete;
  BusError& operator=(const BusError&) = delete;
  ~BusError() { sd_bus_error_free(&error); }
};

// The lock's descriptor, owned by the caller; -1 when there is no lock.
int takeIdleLock() {
  sd_bus* rawBus = nullptr;
  if (sd_bus_open_system(&rawBus) < 0) return -1;  // no system bus
  std::unique_ptr<sd_bus, BusCloser> bus(rawBus);
  BusError error;
  sd_bus_message* rawReply = nullptr;
  const uint64_t timeoutUs = uint64_t{LogindAwakeHold::kCallTimeoutMs} * 1000;
  sd_bus_message* rawCall = nullptr;
  if (sd_bus_message_new_method_call(bus.get(), &rawCall, "org.freedesktop.login1",
                                     "/org/freedesktop/login1", "org.freedesktop.login1.Manager",
                                     "Inhibit") < 0) {
    return -1;
  }
  std::unique_ptr<sd_bus_message, MessageUnref> call(rawCall);
  if (sd_bus_message_append(call.get(), "ssss", "idle", "drovn", "FTP service running", "block") <
          0 ||
      sd_bus_call(bus.get(), call.get(), timeoutUs, &error.error, &rawReply) < 0) {
    return -1;  // no logind, or it refused
  }
  std::unique_ptr<sd_bus_message, MessageUnref> reply(rawReply);
  int fd = -1;
  if (sd_bus_message_read(reply.get(), "h", &fd) < 0 || fd < 0) return -1;
  // The descriptor belongs to the reply and closes with it: keep one of our own.
  return ::fcntl(fd, F_DUPFD_CLOEXEC, 3);
}

}  // namespace

#endif

bool LogindAwakeHold::hold() {
  if (lock_) return true;
#if DROVN_HAVE_LIBSYSTEMD
  lock_.reset(takeIdleLock());
#endif
  return lock_.valid();
}

void LogindAwakeHold::release() {
  // The lock ends with the descriptor whatever close reports.
  lock_.reset();
}

}  // namespace drovn::platform
