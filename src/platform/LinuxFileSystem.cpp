#include "platform/LinuxFileSystem.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <map>
#include <string_view>
#include <system_error>
#include <utility>
#include <vector>

#include "platform/ErrorCodes.h"
#include "platform/Mutex.h"
#include "platform/UniqueFd.h"

namespace drovn::platform {

namespace {

// openat2 gives EAGAIN when a rename elsewhere races with a ".." step; the walk is simply
// tried again, a bounded number of times.
constexpr int kResolveAttempts = 8;
// The most one read or write call moves on Linux.
constexpr std::size_t kMaxIo = 0x7ffff000;

// The entries of an open directory, read from the kernel many at a time. A listing reads every
// entry of directories of tens of thousands, so the buffer is larger than a directory stream's
// and nothing is locked per entry.
class DirectoryReader {
 public:
  explicit DirectoryReader(UniqueFd fd) : fd_(std::move(fd)), buffer_(new char[kBufferSize]) {}

  int fd() const noexcept { return fd_.get(); }

  // The next entry, or null at the end of the directory and after a failed read.
  const struct dirent64* next() noexcept {
    if (at_ >= filled_) {
      if (ended_) return nullptr;
      ssize_t n;
      do {
        n = ::getdents64(fd_.get(), buffer_.get(), kBufferSize);
      } while (n < 0 && errno == EINTR);
      at_ = 0;
      filled_ = n > 0 ? static_cast<std::size_t>(n) : 0;
      if (filled_ == 0) {
        ended_ = true;
        return nullptr;
      }
    }
    // The kernel aligns each record for the structure and gives its length.
    const auto* entry = reinterpret_cast<const struct dirent64*>(buffer_.get() + at_);
    at_ += entry->d_reclen;
    return entry;
  }

