// The existence, kind and size tests of local paths, and the one place where a session's local
// path becomes the store path of a file call. Every file call is confined to the account root.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "protocol/Session.h"
#include "vfs/PathResolver.h"

namespace drovn::protocol {

// The argument resolved against the session's account root, current directory and mounts;
// nothing for a path the session may not reach.
std::optional<vfs::ResolvedPath> resolveArgument(const Session& s, std::string_view argument);

// The two store paths of a file call, converted once from the client's encoding: the account
// root and the path beneath it.
struct StorePaths {
  std::string root;
  std::string path;
};

// Puts localPath in slash form and then in backslash form in place (afterwards it has no
// trailing separator and no doubled leading one), then converts it into out.path and the
// account root, without its trailing '/', into out.root (the whole store when that leaves
// nothing). A '\' that is a whole character becomes a separator; the trail byte of a
// double-byte character stays in its character. False, with nothing converted, for an empty
// local path: it names nothing.
bool toStorePaths(Session& s, Text& localPath, StorePaths& out);

// True when the local path names a directory (or a file, for isFile); false when it names the
// other kind, nothing, or lies outside the account root. localPath is left in backslash form.
bool isDirectory(Session& s, Text& localPath);
bool isFile(Session& s, Text& localPath);

inline constexpr int64_t kSizeUnreadable = -1;
// The file's size in bytes; kSizeUnreadable when it cannot be looked up. localPath is left in
// backslash form.
int64_t getFileSize(Session& s, Text& localPath);

}  // namespace drovn::protocol
