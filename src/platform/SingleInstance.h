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
  // Claims the name for registryPath (two spellings of one file are one name; the file need not
  // exist). Gives null when another instance holds it; that instance has then been told to come
  // to the front (a BringToFront event on its queue). While held, every later claim posts
  // BringToFront on q, which must outlive the returned object. When the name cannot be used at
  // all, gives an object that guards nothing, so the program still runs.
  static std::unique_ptr<SingleInstance> claim(const std::string& registryPath, MessageQueue& q);
  // Stops listening for later instances and gives the name up.
  ~SingleInstance();
  SingleInstance(const SingleInstance&) = delete;
  SingleInstance& operator=(const SingleInstance&) = delete;

  struct State;

 private:
  explicit SingleInstance(std::unique_ptr<State> s);
  std::unique_ptr<State> state_;
};

}  // namespace drovn::platform
