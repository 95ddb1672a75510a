// The file store: files and directories under one store directory (the --store folder), named by
// store paths: UTF-8, '/'-separated, "" and "/" being the store itself. Every call is confined to
// an account root (a store path in the same form): the path must lie under that root, compared
// component by component, and is resolved beneath it, so neither "..", nor a symbolic link, nor
// any other trick reaches a place outside it (such a call fails with permission_denied). "." and
// ".." that stay beneath the root work. Failures are errno values: no_such_file_or_directory,
// not_a_directory, permission_denied (also for a path not under the root, and for anything but a
// regular file or a directory where one of those is needed), device_or_resource_busy (a file
// open elsewhere in the process, see FileHandle), file_exists, directory_not_empty,
// no_space_on_device, filename_too_long.
#pragma once

#include <cstdint>
#include <iterator>
#include <memory>
#include <string_view>
#include <system_error>

#include "platform/Clock.h"
#include "platform/FixedText.h"

namespace drovn::platform {

enum class EntryKind : uint8_t { File, Directory };

// What a directory search or a lookup reports of one entry. A name is at most 255 bytes.
struct Entry {
  EntryKind kind = EntryKind::File;
  uint64_t size = 0;         // 0 for a directory
  CalendarTime lastWrite;    // UTC calendar fields of the last write
  FixedText<256> name;       // the entry's own name

  bool isDirectory() const noexcept { return kind == EntryKind::Directory; }
};

// How much a directory search reports of each entry. Kinds gives the name and whether it is a
// directory, with size 0 and the epoch as its time wherever the directory itself tells the kind
// (links and entries of unknown kind are still looked at whole); a listing that looks every entry
// up again needs no more.
enum class Detail { Full, Kinds };

// An open directory, read once from start to end with a range for; the search ends when it is
// destroyed. "." and ".." come along as the directory gives them.
class DirectorySearch {
 public:
  virtual ~DirectorySearch() = default;

  class Iterator {
   public:
    using value_type = Entry;
    using difference_type = std::ptrdiff_t;

    Iterator() = default;
    explicit Iterator(DirectorySearch* search) : search_(search) { ++*this; }
    const Entry& operator*() const noexcept { return entry_; }
    const Entry* operator->() const noexcept { return &entry_; }
    Iterator& operator++() {
      if (search_ != nullptr && !search_->next(entry_)) search_ = nullptr;
      return *this;
    }
    void operator++(int) { ++*this; }
    bool operator==(std::default_sentinel_t) const noexcept { return search_ == nullptr; }

   private:
    DirectorySearch* search_ = nullptr;
    Entry entry_;
  };

  Iterator begin() { return Iterator(this); }
  std::default_sentinel_t end() const noexcept { return {}; }

 protected:
  // The next entry; false when there are no more (a failed read ends the search too).
  virtual bool next(Entry& out) = 0;
};

// Looks up entries of one directory, opened once, by their names alone. Each lookup gives what
// FileSystem::lookup would give for the directory's path joined with the name (same details,
// same confinement, following symbolic links beneath the root), without resolving the
// directory's path again for every entry.
class EntryLookup {
 public:
  virtual ~EntryLookup() = default;
  // As lookup; on failure out is untouched.
  virtual std::error_code lookup(std::string_view name, Entry& out) = 0;
};

enum class OpenMode {
  WriteNew,        // write, no sharing, create or truncate
  ReadExisting,    // read, shared with other readers, must exist
  AppendOrCreate,  // write, no sharing, open or create, positioned at the end
};

// An open regular file; closes when destroyed. Sharing is enforced across the whole process:
// while a file is open for writing, every other open of it fails with device_or_resource_busy;
// several readers may share it.
class FileHandle {
 public:
  virtual ~FileHandle() = default;
  // Gives the bytes read (0 at the end), or throws PlatformError.
  virtual std::size_t read(void* buf, std::size_t n) = 0;
  // Writes all n bytes and gives n, or throws PlatformError (no_space_on_device when the disk
  // is full); the bytes written before a failure stay in the file.
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
  using Path = std::string_view;

  virtual ~FileSystem() = default;
  // Each gives an empty error_code on success; on failure the outputs are untouched.
  // kindOf and lookup follow symbolic links (beneath the root).
  virtual std::error_code kindOf(Path root, Path path, EntryKind& out) = 0;
  // The entry's details; its name is the last component of path as given (the root's own name
  // for the root itself).
  virtual std::error_code lookup(Path root, Path path, Entry& out) = 0;
  // The operations on a last component act on that entry itself, never on what a symbolic link
  // names; the root itself and a last component "." or ".." are refused with permission_denied.
  // deleteFile: a directory is refused with permission_denied, a file open in this process with
  // device_or_resource_busy.
  virtual std::error_code deleteFile(Path root, Path path) = 0;
  virtual std::error_code createDirectory(Path root, Path path) = 0;
  virtual std::error_code removeDirectory(Path root, Path path) = 0;
  // Never replaces an existing destination (file_exists). A source file open in this process
  // gives device_or_resource_busy.
  virtual std::error_code moveFile(Path root, Path from, Path to) = 0;
  // The entries of the directory dir, in the directory's own order. Symbolic links are followed
  // beneath the root; one that leads outside it or nowhere is reported as a file of size 0 with
  // the link's own time, and ".." of the root is reported with the root's own details. Names
  // with a '\' in them, which no client path can name, are skipped.
  virtual std::error_code openDirectory(Path root, Path dir, Detail detail,
                                        std::unique_ptr<DirectorySearch>& out) = 0;
  // A lookup of the entries of the directory dir. A directory that cannot be reached gives its
  // error, as kindOf would, and out is left as it was.
  virtual std::error_code openEntryLookup(Path root, Path dir,
                                          std::unique_ptr<EntryLookup>& out) = 0;
  // Regular files only (anything else is refused at once, even a FIFO). A refused open changes
  // nothing: WriteNew empties the file only once the sharing check has passed.
  virtual std::error_code openFile(Path root, Path path, OpenMode mode,
                                   std::unique_ptr<FileHandle>& out) = 0;
  // Sets a regular file's time of last write (UTC calendar fields, whole seconds); anything but
  // a regular file is refused with permission_denied, a time that is no valid date with
  // invalid_argument.
  virtual std::error_code setLastWrite(Path root, Path path, const CalendarTime& when) = 0;
};

}  // namespace drovn::platform
