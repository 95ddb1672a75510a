#include "platform/PowerManager.h"

#include "platform/FixedText.h"

#if DROVN_HAVE_LIBSYSTEMD
#include <fcntl.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <new>
#endif

namespace drovn::platform {

namespace {

#if DROVN_HAVE_LIBSYSTEMD

// A logind inhibitor lock: logind holds it while the other end of this descriptor is open.
class InhibitorLock final : public PowerRequirement {
 public:
  explicit InhibitorLock(int fd) noexcept : fd_(fd) {}
  ~InhibitorLock() override {
    // The lock ends with the descriptor whatever close reports.
    static_cast<void>(::close(fd_));
  }
  InhibitorLock(const InhibitorLock&) = delete;
  InhibitorLock& operator=(const InhibitorLock&) = delete;

 private:
  int fd_;
};

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

std::unique_ptr<PowerRequirement> takeIdleLock(std::string_view device) {
  sd_bus* rawBus = nullptr;
  if (sd_bus_open_system(&rawBus) < 0) return nullptr;  // no system bus
  std::unique_ptr<sd_bus, BusCloser> bus(rawBus);

  sd_bus_message* rawCall = nullptr;
  if (sd_bus_message_new_method_call(bus.get(), &rawCall, "org.freedesktop.login1",
                                     "/org/freedesktop/login1", "org.freedesktop.login1.Manager",
                                     "Inhibit") < 0) {
    return nullptr;
  }
  std::unique_ptr<sd_bus_message, MessageUnref> call(rawCall);
  FixedText<128> why;
  why.format("FTP service running: %.*s kept on", static_cast<int>(device.size()), device.data());
  if (sd_bus_message_append(call.get(), "ssss", "idle", "drovn", why.c_str(), "block") < 0) {
    return nullptr;
  }
  BusError error;
  sd_bus_message* rawReply = nullptr;
  const uint64_t timeoutUs = uint64_t{LogindPowerManager::kLogindCallTimeoutMs} * 1000;
  if (sd_bus_call(bus.get(), call.get(), timeoutUs, &error.error, &rawReply) < 0) {
    return nullptr;  // no logind, or it refused
  }
  std::unique_ptr<sd_bus_message, MessageUnref> reply(rawReply);
  int fd = -1;
  if (sd_bus_message_read(reply.get(), "h", &fd) < 0 || fd < 0) return nullptr;
  // The descriptor belongs to the reply and closes with it: keep one of our own.
  const int owned = ::fcntl(fd, F_DUPFD_CLOEXEC, 3);
  if (owned < 0) return nullptr;
  auto* lock = new (std::nothrow) InhibitorLock(owned);
  if (!lock) {
    static_cast<void>(::close(owned));  // no lock without its owner
    return nullptr;
  }
  return std::unique_ptr<PowerRequirement>(lock);
}

#endif

}  // namespace

std::unique_ptr<PowerRequirement> LogindPowerManager::setPowerRequirement(std::string_view device,
                                                                          DevicePowerState state,
                                                                          uint32_t deviceFlags,
                                                                          uint32_t flags) {
  static_cast<void>(flags);  // no flag changes what logind is asked
  if ((deviceFlags & kPowerByName) == 0 || device.empty()) return nullptr;
  if (state != DevicePowerState::D0 && state != DevicePowerState::D1) return nullptr;
#if DROVN_HAVE_LIBSYSTEMD
  return takeIdleLock(device);
#else
  return nullptr;
#endif
}

bool LogindPowerManager::builtWithLogind() noexcept {
#if DROVN_HAVE_LIBSYSTEMD
  return true;
#else
  return false;
#endif
}

}  // namespace drovn::platform
