// The names of the entries of one local directory, in the client encoding, for the listings:
// every entry that is not a directory first, then every directory, each group in the order the
// file store gives them. Only names are handed over; the listing looks each entry up itself.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "platform/FileSystem.h"
#include "platform/FixedText.h"
#include "platform/TextCodec.h"
#include "vfs/MountTable.h"

namespace drovn::vfs {

// One text per entry name, in the client encoding, at most 2047 bytes like every path text but
// holding only its own bytes: a listing of many thousands of names stays small. The listing
// replaces each name with the entry's line. Emptying the list releases every text.
using EntryNameList = std::vector<std::string>;

// Appends the names of the entries of the directory localPath (slash or backslash form; it is
// rewritten in place into the search pattern "<dir>\*.*") to names and gives how many it
// appended. root: the account root every store call is confined to. "." and ".." and empty
// names are left out, nothing else is. A directory that cannot be searched (missing, unreadable,
// outside the root, or a path with no room for the pattern) appends nothing and gives 0. The
// directory is read once; the directories are held back until the other entries are in. A
// failed allocation throws std::bad_alloc, leaving in names the entries that are not
// directories appended before it.
std::size_t enumerateDirectory(platform::FileSystem& files, platform::TextCodec& codec,
                               const char16_t* root, PathText& localPath, EntryNameList& names,
                               bool utf8);

}  // namespace drovn::vfs