 private:
  static constexpr std::size_t kBufferSize = 128 * 1024;
  UniqueFd fd_;
  std::unique_ptr<char[]> buffer_;
  std::size_t at_ = 0;
  std::size_t filled_ = 0;
  bool ended_ = false;
};

// Opens rel (relative, '/'-separated) beneath dirFd: the walk may not leave dirFd by "..", by an
// absolute path or by a symbolic link (absolute or climbing out), and may not use the magic links
// of /proc. Gives the descriptor, or -1 with errno set (EXDEV or ELOOP for an escape).
int openBeneath(int dirFd, const std::string& rel, int flags, mode_t mode = 0) {
  open_how how{};
  how.flags = static_cast<uint64_t>(flags | O_CLOEXEC);
  how.mode = (flags & O_CREAT) != 0 ? mode : 0;  // openat2 refuses a mode without O_CREAT
  how.resolve = RESOLVE_BENEATH | RESOLVE_NO_MAGICLINKS;
  for (int attempt = 1;; ++attempt) {
    const long fd = ::syscall(SYS_openat2, dirFd, rel.c_str(), &how, sizeof how);
    if (fd >= 0) return static_cast<int>(fd);
    if ((errno != EINTR && errno != EAGAIN) || attempt == kResolveAttempts) return -1;
  }
}

// A store path as its components; empty components are dropped.
std::vector<std::string> splitStorePath(std::string_view text) {
  std::vector<std::string> parts;
  std::size_t start = 0;
  for (std::size_t i = 0; i <= text.size(); ++i) {
    if (i == text.size() || text[i] == '/') {
      if (i > start) parts.emplace_back(text.substr(start, i - start));
      start = i + 1;
    }
  }
  return parts;
}

// The failure a caller of the store acts on. A step outside the root (EXDEV, ELOOP from openat2),
// a directory where a file is needed, and a FIFO or socket opened without blocking (ENXIO) are
// all refusals of access; a full quota is a full disk; some file systems say EEXIST for a
// directory that still has entries.
std::error_code storeError(int err, bool removingDirectory = false) {
  switch (err) {
    case EPERM:
    case EISDIR:
    case EXDEV:
    case ELOOP:
    case ENXIO:
      return errnoError(EACCES);
    case EDQUOT:
      return errnoError(ENOSPC);
    case EEXIST:
      return errnoError(removingDirectory ? ENOTEMPTY : EEXIST);
    default:
      return errnoError(err);
  }
}

std::error_code lastStoreError() {
  return storeError(errno);
}

// Components [from, to) joined with '/'; "." when there are none.
std::string joinParts(const std::vector<std::string>& parts, std::size_t from, std::size_t to) {
  if (from >= to) return ".";
  std::string rel;
  for (std::size_t i = from; i < to; ++i) {
    if (i > from) rel += '/';
    rel += parts[i];
  }
  return rel;
}

bool isDotName(std::string_view name) {
  return name == "." || name == "..";
}

// A path found under its account root, the root already opened beneath the store.
struct Located {
  UniqueFd root;
  std::string rest;    // the path beneath the root; "." for the root itself
  std::string parent;  // rest without its last component; "." when there is none
  std::string last;    // the last component beneath the root; empty for the root itself
  std::string name;    // the entry's own name: last, or the root's last component
};

std::error_code locate(int storeFd, const std::vector<std::string>& root,
                       const std::vector<std::string>& path, Located& out) {
  if (path.size() < root.size() || !std::equal(root.begin(), root.end(), path.begin())) {
    return errnoError(EACCES);
  }
  const int fd = openBeneath(storeFd, joinParts(root, 0, root.size()), O_PATH | O_DIRECTORY);
  if (fd < 0) return lastStoreError();
  out.root.reset(fd);
  out.rest = joinParts(path, root.size(), path.size());
  if (path.size() > root.size()) {
    out.parent = joinParts(path, root.size(), path.size() - 1);
    out.last = path.back();
    out.name = out.last;
  } else {
    // Filled as one character, not from the literal: g++ 12 at -O3 inlines the literal's copy
    // and reports a false overlap (-Wrestrict) between it and the string.
    out.parent.assign(1, '.');
    out.last.clear();
    out.name = root.empty() ? std::string() : root.back();
  }
  return {};
}

std::error_code locate(int storeFd, std::string_view root, std::string_view path, Located& out) {
  return locate(storeFd, splitStorePath(root), splitStorePath(path), out);
}

// The directory that holds the last component, for the calls that act on that name itself.
std::error_code openParent(const Located& at, UniqueFd& out) {
  if (at.last.empty() || isDotName(at.last)) return errnoError(EACCES);
  const int fd = openBeneath(at.root.get(), at.parent, O_PATH | O_DIRECTORY);
  if (fd < 0) return lastStoreError();
  out.reset(fd);
  return {};
}

bool statBeneath(int rootFd, const std::string& rel, struct stat& st) {
  const UniqueFd fd(openBeneath(rootFd, rel, O_PATH));
  return fd && ::fstat(fd.get(), &st) == 0;
}

CalendarTime utcFields(const struct timespec& t) {
  using namespace std::chrono;
  // Listings convert a time per entry: within the years 1 to 9999 this is plain arithmetic,
  // where gmtime_r takes the C library's time zone lock every time.
  constexpr int64_t kFirst = -62135596800;  // 0001-01-01 00:00:00
  constexpr int64_t kLast = 253402300799;   // 9999-12-31 23:59:59
  if (t.tv_sec >= kFirst && t.tv_sec <= kLast) {
    const sys_seconds at{seconds{t.tv_sec}};
    const sys_days day = floor<days>(at);
    const year_month_day date{day};
    const hh_mm_ss<seconds> time{at - day};
    return CalendarTime{static_cast<int>(date.year()),
                        static_cast<int>(static_cast<unsigned>(date.month())),
                        static_cast<int>(static_cast<unsigned>(date.day())),
                        static_cast<int>(time.hours().count()),
                        static_cast<int>(time.minutes().count()),
                        static_cast<int>(time.seconds().count())};
  }
  struct tm fields {};
  const time_t seconds = t.tv_sec;
  if (::gmtime_r(&seconds, &fields) == nullptr) return CalendarTime{};
  return CalendarTime{fields.tm_year + 1900, fields.tm_mon + 1, fields.tm_mday,
                      fields.tm_hour,        fields.tm_min,     fields.tm_sec};
}

void describe(const struct stat& st, Entry& out) {
  const bool directory = S_ISDIR(st.st_mode);
  out.kind = directory ? EntryKind::Directory : EntryKind::File;
  out.size = directory ? 0 : static_cast<uint64_t>(st.st_size);
  out.lastWrite = utcFields(st.st_mtim);
}

}  // namespace

// ---- sharing ----

class LinuxFileSystem::ShareTable {
 public:
  struct Key {
    uint64_t device = 0;
    uint64_t inode = 0;
    auto operator<=>(const Key&) const = default;
  };

