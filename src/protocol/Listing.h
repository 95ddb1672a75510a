// Directory listings: LIST in the UNIX long format, NLST with bare names, and for sessions with
// the standard extensions MLSD with the facts of each entry. Each collects the names of one
// directory, builds the whole listing in memory and sends it as one block on one data
// connection. MLST gives the facts of one entry on the control connection.
#pragma once

#include <array>
#include <memory>
#include <string_view>
#include <system_error>

#include "platform/FileSystem.h"

#include "protocol/LocalFiles.h"
#include "protocol/Session.h"
#include "vfs/Tokens.h"

namespace drovn::protocol {

inline constexpr std::array<const char*, 12> monthNames{
    "Jan", "Feb", "Mar", "Apr", "May", "Jun", "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

// Clients send ls options along; the three common ones are dropped. Only the first argument is
// looked at and compared whole, in any letter case: "-a", "-l", "-al" (so "-AL" too, but not
// "-la", which stays and is taken as a path). True when it removed one.
bool takeListOption(vfs::TokenList& tokens);

// The long listing and the bare-name listing of the directory the argument names (the current
// one when it is empty). Refused with 530 before login and with 550, before any data
// connection, for a path that is not a reachable directory.
void handleList(Session& s, std::string_view argument);
void handleNlst(Session& s, std::string_view argument);

// For sessions with the standard extensions. LIST (namesOnly false) and NLST (true) as
// handleList and handleNlst, except that option words are ignored, a path to a file lists that
// file alone, a '*' or '?' pattern in the last path part picks entries of its folder, and dates
// more than six months away show their year. tokens holds the command word and its arguments.
void handleModernList(Session& s, vfs::TokenList& tokens, bool namesOnly);
// MLSD: the machine-readable listing of a directory over the data connection; MLST: the facts of
// one entry on the control connection.
void handleMlsd(Session& s, std::string_view argument);
void handleMlst(Session& s, std::string_view argument);

// The directory a listing looks its entries up in, as the two store paths of a file call.
struct ListedDirectory {
  StorePaths paths;
  // The directory opened once for the lookups of its entries; without it (it could not be
  // opened) each entry is looked up by its whole path, with the same results.
  std::unique_ptr<platform::EntryLookup> entries;
  // The device clock when the listing began: it picks the date form of every line and dates
  // the entries that cannot be looked up, so one listing never straddles two years.
  platform::CalendarTime now;
  // A modern listing: an entry shows its year when it is more than half a year from now,
  // either way, instead of when its year is not the current one.
  bool datesByAge = false;

  // The entry of this directory with the UTF-8 name, as FileSystem::lookup gives it.
  std::error_code lookUp(platform::FileSystem& files, std::string_view name,
                         platform::Entry& found) const;
};

// Overwrites entry, the name of an entry of dir in the client encoding, with the entry's
// listing line (without line end). An entry that cannot be looked up still gets a line, marked
// "bad", with size 0 and dir.now as its date.
void formatListLine(Session& s, const ListedDirectory& dir, Text& entry, bool utf8);
// The long line of the entry found (null: the "bad" line dated dir.now) under the name shown,
// in the client encoding, into out.
void writeLongLine(Text& out, const platform::Entry* found, std::string_view name,
                   const ListedDirectory& dir);

}  // namespace drovn::protocol
