// The file store: files and directories under one store directory (the --store folder), named by
// device paths: UTF-16, backslash separated, "\" being the store itself. Every call is confined
// to an account root (a device path in the same form): the path must lie under that root and is
// resolved beneath it, so neither "..", nor a symbolic link, nor any other trick reaches a place
// outside it (such a call fails with 5, access denied). Failures give Win32 error numbers.
#pragma once

#include <cstdint>
#include <memory>

#include "platform/Clock.h"
#include "platform/FixedText.h"

namespace drovn::platform {

inline constexpr uint32_t kAttributeDirectory = 0x10;
inline constexpr uint32_t kAttributeNormal = 0x80;

// What a directory search or a lookup reports of one entry.
struct FindData {
  uint32_t attributes = 0;
  uint64_t size = 0;
  CalendarTime lastWrite;  // UTC calendar fields of the last write
  FixedWide<261> name;     // the entry's own name, at most 260 units
};

// An open directory search; ends the search when destroyed.
class DirSearch {
 public:
  virtual ~DirSearch() = default;
  // The next entry; false when there are no more.
  virtual bool next(FindData& out) = 0;
};

enum class OpenMode {
  WriteNew,        // write, no sharing, create or truncate
  ReadExisting,    // read, shared with other readers, must exist
  AppendOrCreate,  // write, no sharing, open or create, positioned at the end
};

// An open regular file; closes when destroyed. Sharing is enforced across the whole process:
// while a file is open for writing, every other open of it fails with 32 (sharing violation);
// several readers may share it.
class FileHandle {
 public:
  virtual ~FileHandle() = default;
  // Gives the bytes read (0 at the end), or throws PlatformError.
  virtual std::size_t read(void* buf, std::size_t n) = 0;
  // Gives the bytes written, or throws PlatformError.
  virtual std::size_t write(const void* buf, std::size_t n) = 0;
  // Moves the position to an absolute offset; failures are not reported.
  virtual void seek(int64_t offset) = 0;
  // Cuts or extends the file at an absolute offset and moves there; failures are not reported.
  virtual void truncateAt(int64_t offset) = 0;
};

class FileSystem {
 public:
  virtual ~FileSystem() = default;
  // Each returns 0 on success or the Win32 error number.
  virtual uint32_t attributes(const char16_t* root, const char16_t* path, uint32_t& out) = 0;
  virtual uint32_t lookup(const char16_t* root, const char16_t* path, FindData& out) = 0;
  virtual uint32_t deleteFile(const char16_t* root, const char16_t* path) = 0;
  virtual uint32_t createDirectory(const char16_t* root, const char16_t* path) = 0;
  virtual uint32_t removeDirectory(const char16_t* root, const char16_t* path) = 0;
  // Never replaces an existing destination (183).
  virtual uint32_t moveFile(const char16_t* root, const char16_t* from, const char16_t* to) = 0;
  // pattern: a directory path followed by "\*.*"; every name matches, "." and ".." included.
  virtual uint32_t findFirst(const char16_t* root, const char16_t* pattern,
                             std::unique_ptr<DirSearch>& search, FindData& first) = 0;
  virtual uint32_t openFile(const char16_t* root, const char16_t* path, OpenMode mode,
                            std::unique_ptr<FileHandle>& out) = 0;
};

}  // namespace drovn::platform