  static Key keyOf(const struct stat& st) {
    return Key{static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino)};
  }

  // A writer shares with nobody; readers share with readers. False when the open conflicts.
  bool acquire(Key key, bool writing) {
    MutexLock lock(m_);
    auto [it, inserted] = open_.try_emplace(key);
    Users& users = it->second;
    if (!inserted && (writing || users.writer)) return false;
    if (writing) {
      users.writer = true;
    } else {
      ++users.readers;
    }
    return true;
  }

  void release(Key key, bool writing) noexcept {
    MutexLock lock(m_);
    const auto it = open_.find(key);
    if (it == open_.end()) return;
    Users& users = it->second;
    if (writing) {
      users.writer = false;
    } else if (users.readers > 0) {
      --users.readers;
    }
    if (!users.writer && users.readers == 0) open_.erase(it);
  }

  // Runs op (which gives an error) unless the entry `name` of dirFd is a file open in this
  // process, which is busy. No open registers while op runs; one that had already opened
  // the file but not yet registered keeps the file it opened, as it would have a moment earlier.
  template <typename Op>
  std::error_code unlessOpen(int dirFd, const char* name, Op op) {
    MutexLock lock(m_);
    struct stat st {};
    if (::fstatat(dirFd, name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode) &&
        open_.contains(keyOf(st))) {
      return errnoError(EBUSY);
    }
    return op();
  }

 private:
  struct Users {
    int readers = 0;
    bool writer = false;
  };
  Mutex m_;
  std::map<Key, Users> open_ GUARDED_BY(m_);
};

namespace {

using ShareTable = LinuxFileSystem::ShareTable;

// One open of a file as the share table knows it; given back when destroyed.
class ShareClaim {
 public:
  ShareClaim(std::shared_ptr<ShareTable> table, ShareTable::Key key, bool writing) noexcept
      : table_(std::move(table)), key_(key), writing_(writing) {}
  ~ShareClaim() {
    if (table_) table_->release(key_, writing_);
  }
  ShareClaim(ShareClaim&& other) noexcept
      : table_(std::move(other.table_)), key_(other.key_), writing_(other.writing_) {}
  ShareClaim(const ShareClaim&) = delete;
  ShareClaim& operator=(const ShareClaim&) = delete;
  ShareClaim& operator=(ShareClaim&&) = delete;

 private:
  std::shared_ptr<ShareTable> table_;
  ShareTable::Key key_;
  bool writing_;
};

class LinuxFileHandle final : public FileHandle {
 public:
  LinuxFileHandle(UniqueFd fd, ShareClaim claim) noexcept
      : claim_(std::move(claim)), fd_(std::move(fd)) {}

  std::size_t read(void* buf, std::size_t n) override {
    for (;;) {
      const ssize_t got = ::read(fd_.get(), buf, std::min(n, kMaxIo));
      if (got >= 0) return static_cast<std::size_t>(got);
      if (errno != EINTR) throw PlatformError{lastStoreError()};
    }
  }

  std::size_t write(const void* buf, std::size_t n) override {
    const char* bytes = static_cast<const char*>(buf);
    std::size_t done = 0;
    while (done < n) {
      const ssize_t put = ::write(fd_.get(), bytes + done, std::min(n - done, kMaxIo));
      if (put > 0) {
        done += static_cast<std::size_t>(put);
      } else if (put == 0) {
        // A regular file takes nothing without an error only when no room is left.
        throw PlatformError{errnoError(ENOSPC)};
      } else if (errno != EINTR) {
        throw PlatformError{lastStoreError()};
      }
    }
    return n;
  }

  // Failures to move or to cut are not reported: the read or write that follows reports what
  // matters.
  void seek(int64_t offset) override {
    if (offset < 0) return;
    (void)::lseek(fd_.get(), static_cast<off_t>(offset), SEEK_SET);
  }

  void truncateAt(int64_t offset) override {
    if (offset < 0) return;
    (void)::lseek(fd_.get(), static_cast<off_t>(offset), SEEK_SET);
    [[maybe_unused]] const int cut = ::ftruncate(fd_.get(), static_cast<off_t>(offset));
  }

  uint64_t size() override {
    struct stat st {};
    if (::fstat(fd_.get(), &st) != 0) throw PlatformError{lastStoreError()};
    return static_cast<uint64_t>(st.st_size);
  }

  int descriptor() const noexcept override { return fd_.get(); }

