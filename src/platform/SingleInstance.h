// One running instance per registry file. The first instance holds a name derived from the
// registry file's absolute path; a later one finds the name taken, tells the first to come to
// the front, and exits.
#pragma once

#include <memory>
#include <string>

#include "platform/MessageQueue.h"

namespace drovn::platform {

class SingleInstance {
 public:
  // Claims the name for registryPath. Gives null when another instance holds it; that instance
  // has then been told to come to the front (a kBringToFront message on its queue).
  static std::unique_ptr<SingleInstance> claim(const std::string& registryPath, MessageQueue& q);
  ~SingleInstance();
  SingleInstance(const SingleInstance&) = delete;
  SingleInstance& operator=(const SingleInstance&) = delete;

  struct State;

 private:
  explicit SingleInstance(std::unique_ptr<State> s);
  std::unique_ptr<State> state_;
};

}  // namespace drovn::platform
