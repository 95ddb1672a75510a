// The file store on Linux: device paths become '/'-separated UTF-8 paths beneath the store
// directory, and every resolution goes through openat2 with RESOLVE_BENEATH, so that no "..",
// symbolic link or root that is itself a link can lead outside the account root. Windows share
// modes have no Linux counterpart, so this class keeps them itself for the whole process. A name
// on disk that is not valid UTF-8 is reported with U+FFFD in place of its invalid bytes.
#pragma once

#include <memory>
#include <string>

#include "platform/FileSystem.h"

namespace drovn::platform {

class LinuxFileSystem final : public FileSystem {
 public:
  // Opens the store directory once (it stays the same directory even if its path is renamed
  // later). Throws std::system_error when it cannot be opened as a directory or the kernel has
  // no openat2 (Linux 5.6 and later have it).
  explicit LinuxFileSystem(const std::string& storeDir);
  ~LinuxFileSystem() override;
  LinuxFileSystem(const LinuxFileSystem&) = delete;
  LinuxFileSystem& operator=(const LinuxFileSystem&) = delete;

  uint32_t attributes(const char16_t* root, const char16_t* path, uint32_t& out) override;
  uint32_t lookup(const char16_t* root, const char16_t* path, FindData& out) override;
  uint32_t deleteFile(const char16_t* root, const char16_t* path) override;
  uint32_t createDirectory(const char16_t* root, const char16_t* path) override;
  uint32_t removeDirectory(const char16_t* root, const char16_t* path) override;
  uint32_t moveFile(const char16_t* root, const char16_t* from, const char16_t* to) override;
  uint32_t findFirst(const char16_t* root, const char16_t* pattern,
                     std::unique_ptr<DirSearch>& search, FindData& first,
                     FindDetail detail) override;
  uint32_t openEntryLookup(const char16_t* root, const char16_t* dir,
                           std::unique_ptr<EntryLookup>& out) override;
  // Files are created with mode 0666 less the umask. The open itself never blocks: special
  // files are refused before anything is read from them.
  uint32_t openFile(const char16_t* root, const char16_t* path, OpenMode mode,
                    std::unique_ptr<FileHandle>& out) override;

  // The files open through this object and its handles, shared with every handle so that a
  // handle may outlive the object.
  class ShareTable;

 private:
  int storeFd_ = -1;
  std::shared_ptr<ShareTable> shares_;
};

}  // namespace drovn::platform