 private:
  // Declared first so it is given back last, after the descriptor is closed: until then no
  // other open of the file may pass the sharing check.
  ShareClaim claim_;
  UniqueFd fd_;
};

// A name no client path can reach: a '\' in it would be read as a separator.
bool unreachableName(std::string_view name) {
  return name.empty() || name.find('\\') != std::string_view::npos;
}

class LinuxDirectorySearch final : public DirectorySearch {
 public:
  LinuxDirectorySearch(UniqueFd root, std::string dirRel, UniqueFd dir, Detail detail)
      : root_(std::move(root)), dirRel_(std::move(dirRel)), dir_(std::move(dir)), detail_(detail) {}

 private:
  bool next(Entry& out) override {
    for (;;) {
      // The end of the directory and a failed read both end the search.
      const struct dirent64* entry = dir_.next();
      if (entry == nullptr) return false;
      if (fill(entry->d_name, entry->d_type, out)) return true;
    }
  }

  // False for an entry that is skipped: gone since it was read, or a name no path can hold.
  bool fill(const char* name, unsigned char type, Entry& out) {
    const std::string_view text(name);
    if (unreachableName(text)) return false;
    const bool parent = text == "..";
    // A plain file or directory cannot lead elsewhere: its kind from the directory is the whole
    // answer when only kinds are asked for.
    if (detail_ == Detail::Kinds && type != DT_UNKNOWN && type != DT_LNK && !parent) {
      out.kind = type == DT_DIR ? EntryKind::Directory : EntryKind::File;
      out.size = 0;
      out.lastWrite = CalendarTime{};
      out.name.assign(text);
      return true;
    }
    struct stat st {};
    if (::fstatat(dir_.fd(), name, &st, AT_SYMLINK_NOFOLLOW) != 0) return false;
    if (S_ISLNK(st.st_mode) || parent) {
      // Only a link (or "..") may lead elsewhere, so only these are walked, beneath the root.
      struct stat target {};
      if (statBeneath(root_.get(), dirRel_ + '/' + name, target)) {
        describe(target, out);
      } else if (parent && ::fstat(dir_.fd(), &target) == 0) {
        describe(target, out);  // ".." of the root itself: what lies above stays unseen
      } else {
        out.kind = EntryKind::File;  // a link that leads outside or nowhere
        out.size = 0;
        out.lastWrite = utcFields(st.st_mtim);
      }
    } else {
      describe(st, out);
    }
    out.name.assign(text);
    return true;
  }

  UniqueFd root_;
  std::string dirRel_;
  DirectoryReader dir_;
  Detail detail_;
};

// The entries of one directory, looked up by name with one fstatat each. Only a name that is
// not a symbolic link is taken from the directory itself: such an entry cannot lead anywhere
// else, so its details are what the confined walk of the whole path would find. A link, and any
// name the plain walk does not cover, goes through the full lookup of the joined path.
class LinuxEntryLookup final : public EntryLookup {
 public:
  LinuxEntryLookup(FileSystem& files, std::string_view root, std::string_view dir, UniqueFd dirFd)
      : files_(files), root_(root), dir_(dir), dirFd_(std::move(dirFd)) {}

