#include "protocol/Listing.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <memory>
#include <new>
#include <string>
#include <string_view>
#include <utility>

#include "platform/ErrorCodes.h"
#include "platform/FileSystem.h"
#include "protocol/DataConnection.h"
#include "protocol/LoginCommand.h"
#include "protocol/Replies.h"
#include "protocol/SessionOutput.h"
#include "protocol/TextFunctions.h"
#include "vfs/DirectoryEnumeration.h"
#include "vfs/Encoding.h"
#include "vfs/PathResolver.h"
#include "vfs/Pattern.h"

namespace drovn::protocol {

namespace {

// There is no real mode, link count, owner or group to show: every entry gets one of these.
constexpr char kFilePermissions[] = "-rw-rw-rw-   1 user     group";
constexpr char kDirectoryPermissions[] = "drw-rw-rw-   1 user     group";
constexpr char kBadPermissions[] = "drw-rw-rw-   1 user       bad";

// Long: the ls -l line of each entry; Names: the names as they are (or lines made before the
// data connection opened); Facts: the machine-readable facts and the name.
enum class Form { Long, Names, Facts };

// What an entry of a modern listing may have done to it, in the letters of the standard fact.
constexpr char kFilePerm[] = "radfw";
constexpr char kReadOnlyFilePerm[] = "r";
constexpr char kDirectoryPerm[] = "elcdmpf";
constexpr char kReadOnlyDirectoryPerm[] = "el";

// How far from now, either way, an entry may be dated and still show its hour and minute in a
// modern listing: half of an average Gregorian year.
constexpr int64_t kHalfYearSeconds = 15778476;
static_assert(2 * kHalfYearSeconds == 31556952);  // 365.2425 days

const char* monthText(int month) {
  return month >= 1 && month <= 12 ? monthNames[static_cast<std::size_t>(month - 1)] : "Jan";
}

// Calendar fields as seconds since 1970 on the same clock, day counts as the proleptic
// Gregorian calendar gives them.
int64_t secondsOf(const platform::CalendarTime& t) {
  using namespace std::chrono;
  const sys_days date{year{t.year} / month{static_cast<unsigned>(t.month)} /
                      day{static_cast<unsigned>(t.day)}};
  return int64_t{date.time_since_epoch().count()} * 86400 + t.hour * 3600 + t.minute * 60 +
         t.second;
}

// Whether an entry shows its hour and minute rather than its year. A modern listing asks, as
// ls -l does, whether the entry is within half a year of now, before or after, comparing
// instants rather than calendar years. Otherwise only the calendar year is compared, so last
// December already shows its year in January. The device clock gives local time and entries
// carry UTC fields; both are read as they stand, which moves the bound by at most the zone's
// offset, a few hours against half a year.
bool showsTime(const platform::CalendarTime& when, const platform::CalendarTime& now, bool byAge) {
  if (!byAge) return when.year == now.year;
  const int64_t apart = secondsOf(when) - secondsOf(now);
  return apart <= kHalfYearSeconds && apart >= -kHalfYearSeconds;
}

// Appended piece by piece, as "%s %2d %2d:%02d" or "%s %2d  %04d" would write it, since a
// listing writes one per entry.
void appendDate(Text& out, const platform::CalendarTime& when, bool withTime) {
  out.append(monthText(when.month));
  out.append(' ');
  out.appendNumber(when.day, 2, ' ');
  if (withTime) {
    out.append(' ');
    out.appendNumber(when.hour, 2, ' ');
    out.append(':');
    out.appendNumber(when.minute, 2, '0');
  } else {
    out.append("  ");
    out.appendNumber(when.year, 4, '0');
  }
}

// "type=file;size=5;modify=20261209101500;perm=radfw; name", the times in UTC.
void writeFacts(Text& out, const Session& s, const platform::Entry& found, std::string_view name) {
  const platform::CalendarTime& t = found.lastWrite;
  if (found.isDirectory()) {
    out.assign("type=dir;");
  } else {
    out.assign("type=file;size=");
    out.appendNumber(static_cast<long long>(found.size));
    out.append(';');
  }
  out.append("modify=");
  out.appendNumber(t.year, 4, '0');
  for (const int field : {t.month, t.day, t.hour, t.minute, t.second}) {
    out.appendNumber(field, 2, '0');
  }
  out.append(";perm=");
  if (found.isDirectory()) {
    out.append(s.readOnly ? kReadOnlyDirectoryPerm : kDirectoryPerm);
  } else {
    out.append(s.readOnly ? kReadOnlyFilePerm : kFilePerm);
  }
  out.append("; ");
  out.append(name);
}

void abortTransfer(Session& s, std::unique_ptr<DataConnection>& connection) {
  closeDataConnection(connection);
  sendReply(s, kTransferAborted);
}

// Where a listing's path leads, with the store paths of what it names.
enum class Found { Nothing, Directory, File };

Found locate(Session& s, std::string_view argument, StorePaths& paths) {
  auto path = resolveArgument(s, argument);
  platform::EntryKind kind{};
  if (!path || !toStorePaths(s, path->local, paths) ||
      s.controller->platform().files.kindOf(paths.root, paths.path, kind)) {
    return Found::Nothing;
  }
  return kind == platform::EntryKind::Directory ? Found::Directory : Found::File;
}

// The entry names of the directory dir.paths names, into a name list or a sink.
template <typename Into>
void enumerate(Session& s, const ListedDirectory& dir, Into& into) {
  platform::Platform& p = s.controller->platform();
  vfs::enumerateDirectory(p.files, p.codec, dir.paths.root, dir.paths.path, into, s.utf8);
}

// Resolves the argument to a directory; false (after the refusal) when it is no directory the
// session may list.
bool locateDirectory(Session& s, std::string_view argument, ListedDirectory& dir) {
  try {
    if (locate(s, argument, dir.paths) == Found::Directory) return true;
  } catch (const std::bad_alloc&) {
  }
  sendReply(s, kAccessDenied);
  return false;
}

// The same, then collects the directory's entry names.
bool collectNames(Session& s, std::string_view argument, ListedDirectory& dir,
                  vfs::EntryNameList& names) {
  if (!locateDirectory(s, argument, dir)) return false;
  try {
    enumerate(s, dir, names);
  } catch (const std::bad_alloc&) {
    sendReply(s, kAccessDenied);
    return false;
  }
  return true;
}

// The session's name list for one listing: every text is released when the command ends,
// whichever way it ends. The list's own room stays for the next listing, so a directory listed
// again is not regrown from nothing into fresh pages each time; room for more than kKeptNames
// names is given back.
class NameListLease {
 public:
  explicit NameListLease(vfs::EntryNameList& names) noexcept : names_(names) { names_.clear(); }
  ~NameListLease() {
    names_.clear();
    if (names_.capacity() > kKeptNames) vfs::EntryNameList().swap(names_);
  }
  NameListLease(const NameListLease&) = delete;
  NameListLease& operator=(const NameListLease&) = delete;

