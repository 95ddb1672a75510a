#include "protocol/LocalFiles.h"

#include "platform/FileSystem.h"
#include "vfs/Encoding.h"
#include "vfs/PathResolver.h"

namespace drovn::protocol {

namespace {

platform::FileSystem& files(Session& s) {
  return s.controller->platform().files;
}

// The kind of what the local path names; nothing when the store cannot tell.
std::optional<platform::EntryKind> kindOf(Session& s, Text& localPath) {
  StorePaths paths;
  platform::EntryKind kind{};
  if (!toStorePaths(s, localPath, paths) || files(s).kindOf(paths.root, paths.path, kind)) {
    return std::nullopt;
  }
  return kind;
}

// The separators a client may send are '/' and '\'; both reach the store as '/'. A '\' byte
// left in the UTF-8 text was a whole character of the client's text, never part of another.
void toStoreSeparators(std::string& path) {
  for (char& c : path) {
    if (c == '\\') c = '/';
  }
}

}  // namespace

bool toStorePaths(Session& s, Text& localPath, StorePaths& out) {
  if (localPath.empty()) return false;
  platform::TextCodec& codec = s.controller->platform().codec;
  vfs::toSlashForm(localPath);
  vfs::toBackslashForm(localPath);
  vfs::clientToUtf8(codec, s.utf8, localPath.view(), out.path);
  toStoreSeparators(out.path);

  vfs::PathText prefix = vfs::rootPrefix(s.rootDir);
  vfs::toBackslashForm(prefix);
  vfs::clientToUtf8(codec, s.utf8, prefix.view(), out.root);
  toStoreSeparators(out.root);
  return true;
}

std::optional<vfs::ResolvedPath> resolveArgument(const Session& s, std::string_view argument) {
  return vfs::resolvePath(s.rootDir, s.currentDir, argument, s.mountTable, s.utf8);
}

bool isDirectory(Session& s, Text& localPath) {
  return kindOf(s, localPath) == platform::EntryKind::Directory;
}

bool isFile(Session& s, Text& localPath) {
  return kindOf(s, localPath) == platform::EntryKind::File;
}

int64_t getFileSize(Session& s, Text& localPath) {
  StorePaths paths;
  platform::Entry found;
  if (!toStorePaths(s, localPath, paths) || files(s).lookup(paths.root, paths.path, found)) {
    return kSizeUnreadable;
  }
  return static_cast<int64_t>(found.size);
}

}  // namespace drovn::protocol
