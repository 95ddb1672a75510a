// The file store: files and directories under one store directory (the --store folder), named by
// device paths: UTF-16, '\' or '/' separated, "\" being the store itself. Every call is confined
// to an account root (a device path in the same form; "" and "\" are the store): the path must
// lie under that root, compared component by component, and is resolved beneath it, so neither
// "..", nor a symbolic link, nor any other trick reaches a place outside it (such a call fails
// with 5, access denied). "." and ".." that stay beneath the root work. Failures give Win32 error
// numbers: 2 the last component is missing, 3 a directory on the way is missing or is a file,
// 5 access denied (also for a path not under the root, and for anything but a regular file or a
// directory where one of those is needed), 32 sharing violation, 183 already exists, 145
// directory not empty, 112 disk full, 206 name too long.
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

// How much a directory search reports of each entry. Kinds gives the name and whether it is a
// directory, with size 0 and the epoch as its time wherever the directory itself tells the kind
// (links and entries of unknown kind are still looked at whole); a listing that looks every entry
// up again needs no more.
enum class FindDetail { Full, Kinds };

// An open directory search; ends the search when destroyed.
class DirSearch {
 public:
  virtual ~DirSearch() = default;
  // The next entry; false when there are no more.
  virtual bool next(FindData& out) = 0;
};

// Looks up entries of one directory, opened once, by their names alone. Each lookup gives what
// FileSystem::lookup would give for the directory's path joined with the name (same details,
// same confinement, following symbolic links beneath the root), without resolving the
// directory's path again for every entry.
class EntryLookup {
 public:
  virtual ~EntryLookup() = default;
  // 0 or the error number, as lookup; on failure out is untouched.
  virtual uint32_t lookup(const char16_t* name, FindData& out) = 0;
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
  // Writes all n bytes and gives n, or throws PlatformError (112 when the disk is full); the
  // bytes written before a failure stay in the file.
  virtual std::size_t write(const void* buf, std::size_t n) = 0;
  // Moves the position to an absolute offset; failures are not reported. A negative offset
  // changes nothing.
  virtual void seek(int64_t offset) = 0;
  // Cuts or extends the file at an absolute offset and moves there; failures are not reported.
  // A negative offset changes nothing.
  virtual void truncateAt(int64_t offset) = 0;
  // The file's current size in bytes (one stat call), or throws PlatformError.
  virtual uint64_t size() = 0;
  // The descriptor behind the handle, for the network calls that move file data without
  // copying it through user space; -1 when there is none (those calls then read and write).
  virtual int descriptor() const noexcept { return -1; }
};

class FileSystem {
 public:
  virtual ~FileSystem() = default;
  // Each returns 0 on success or the Win32 error number; on failure the outputs are untouched.
  // attributes and lookup follow symbolic links (beneath the root).
  // out: kAttributeDirectory for a directory, kAttributeNormal for anything else.
  virtual uint32_t attributes(const char16_t* root, const char16_t* path, uint32_t& out) = 0;
  // The entry's details; its name is the last component of path as given (the root's own name
  // for the root itself), and the size of a directory is 0.
  virtual uint32_t lookup(const char16_t* root, const char16_t* path, FindData& out) = 0;
  // The operations on a last component act on that entry itself, never on what a symbolic link
  // names; the root itself and a last component "." or ".." are refused with 5.
  // deleteFile: a directory gives 5, a file open in this process 32.
  virtual uint32_t deleteFile(const char16_t* root, const char16_t* path) = 0;
  // An existing name gives 183.
  virtual uint32_t createDirectory(const char16_t* root, const char16_t* path) = 0;
  // A directory that is not empty gives 145, a file 3.
  virtual uint32_t removeDirectory(const char16_t* root, const char16_t* path) = 0;
  // Never replaces an existing destination (183). A source file open in this process gives 32.
  virtual uint32_t moveFile(const char16_t* root, const char16_t* from, const char16_t* to) = 0;
  // pattern: a directory path followed by "\*.*" or "\*"; every name matches, "." and ".."
  // included where the directory reports them (here: always), in the directory's own order.
  // Another last component gives 87; a missing directory 3. Symbolic links are followed beneath
  // the root; one that leads outside it or nowhere is reported as a file of size 0 with the
  // link's own time, and ".." of the root is reported with the root's own details. Names longer
  // than 260 units, and names with a '\' in them (no device path can name them), are skipped.
  virtual uint32_t findFirst(const char16_t* root, const char16_t* pattern,
                             std::unique_ptr<DirSearch>& search, FindData& first,
                             FindDetail detail) = 0;
  // A lookup of the entries of the directory dir (a device path under root). A directory that
  // cannot be reached gives its error, as attributes would, and out is left as it was.
  virtual uint32_t openEntryLookup(const char16_t* root, const char16_t* dir,
                                   std::unique_ptr<EntryLookup>& out) = 0;
  // Regular files only (anything else gives 5, at once, even a FIFO). A refused open changes
  // nothing: WriteNew empties the file only once the sharing check has passed.
  virtual uint32_t openFile(const char16_t* root, const char16_t* path, OpenMode mode,
                            std::unique_ptr<FileHandle>& out) = 0;
};

}  // namespace drovn::platform
