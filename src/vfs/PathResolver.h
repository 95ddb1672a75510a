// Virtual paths ('/'-separated, "/" being the root of the logged-in account) combined with the
// current directory, refused when they climb above the root or would reach anything outside
// the account's root directory, and mapped to local paths through the session's mount table.
// Everything works byte by byte in the client encoding.
#pragma once

#include <optional>
#include <string_view>

#include "platform/FixedText.h"
#include "vfs/MountTable.h"

namespace drovn::vfs {

// A path a session may reach: the virtual path with ".." applied, and the local path the file
// layer gets (empty for the root itself when it maps to nothing).
struct ResolvedPath {
  PathText local;
  PathText virtualPath;
};

// The argument (trimmed) taken from currentDir. Nothing for a path above the virtual root, a
// combined or mapped path longer than 2047 bytes, and a local path that would lie outside rootDir
// once "." and ".." are applied, split as the file layer will split it (see staysBeneathRoot;
// utf8 is the session's client encoding).
std::optional<ResolvedPath> resolvePath(const PathText& rootDir, const PathText& currentDir,
                                        std::string_view argument, const MountTable& mountTable,
                                        bool utf8);

// Virtual path in, local path out: the directory of the first mount whose name (any letter
// case) is followed by a '/' in the path, else rootPrefix, in front of the path. False for an
// empty path (left empty) and for a local path longer than 2047 bytes (the path is emptied).
bool mapToLocal(PathText& path, std::string_view rootPrefix, const MountTable& mountTable);
// Removes the first ".." component with the component before it; true when it changed path.
bool collapseDotDot(PathText& path);
void toSlashForm(PathText& path);
void toBackslashForm(PathText& path);
// Index of the first occurrence of needle in text, or -1.
int findSubstring(std::string_view needle, std::string_view text);
bool startsWith(std::string_view text, std::string_view prefix);
bool endsWith(std::string_view text, std::string_view suffix);

// The account root as the prefix of local paths: rootDir without one trailing '/'.
PathText rootPrefix(const PathText& rootDir);
// True when the local path, with "." and ".." applied, lies at or beneath the root: its
// components start with the root's, and no ".." after them climbs above the root at any point
// of the walk. Both '/' and '\' separate components, in the root as in the path, except that in
// a code-page session (utf8 false) a separator byte right after a lead byte belongs to that
// double-byte character, as it does once the file layer converts the path.
bool staysBeneathRoot(std::string_view localPath, std::string_view rootDir, bool utf8);

}  // namespace drovn::vfs