  std::error_code lookup(std::string_view name, Entry& out) override {
    // Two scans of the name: find_first_of would search the set once for every character.
    const bool plain =
        !name.empty() && !isDotName(name) && name.find('/') == std::string_view::npos &&
        name.find('\\') == std::string_view::npos && name.size() <= FixedText<256>::kCapacity;
    if (plain) {
      const FixedText<256> entryName(name);
      struct stat st {};
      if (::fstatat(dirFd_.get(), entryName.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
          !S_ISLNK(st.st_mode)) {
        describe(st, out);
        out.name = entryName;
        return {};
      }
    }
    std::string path = dir_;
    if (path.empty() || path.back() != '/') path += '/';
    path += name;
    return files_.lookup(root_, path, out);
  }

 private:
  FileSystem& files_;
  std::string root_;
  std::string dir_;
  UniqueFd dirFd_;
};

}  // namespace

// ---- LinuxFileSystem ----

LinuxFileSystem::LinuxFileSystem(const std::string& storeDir)
    : shares_(std::make_shared<ShareTable>()) {
  UniqueFd store(::open(storeDir.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
  if (!store) {
    throw std::system_error(errno, std::generic_category(),
                            "cannot open the store directory " + storeDir);
  }
  // Every later resolution needs openat2: better to refuse now than to refuse every command.
  const UniqueFd probe(openBeneath(store.get(), ".", O_PATH | O_DIRECTORY));
  if (!probe) {
    throw std::system_error(errno, std::generic_category(),
                            "cannot resolve paths beneath the store directory " + storeDir);
  }
  storeFd_ = store.release();
}

LinuxFileSystem::~LinuxFileSystem() {
  UniqueFd closing(storeFd_);
}

namespace {

// The status of the entry at path, not following a final link out of the store.
std::error_code statEntry(int storeFd, std::string_view root, std::string_view path, Located& at,
                          struct stat& st) {
  if (const std::error_code error = locate(storeFd, root, path, at)) return error;
  const UniqueFd fd(openBeneath(at.root.get(), at.rest, O_PATH));
  if (!fd || ::fstat(fd.get(), &st) != 0) return lastStoreError();
  return {};
}

}  // namespace

std::error_code LinuxFileSystem::kindOf(Path root, Path path, EntryKind& out) {
  Located at;
  struct stat st {};
  if (const std::error_code error = statEntry(storeFd_, root, path, at, st)) return error;
  out = S_ISDIR(st.st_mode) ? EntryKind::Directory : EntryKind::File;
  return {};
}

std::error_code LinuxFileSystem::lookup(Path root, Path path, Entry& out) {
  Located at;
  struct stat st {};
  if (const std::error_code error = statEntry(storeFd_, root, path, at, st)) return error;
  describe(st, out);
  out.name.assign(at.name);
  return {};
}

std::error_code LinuxFileSystem::deleteFile(Path root, Path path) {
  Located at;
  UniqueFd parent;
  if (const std::error_code error = locate(storeFd_, root, path, at)) return error;
  if (const std::error_code error = openParent(at, parent)) return error;
  return shares_->unlessOpen(parent.get(), at.last.c_str(), [&]() -> std::error_code {
    // A directory gives EISDIR, a refusal, as deleting a directory as a file is.
    if (::unlinkat(parent.get(), at.last.c_str(), 0) == 0) return {};
    return lastStoreError();
  });
}

std::error_code LinuxFileSystem::createDirectory(Path root, Path path) {
  Located at;
  UniqueFd parent;
  if (const std::error_code error = locate(storeFd_, root, path, at)) return error;
  if (const std::error_code error = openParent(at, parent)) return error;
  if (::mkdirat(parent.get(), at.last.c_str(), 0777) == 0) return {};
  return lastStoreError();
}

std::error_code LinuxFileSystem::removeDirectory(Path root, Path path) {
  Located at;
  UniqueFd parent;
  if (const std::error_code error = locate(storeFd_, root, path, at)) return error;
  if (const std::error_code error = openParent(at, parent)) return error;
  if (::unlinkat(parent.get(), at.last.c_str(), AT_REMOVEDIR) == 0) return {};
  return storeError(errno, true);
}

std::error_code LinuxFileSystem::moveFile(Path root, Path from, Path to) {
  const std::vector<std::string> rootParts = splitStorePath(root);
  Located source;
  Located destination;
  UniqueFd sourceDir;
  UniqueFd destinationDir;
  if (const std::error_code error = locate(storeFd_, rootParts, splitStorePath(from), source)) {
    return error;
  }
  if (const std::error_code error = locate(storeFd_, rootParts, splitStorePath(to), destination)) {
    return error;
  }
  if (const std::error_code error = openParent(source, sourceDir)) return error;
  if (const std::error_code error = openParent(destination, destinationDir)) return error;
  return shares_->unlessOpen(sourceDir.get(), source.last.c_str(), [&]() -> std::error_code {
    // RENAME_NOREPLACE makes the kernel refuse an existing destination (EEXIST) in the same
    // step as the rename, so no other rename can slip in between a test and the move.
    if (::renameat2(sourceDir.get(), source.last.c_str(), destinationDir.get(),
                    destination.last.c_str(), RENAME_NOREPLACE) == 0) {
      return {};
    }
    return lastStoreError();
  });
}

std::error_code LinuxFileSystem::openDirectory(Path root, Path dir, Detail detail,
                                               std::unique_ptr<DirectorySearch>& out) {
  Located at;
  if (const std::error_code error = locate(storeFd_, root, dir, at)) return error;
  UniqueFd fd(openBeneath(at.root.get(), at.rest, O_RDONLY | O_DIRECTORY));
  if (!fd) return lastStoreError();
  out = std::make_unique<LinuxDirectorySearch>(std::move(at.root), at.rest, std::move(fd), detail);
  return {};
}

std::error_code LinuxFileSystem::openEntryLookup(Path root, Path dir,
                                                 std::unique_ptr<EntryLookup>& out) {
  Located at;
  if (const std::error_code error = locate(storeFd_, root, dir, at)) return error;
  UniqueFd fd(openBeneath(at.root.get(), at.rest, O_PATH | O_DIRECTORY));
  if (!fd) return lastStoreError();
  out = std::make_unique<LinuxEntryLookup>(*this, root, dir, std::move(fd));
  return {};
}

std::error_code LinuxFileSystem::openFile(Path root, Path path, OpenMode mode,
                                          std::unique_ptr<FileHandle>& out) {
  Located at;
  if (const std::error_code error = locate(storeFd_, root, path, at)) return error;
  const bool writing = mode != OpenMode::ReadExisting;
  // O_NONBLOCK so that a FIFO cannot hold the open up, O_NOCTTY so that a terminal never
  // becomes ours; both matter only until the file is known to be regular. No O_TRUNC: WriteNew
  // empties the file only after the sharing check, so a refused open destroys nothing. No
  // O_DIRECT: it would make every transfer whose size is not a multiple of the block size
  // fail, and the page cache changes nothing the client can see.
  const int access = writing ? O_WRONLY | O_CREAT : O_RDONLY;
  UniqueFd fd(openBeneath(at.root.get(), at.rest, access | O_NONBLOCK | O_NOCTTY, 0666));
  if (!fd) return lastStoreError();
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0) return lastStoreError();
  if (!S_ISREG(st.st_mode)) return errnoError(EACCES);
  const int flags = ::fcntl(fd.get(), F_GETFL);
  if (flags < 0 || ::fcntl(fd.get(), F_SETFL, flags & ~O_NONBLOCK) != 0) return lastStoreError();
  const ShareTable::Key key = ShareTable::keyOf(st);
  if (!shares_->acquire(key, writing)) return errnoError(EBUSY);
  ShareClaim claim(shares_, key, writing);
  if (mode == OpenMode::WriteNew) {
    // Only a file with something in it is emptied. ext4 takes a truncation to zero as a file
    // being replaced and writes the whole new content back when it is closed, which holds the
    // final reply of a fresh upload. The size is read again under the claim: a session that
    // wrote the file before the claim was ours has let it go by now.
    if (::fstat(fd.get(), &st) != 0) return lastStoreError();
    if (st.st_size != 0 && ::ftruncate(fd.get(), 0) != 0) return lastStoreError();
  }
  if (mode == OpenMode::AppendOrCreate && ::lseek(fd.get(), 0, SEEK_END) < 0) {
    return lastStoreError();
  }
  out = std::make_unique<LinuxFileHandle>(std::move(fd), std::move(claim));
  return {};
}

std::error_code LinuxFileSystem::setLastWrite(Path root, Path path, const CalendarTime& when) {
  struct tm fields {};
  fields.tm_year = when.year - 1900;
  fields.tm_mon = when.month - 1;
  fields.tm_mday = when.day;
  fields.tm_hour = when.hour;
  fields.tm_min = when.minute;
  fields.tm_sec = when.second;
  const time_t seconds = ::timegm(&fields);
  // timegm normalises what is out of range (a 31st of February becomes March): such a date is
  // refused rather than moved.
  const CalendarTime back = utcFields({seconds, 0});
  if (back.year != when.year || back.month != when.month || back.day != when.day ||
      back.hour != when.hour || back.minute != when.minute || back.second != when.second) {
    return errnoError(EINVAL);
  }
  Located at;
  if (const std::error_code error = locate(storeFd_, root, path, at)) return error;
  // Opened for reading only: setting a time asks for ownership of the file, not write access.
  const UniqueFd fd(openBeneath(at.root.get(), at.rest, O_RDONLY | O_NONBLOCK | O_NOCTTY));
  if (!fd) return lastStoreError();
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0) return lastStoreError();
  if (!S_ISREG(st.st_mode)) return errnoError(EACCES);
  // The last access stays as it is.
  const struct timespec times[2] = {{0, UTIME_OMIT}, {seconds, 0}};
  if (::futimens(fd.get(), times) != 0) return lastStoreError();
  return {};
}

}  // namespace drovn::platform
