// The three accounts: which one a user name selects, whether its password lets it in, and the
// mount of its root directory.
#pragma once

#include <string_view>

#include "config/Settings.h"
#include "vfs/MountTable.h"
#include "vfs/Tokens.h"

namespace drovn::vfs {

// The root of the account userName selects (account 2 wins when both names are equal); empty
// for an empty user name.
config::SettingsText lookupAccountRoot(const config::Settings& s, std::string_view userName);
bool checkPassword(const config::Settings& s, std::string_view userName, std::string_view password);
// Empties table, then mounts the selected account's root (account 1 wins when both names are
// equal) under rootMountName. False, with the table empty, for an empty user name.
bool buildMountTable(const config::Settings& s, std::string_view userName, MountTable& table);

}  // namespace drovn::vfs
