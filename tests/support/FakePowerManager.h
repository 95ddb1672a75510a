// A power manager that records what it was asked and can refuse, standing in for the machine's
// power service (which a test must not change).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/PowerManager.h"

namespace drovn::test {

class FakePowerManager final : public platform::PowerManager {
 public:
  struct Request {
    std::string device;
    platform::DevicePowerState state;
    uint32_t deviceFlags;
    uint32_t flags;
  };

  std::unique_ptr<platform::PowerRequirement> setPowerRequirement(std::string_view device,
                                                                  platform::DevicePowerState state,
                                                                  uint32_t deviceFlags,
                                                                  uint32_t flags) override {
    requests.push_back({std::string(device), state, deviceFlags, flags});
    if (refuse) return nullptr;
    return std::make_unique<Requirement>(*this);
  }
  void resetIdleTimer() override { ++idleResets; }

  bool refuse = false;  // give no handle
  std::vector<Request> requests;
  int held = 0;  // requirements not yet released
  int released = 0;
  int idleResets = 0;

 private:
  class Requirement final : public platform::PowerRequirement {
   public:
    explicit Requirement(FakePowerManager& owner) : owner_(owner) { ++owner_.held; }
    ~Requirement() override {
      --owner_.held;
      ++owner_.released;
    }

   private:
    FakePowerManager& owner_;
  };
};

}  // namespace drovn::test
