#include "vfs/DirectoryEnumeration.h"

#include <cstdint>
#include <cstring>
#include <string_view>

#include "vfs/Encoding.h"
#include "vfs/PathResolver.h"

namespace drovn::vfs {

namespace {

// The entries no listing shows: the directory itself, its parent, and a nameless entry.
bool isSkipped(const platform::Entry& entry) {
  const std::string_view name = entry.name.view();
  return name.empty() || name == "." || name == "..";
}

// No byte with the high bit set. Every name of every listing is checked, so a name of eight
// bytes or more is taken eight at a time, the last eight overlapping those before.
bool isAscii(std::string_view text) {
  constexpr uint64_t kHighBits = 0x8080808080808080u;
  const char* bytes = text.data();
  const std::size_t n = text.size();
  if (n < sizeof(uint64_t)) {
    unsigned char any = 0;
    for (const char c : text) any |= static_cast<unsigned char>(c);
    return any < 0x80;
  }
  uint64_t any = 0;
  uint64_t word = 0;
  for (std::size_t i = 0; i + sizeof word <= n; i += sizeof word) {
    std::memcpy(&word, bytes + i, sizeof word);
    any |= word;
  }
  std::memcpy(&word, bytes + n - sizeof word, sizeof word);
  return ((any | word) & kHighBits) == 0;
}

}  // namespace

std::size_t enumerateDirectory(platform::FileSystem& files, platform::TextCodec& codec,
                               std::string_view root, std::string_view dir, EntrySink& sink,
                               bool utf8) {
  std::unique_ptr<platform::DirectorySearch> search;
  // Only names and kinds: the listing looks every entry up again for its line.
  if (files.openDirectory(root, dir, platform::Detail::Kinds, search)) return 0;
  // One walk over the whole directory: the names that are not directories go straight to the
  // sink, the directories wait in their own list and follow them, each group in the order the
  // store gave it.
  EntryNameList directories;
  std::size_t taken = 0;
  PathText converted;
  for (const platform::Entry& entry : *search) {
    if (isSkipped(entry)) continue;
    // A name in ASCII reads the same in every client encoding, and most names are.
    std::string_view name = entry.name.view();
    if (!isAscii(name)) {
      utf8ToClient(codec, utf8, name, converted);
      name = converted.view();
    }
    if (entry.isDirectory()) {
      directories.emplace_back(name);
    } else {
      sink.take(name);
      ++taken;
    }
  }
  for (const std::string& directory : directories) sink.take(directory);
  return taken + directories.size();
}

namespace {

class AppendToList final : public EntrySink {
 public:
  explicit AppendToList(EntryNameList& names) noexcept : names_(names) {}
  void take(std::string_view name) override { names_.emplace_back(name); }

 private:
  EntryNameList& names_;
};

}  // namespace

std::size_t enumerateDirectory(platform::FileSystem& files, platform::TextCodec& codec,
                               std::string_view root, std::string_view dir, EntryNameList& names,
                               bool utf8) {
  AppendToList sink(names);
  return enumerateDirectory(files, codec, root, dir, sink, utf8);
}

}  // namespace drovn::vfs