 private:
  static constexpr std::size_t kKeptNames = 16384;  // 512 KiB of list
  vfs::EntryNameList& names_;
};

// Overwrites entry, a name of dir in the client encoding, with its line in the long or the fact
// form. A fact line needs the entry's details: an entry that cannot be looked up (gone since
// the directory was read) is emptied and so left out.
void formatEntry(Session& s, const ListedDirectory& dir, Text& entry, Form form) {
  if (form == Form::Long) {
    formatListLine(s, dir, entry, s.utf8);
    return;
  }
  platform::Platform& p = s.controller->platform();
  thread_local std::string name;
  vfs::clientToUtf8(p.codec, s.utf8, entry.view(), name);
  platform::Entry found;
  if (entry.empty() || dir.lookUp(p.files, name, found)) {
    entry.clear();
    return;
  }
  vfs::PathText shownName;
  vfs::utf8ToClient(p.codec, s.utf8, found.name.view(), shownName);
  writeFacts(entry, s, found, shownName.view());
}

// A listing's bytes, gathered in the session's transfer buffer and sent each time it fills: a
// long listing needs no room beyond it, and its first lines are on their way while the rest
// are made. A failed send throws, as sendData does.
class ListingBlock {
 public:
  ListingBlock(DataConnection& connection, char* buffer, std::size_t room) noexcept
      : connection_(connection), buffer_(buffer), room_(room) {}

