// The names of the entries of one local directory, in the client encoding, for the listings:
// every entry that is not a directory first, then every directory, each group in the order the
// file store gives them. Only names are handed over; the listing looks each entry up itself.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
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

// Takes the names of one directory's entries in the order a listing shows them.
class EntrySink {
 public:
  virtual void take(std::string_view name) = 0;

 protected:
  ~EntrySink() = default;
};

// Hands the names of the entries of the directory dir (a store path beneath the account root
// root) to sink, in the client encoding, and gives how many it handed over. "." and ".." and
// empty names are left out, nothing else is. A directory that cannot be searched (missing,
// unreadable, outside the root) hands over nothing and gives 0. The directory is read once; the
// directories are held back until the other entries are in. A failed allocation throws
// std::bad_alloc after the entries that are not directories handed over before it; what the
// sink throws passes through the same way, the directory closed behind it.
std::size_t enumerateDirectory(platform::FileSystem& files, platform::TextCodec& codec,
                               std::string_view root, std::string_view dir, EntrySink& sink,
                               bool utf8);

// The same, appending the names to names.
std::size_t enumerateDirectory(platform::FileSystem& files, platform::TextCodec& codec,
                               std::string_view root, std::string_view dir,
                               EntryNameList& names, bool utf8);

}  // namespace drovn::vfs
