#include "protocol/Listing.h"

#include <algorithm>
#include <cstdint>
#include <memory>
#include <new>
#include <string_view>

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

namespace drovn::protocol {

namespace {


// There is no real mode, link count, owner or group to show: every entry gets one of these.
constexpr char kFilePermissions[] = "-rw-rw-rw-   1 user     group";
constexpr char kDirectoryPermissions[] = "drw-rw-rw-   1 user     group";
constexpr char kBadPermissions[] = "drw-rw-rw-   1 user       bad";

enum class Form { Long, Names };

const char* monthText(int month) {
  return month >= 1 && month <= 12 ? monthNames[static_cast<std::size_t>(month - 1)] : "Jan";
}

// Hour and minute for this year, the year otherwise: only the calendar year is compared, so
// last December already shows its year in January. Appended piece by piece, as
// "%s %2d %2d:%02d" or "%s %2d  %04d" would write it, since a listing writes one per entry.
void appendDate(Text& out, const platform::CalendarTime& when, int currentYear) {
  out.append(monthText(when.month));
  out.append(' ');
  out.appendNumber(when.day, 2, ' ');
  if (when.year == currentYear) {
    out.append(' ');
    out.appendNumber(when.hour, 2, ' ');
    out.append(':');
    out.appendNumber(when.minute, 2, '0');
  } else {
    out.append("  ");
    out.appendNumber(when.year, 4, '0');
  }
}

void abortTransfer(Session& s, std::unique_ptr<DataConnection>& connection) {
  closeDataConnection(connection);
  sendReply(s, kTransferAborted);
}

// Resolves the argument to a directory and collects its entry names; false (after the refusal)
// when it is no directory the session may list.
bool collectNames(Session& s, std::string_view argument, ListedDirectory& dir,
                  vfs::EntryNameList& names) {
  try {
    auto path = resolveArgument(s, argument);
    if (!path || !isDirectory(s, path->local) || !toStorePaths(s, path->local, dir.paths)) {
      sendReply(s, kAccessDenied);
      return false;
    }
    platform::Platform& p = s.controller->platform();
    vfs::enumerateDirectory(p.files, p.codec, dir.paths.root, dir.paths.path, names, s.utf8);
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

void sendListing(Session& s, std::string_view argument, Form form) {
  if (!requireLogin(s)) return;
  vfs::EntryNameList& names = s.listingNames;
  const NameListLease lease(names);
  auto dir = std::make_unique<ListedDirectory>();
  if (!collectNames(s, argument, *dir, names)) return;

  std::unique_ptr<DataConnection> connection = openDataConnection(s);
  if (!connection) return;

  try {
    if (form == Form::Long) {
      dir->now = s.controller->platform().clock.localNow();
      // A directory that cannot be opened again leaves the lookups to the whole paths.
      platform::FileSystem& files = s.controller->platform().files;
      if (files.openEntryLookup(dir->paths.root, dir->paths.path, dir->entries)) {
        dir->entries.reset();
      }
    }
    std::size_t total = 0;
    Text line;
    for (auto& name : names) {
      if (form == Form::Long) {
        line.assign(name);
        formatListLine(s, *dir, line, s.utf8);
        name.assign(line.view());
      }
      total += name.size() + kLineEnd.size();
    }
    // Most listings fit the session's transfer buffer; a longer one gets one block of exactly
    // its size, so it still leaves in a single send.
    std::unique_ptr<char[]> allocated;
    char* block = s.transferBuffer.get();
    if (total >= kTransferBlockSize) {
      allocated.reset(new char[total]);
      block = allocated.get();
    }
    char* at = block;
    for (const auto& name : names) {
      at = std::copy_n(name.data(), name.size(), at);
      at = std::copy_n(kLineEnd.data(), kLineEnd.size(), at);
    }
    names.clear();
    // Sent even when empty: the client sees the connection open and close with nothing on it.
    if (sendData(*connection, block, total) != total) {
      abortTransfer(s, connection);
      return;
    }
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

}  // namespace

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
  Text argument;
  if (!joinArguments(s, tokens, Needed::WordOnly, argument)) return;
  sendListing(s, argument.view(), namesOnly ? Form::Names : Form::Long);
}

void handleMlsd(Session& s, std::string_view) {
  sendReply(s, "502 Command not implemented.\r\n");
}

void handleMlst(Session& s, std::string_view) {
  sendReply(s, "502 Command not implemented.\r\n");
}

void formatListLine(Session& s, const ListedDirectory& dir, Text& entry, bool utf8) {
  platform::Platform& p = s.controller->platform();
  const platform::CalendarTime& now = dir.now;

  // The entry is looked up in the listed directory itself, by its name in UTF-8, so no byte of a
  // double-byte character is ever taken for a separator. A listing formats every entry of its
  // directory: the name's buffer keeps its room from one entry to the next.
  thread_local std::string name;
  vfs::clientToUtf8(p.codec, utf8, entry.view(), name);

  platform::Entry found;
  Text shownName;
  const char* permissions = kBadPermissions;
  int64_t size = 0;
  platform::CalendarTime when = now;
  const auto look = [&]() -> std::error_code {
    if (dir.entries) return dir.entries->lookup(name, found);
    std::string path = dir.paths.path;
    if (path.empty() || path.back() != '/') path += '/';
    return p.files.lookup(dir.paths.root, path + name, found);
  };
  if (!entry.empty() && !look()) {
    if (found.isDirectory()) {
      permissions = kDirectoryPermissions;
    } else {
      permissions = kFilePermissions;
      size = static_cast<int64_t>(found.size);
    }
    when = found.lastWrite;
    vfs::utf8ToClient(p.codec, utf8, found.name.view(), shownName);
  } else {
    shownName = entry;
  }

  // "%s %10lld %s %s" of the permissions, the size, the date and the name, written without
  // printf; a line longer than the text is cut as the format would cut it.
  entry.assign(permissions);
  entry.append(' ');
  entry.appendNumber(size, 10, ' ');
  entry.append(' ');
  appendDate(entry, when, now.year);
  entry.append(' ');
  entry.append(shownName.view());
}

}  // namespace drovn::protocol