  void appendLine(std::string_view line) {
    const std::size_t n = line.size() + kLineEnd.size();
    if (used_ + n > room_) send();
    if (n > room_) {  // never for a line of a name or two, but the buffer is not overrun
      (void)sendData(connection_, line.data(), line.size());
      (void)sendData(connection_, kLineEnd.data(), kLineEnd.size());
      sentAny_ = true;
      return;
    }
    std::copy_n(line.data(), line.size(), buffer_ + used_);
    std::copy_n(kLineEnd.data(), kLineEnd.size(), buffer_ + used_ + line.size());
    used_ += n;
  }

  // Sends what is left; an empty listing is sent all the same, as nothing at all, so the client
  // sees the connection open and close with nothing on it.
  void finish() {
    if (used_ > 0 || !sentAny_) send();
  }

 private:
  void send() {
    (void)sendData(connection_, buffer_, used_);
    used_ = 0;
    sentAny_ = true;
  }

  DataConnection& connection_;
  char* buffer_;
  std::size_t room_;
  std::size_t used_ = 0;
  bool sentAny_ = false;
};

// The names of a directory, each straight into the listing as its own line.
class NameLines final : public vfs::EntrySink {
 public:
  explicit NameLines(ListingBlock& block) noexcept : block_(block) {}
  void take(std::string_view name) override { block_.appendLine(name); }

