#include "protocol/LocalFiles.h"

#include "platform/FileSystem.h"
#include "vfs/Encoding.h"
#include "vfs/PathResolver.h"

namespace drovn::protocol {

namespace {

constexpr uint32_t kNoAttributes = 0xFFFFFFFF;

platform::FileSystem& files(Session& s) {
  return s.controller->platform().files;
}

// The attributes of the local path; kNoAttributes when the store cannot give them.
uint32_t attributesOf(Session& s, Text& localPath) {
  DeviceRoot root;
  WideText path;
  uint32_t attributes = 0;
  if (!toDevicePaths(s, localPath, path, root) ||
      files(s).attributes(root.c_str(), path.c_str(), attributes) != 0) {
    return kNoAttributes;
  }
  return attributes;
}

}  // namespace

bool toDevicePaths(Session& s, Text& localPath, WideText& path, DeviceRoot& root) {
  if (localPath.empty()) return false;
  platform::TextCodec& codec = s.controller->platform().codec;
  vfs::toSlashForm(localPath);
  vfs::toBackslashForm(localPath);
  vfs::clientToWide(codec, s.utf8, path, localPath.c_str());

  vfs::PathText prefix = vfs::rootPrefix(s.rootDir);
  vfs::toBackslashForm(prefix);
  if (prefix.empty()) prefix.assign("\\");
  vfs::clientToWide(codec, s.utf8, root, prefix.c_str());
  return true;
}

std::optional<vfs::ResolvedPath> resolveArgument(const Session& s, std::string_view argument) {
  return vfs::resolvePath(s.rootDir, s.currentDir, argument, s.mountTable, s.utf8);
}

bool isDirectory(Session& s, Text& localPath) {
  const uint32_t attributes = attributesOf(s, localPath);
  return attributes != kNoAttributes && (attributes & platform::kAttributeDirectory) != 0;
}

bool isFile(Session& s, Text& localPath) {
  const uint32_t attributes = attributesOf(s, localPath);
  return attributes != kNoAttributes && (attributes & platform::kAttributeDirectory) == 0;
}

int64_t getFileSize(Session& s, Text& localPath) {
  DeviceRoot root;
  WideText path;
  platform::FindData found;
  if (!toDevicePaths(s, localPath, path, root) ||
      files(s).lookup(root.c_str(), path.c_str(), found) != 0) {
    return kSizeUnreadable;
  }
  return static_cast<int64_t>(found.size);
}

}  // namespace drovn::protocol
