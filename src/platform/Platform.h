// The services the server takes from the machine, gathered so main can hand them to every part
// by reference. Tests build the same record with a fake clock or fault-injecting wrappers.
#pragma once

#include "platform/Clock.h"
#include "platform/FileSystem.h"
#include "platform/MessageQueue.h"
#include "platform/Network.h"
#include "platform/Registry.h"
#include "platform/TextCodec.h"

namespace drovn::platform {

struct Platform {
  Clock& clock;
  Network& network;
  TextCodec& codec;
  Registry& registry;
  MessageQueue& messages;
  FileSystem& files;
};

}  // namespace drovn::platform