 private:
  ListingBlock& block_;
};

// Where a listing's entries come from: names gathered before the data connection opened (the
// matches of a pattern, a single file: there the reply depends on what is found), or the
// listed directory, read once the connection is open, so that the client takes the opening
// reply while the directory is read.
enum class Source { Gathered, Directory };

// The names as lines into block, each replaced by its line for the long and the fact forms.
// An empty name gives no line.
void appendEntries(Session& s, ListedDirectory& dir, const vfs::EntryNameList& names, Form form,
                   ListingBlock& block) {
  if (form != Form::Names) {
    dir.now = s.controller->platform().clock.localNow();
    // A directory that cannot be opened again leaves the lookups to the whole paths.
    platform::FileSystem& files = s.controller->platform().files;
    if (files.openEntryLookup(dir.paths.root, dir.paths.path, dir.entries)) {
      dir.entries.reset();
    }
  }
  Text line;
  for (const auto& name : names) {
    if (form == Form::Names) {
      if (!name.empty()) block.appendLine(name);
      continue;
    }
    line.assign(name);
    formatEntry(s, dir, line, form);
    if (!line.empty()) block.appendLine(line.view());
  }
}

// Sends the entries on one data connection, then the final reply.
void sendEntries(Session& s, ListedDirectory& dir, vfs::EntryNameList& names, Form form,
                 Source source) {
  std::unique_ptr<DataConnection> connection = openDataConnection(s);
  if (!connection) return;

  try {
    ListingBlock block(*connection, s.transferBuffer.get(), kTransferBlockSize);
    if (source == Source::Directory && form == Form::Names) {
      // A plain name list needs nothing but the names: none is kept on its way to the client.
      NameLines lines(block);
      enumerate(s, dir, lines);
    } else {
      if (source == Source::Directory) enumerate(s, dir, names);
      appendEntries(s, dir, names, form, block);
      names.clear();
    }
    block.finish();
  } catch (const platform::PlatformError&) {
    abortTransfer(s, connection);
    return;
  } catch (const std::bad_alloc&) {
    // The connection is open already: the client is told the transfer failed.
    abortTransfer(s, connection);
    return;
  }
  closeDataConnection(connection);
  sendReply(s, kTransferCompleted);
}

void sendListing(Session& s, std::string_view argument, Form form) {
  if (!requireLogin(s)) return;
  vfs::EntryNameList& names = s.listingNames;
  const NameListLease lease(names);
  auto dir = std::make_unique<ListedDirectory>();
  if (!locateDirectory(s, argument, *dir)) return;
  sendEntries(s, *dir, names, form, Source::Directory);
}

// The entries of the argument's folder whose names match the pattern in its last part, or
// false after the refusal when there are none. NLST names keep the folder as the client gave it.
bool collectMatches(Session& s, std::string_view argument, std::size_t lastPart, Form form,
                    ListedDirectory& dir, vfs::EntryNameList& names) {
  const std::string_view folder = argument.substr(0, lastPart);
  const std::string_view pattern = argument.substr(lastPart);
  if (!collectNames(s, folder, dir, names)) return false;
  std::erase_if(
      names, [&](const std::string& name) { return !vfs::matchesPattern(pattern, name, s.utf8); });
  if (names.empty()) {
    sendReply(s, kAccessDenied);
    return false;
  }
  if (form == Form::Names) {
    for (auto& name : names) name.insert(0, folder);
  }
  return true;
}

// A path to a file lists that file alone: NLST gives the path as the client gave it, LIST the
// file's line, made here since there is only the one. False after the refusal.
bool collectFile(Session& s, std::string_view argument, const StorePaths& paths, Form form,
                 ListedDirectory& dir, vfs::EntryNameList& names) {
  if (form == Form::Names) {
    names.emplace_back(argument);
    return true;
  }
  platform::Platform& p = s.controller->platform();
  platform::Entry found;
  if (p.files.lookup(paths.root, paths.path, found)) {
    sendReply(s, kAccessDenied);
    return false;
  }
  dir.now = p.clock.localNow();
  vfs::PathText shownName;
  vfs::utf8ToClient(p.codec, s.utf8, found.name.view(), shownName);
  Text line;
  writeLongLine(line, &found, shownName.view(), dir);
  names.emplace_back(line.view());
  return true;
}

// What a modern LIST or NLST sends, collected before any data connection, or for a directory
// where it is read from (source): false after the refusal. The form becomes Names when the
// lines are made already.
bool collectModern(Session& s, std::string_view argument, Form& form, ListedDirectory& dir,
                   vfs::EntryNameList& names, Source& source) {
  const std::size_t slash = argument.rfind('/');
  const std::size_t lastPart = slash == std::string_view::npos ? 0 : slash + 1;
  if (vfs::hasWildcard(argument.substr(lastPart))) {
    return collectMatches(s, argument, lastPart, form, dir, names);
  }
  StorePaths paths;
  switch (locate(s, argument, paths)) {
    case Found::Directory:
      // Already located: listed without resolving the path again.
      dir.paths = std::move(paths);
      source = Source::Directory;
      return true;
    case Found::File:
      if (!collectFile(s, argument, paths, form, dir, names)) return false;
      form = Form::Names;
      return true;
    case Found::Nothing:
      break;
  }
  sendReply(s, kAccessDenied);
  return false;
}

}  // namespace

std::error_code ListedDirectory::lookUp(platform::FileSystem& files, std::string_view name,
                                        platform::Entry& found) const {
  if (entries) return entries->lookup(name, found);
  std::string path = paths.path;
  if (path.empty() || path.back() != '/') path += '/';
  path.append(name);
  return files.lookup(paths.root, path, found);
}

bool takeListOption(vfs::TokenList& tokens) {
  if (tokens.size() < 2) return false;
  const std::string_view option = tokens[1].view();
  if (!vfs::equalsIgnoringCase(option, "-a") && !vfs::equalsIgnoringCase(option, "-l") &&
      !vfs::equalsIgnoringCase(option, "-al")) {
    return false;
  }
  tokens.erase(1);
  return true;
}

void handleList(Session& s, std::string_view argument) {
  sendListing(s, argument, Form::Long);
}

void handleNlst(Session& s, std::string_view argument) {
  sendListing(s, argument, Form::Names);
}

void handleModernList(Session& s, vfs::TokenList& tokens, bool namesOnly) {
  if (!requireLogin(s)) return;
  // Every option word goes, wherever it stands; what is left is the path.
  for (std::size_t i = tokens.size(); i-- > 1;) {
    if (tokens[i].view().starts_with('-')) tokens.erase(i);
  }
  Text argument;
  if (!joinArguments(s, tokens, Needed::WordOnly, argument)) return;
  vfs::EntryNameList& names = s.listingNames;
  const NameListLease lease(names);
  auto dir = std::make_unique<ListedDirectory>();
  dir->datesByAge = true;
  Form form = namesOnly ? Form::Names : Form::Long;
  Source source = Source::Gathered;
  try {
    if (!collectModern(s, argument.view(), form, *dir, names, source)) return;
  } catch (const std::bad_alloc&) {
    sendReply(s, kAccessDenied);
    return;
  }
  sendEntries(s, *dir, names, form, source);
}

void handleMlsd(Session& s, std::string_view argument) {
  if (!requireLogin(s)) return;
  vfs::EntryNameList& names = s.listingNames;
  const NameListLease lease(names);
  auto dir = std::make_unique<ListedDirectory>();
  if (!locateDirectory(s, argument, *dir)) return;
  sendEntries(s, *dir, names, Form::Facts, Source::Directory);
}

void handleMlst(Session& s, std::string_view argument) {
  if (!requireLogin(s)) return;
  StorePaths paths;
  platform::Entry found;
  if (locate(s, argument, paths) == Found::Nothing ||
      s.controller->platform().files.lookup(paths.root, paths.path, found)) {
    sendReply(s, kAccessDenied);
    return;
  }
  const std::string_view name = argument.empty() ? s.currentDir.view() : argument;
  Text facts;
  writeFacts(facts, s, found, name);
  // Room for the name twice (each at most a text) and the fixed parts.
  FixedText<2 * kTextSize + 64> reply;
  reply.assign("250-Listing ");
  reply.append(name);
  reply.append("\r\n ");
  reply.append(facts.view());
  reply.append("\r\n250 End\r\n");
  sendReply(s, reply.c_str());
}

void formatListLine(Session& s, const ListedDirectory& dir, Text& entry, bool utf8) {
  platform::Platform& p = s.controller->platform();

  // The entry is looked up in the listed directory itself, by its name in UTF-8, so no byte of a
  // double-byte character is ever taken for a separator. A listing formats every entry of its
  // directory: the name's buffer keeps its room from one entry to the next.
  thread_local std::string name;
  vfs::clientToUtf8(p.codec, utf8, entry.view(), name);

  platform::Entry found;
  Text shownName;
  const bool foundIt = !entry.empty() && !dir.lookUp(p.files, name, found);
  if (foundIt) {
    vfs::utf8ToClient(p.codec, utf8, found.name.view(), shownName);
  } else {
    shownName = entry;
  }
  writeLongLine(entry, foundIt ? &found : nullptr, shownName.view(), dir);
}

void writeLongLine(Text& out, const platform::Entry* found, std::string_view name,
                   const ListedDirectory& dir) {
  const char* permissions = kBadPermissions;
  int64_t size = 0;
  platform::CalendarTime when = dir.now;
  if (found != nullptr) {
    if (found->isDirectory()) {
      permissions = kDirectoryPermissions;
    } else {
      permissions = kFilePermissions;
      size = static_cast<int64_t>(found->size);
    }
    when = found->lastWrite;
  }
  // "%s %10lld %s %s" of the permissions, the size, the date and the name, written without
  // printf; a line longer than the text is cut as the format would cut it.
  out.assign(permissions);
  out.append(' ');
  out.appendNumber(size, 10, ' ');
  out.append(' ');
  appendDate(out, when, showsTime(when, dir.now, dir.datesByAge));
  out.append(' ');
  out.append(name);
}

}  // namespace drovn::protocol
