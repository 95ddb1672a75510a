#include "vfs/DirectoryEnumeration.h"

#include <string_view>

#include "vfs/Encoding.h"
#include "vfs/PathResolver.h"

namespace drovn::vfs {

namespace {

// The entries no listing shows: the directory itself, its parent, and a nameless entry.
bool isSkipped(const platform::FindData& entry) {
  const std::u16string_view name = entry.name.view();
  return name.empty() || name == u"." || name == u"..";
}

bool isDirectoryEntry(const platform::FindData& entry) {
  return (entry.attributes & platform::kAttributeDirectory) != 0;
}

// One walk over the whole directory: the names that are not directories go straight into
// names, the directories wait in their own list and follow them, each group in the order the
// store gave it.
std::size_t appendGroups(platform::FileSystem& files, platform::TextCodec& codec,
                         const char16_t* root, const char16_t* pattern, EntryNameList& names,
                         bool utf8) {
  std::unique_ptr<platform::DirSearch> search;
  platform::FindData entry;
  // Only names and kinds: the listing looks every entry up again for its line.
  if (files.findFirst(root, pattern, search, entry, platform::FindDetail::Kinds) != 0) return 0;
  EntryNameList directories;
  std::size_t appended = 0;
  PathText name;
  do {
    if (isSkipped(entry)) continue;
    wideToClient(codec, utf8, name, entry.name.c_str());
    if (isDirectoryEntry(entry)) {
      directories.emplace_back(name.view());
    } else {
      names.emplace_back(name.view());
      ++appended;
    }
  } while (search->next(entry));
  names.reserve(names.size() + directories.size());
  for (auto& directory : directories) names.push_back(std::move(directory));
  return appended + directories.size();
}

}  // namespace

std::size_t enumerateDirectory(platform::FileSystem& files, platform::TextCodec& codec,
                               const char16_t* root, PathText& localPath, EntryNameList& names,
                               bool utf8) {
  toSlashForm(localPath);
  // A path with no room left for the pattern is not cut into another directory's pattern.
  if (!localPath.append(localPath == "/" ? "*.*" : "/*.*")) return 0;
  toBackslashForm(localPath);

  FixedWide<kConvertLimit> pattern;
  clientToWide(codec, utf8, pattern, localPath.c_str());

  return appendGroups(files, codec, root, pattern.c_str(), names, utf8);
}

}  // namespace drovn::vfs
