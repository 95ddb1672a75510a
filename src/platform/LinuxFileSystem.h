// The file store on Linux: store paths are resolved beneath the store directory, every walk
// through openat2 with RESOLVE_BENEATH, so that no "..", symbolic link or root that is itself a
// link can lead outside the account root. The kernel has no share modes, so this class keeps
// the rule of one writer or many readers itself, for the whole process.
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

  std::error_code kindOf(Path root, Path path, EntryKind& out) override;
  std::error_code lookup(Path root, Path path, Entry& out) override;
  std::error_code deleteFile(Path root, Path path) override;
  std::error_code createDirectory(Path root, Path path) override;
  std::error_code removeDirectory(Path root, Path path) override;
  std::error_code moveFile(Path root, Path from, Path to) override;
  std::error_code openDirectory(Path root, Path dir, Detail detail,
                                std::unique_ptr<DirectorySearch>& out) override;
  std::error_code openEntryLookup(Path root, Path dir, std::unique_ptr<EntryLookup>& out) override;
  // Files are created with mode 0666 less the umask. The open itself never blocks: special
  // files are refused before anything is read from them.
  std::error_code openFile(Path root, Path path, OpenMode mode,
                           std::unique_ptr<FileHandle>& out) override;
  std::error_code setLastWrite(Path root, Path path, const CalendarTime& when) override;

  // The files open through this object and its handles, shared with every handle so that a
  // handle may outlive the object.
  class ShareTable;

 private:
  int storeFd_ = -1;
  std::shared_ptr<ShareTable> shares_;
};

}  // namespace drovn::platform
