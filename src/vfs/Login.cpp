#include "vfs/Login.h"

#include <memory>

namespace drovn::vfs {

config::SettingsText lookupAccountRoot(const config::Settings& s, std::string_view userName) {
  if (userName.empty()) return config::SettingsText();
  // Each name test stands on its own, so with two equal account names the second one's root is
  // the one fixed here (the mount takes the first one's). The enable flags are left to the
  // password check.
  config::SettingsText root = s.auth_anonyRoot;
  if (equalsIgnoringCase(userName, s.auth_user1.view())) root = s.auth_root1;
  if (equalsIgnoringCase(userName, s.auth_user2.view())) root = s.auth_root2;
  return root;
}

bool checkPassword(const config::Settings& s, std::string_view userName,
                   std::string_view password) {
  // A named account that is switched off is refused outright: its name never falls through to
  // the anonymous account.
  if (equalsIgnoringCase(userName, s.auth_user1.view()))
    return s.auth_enable1 && equalsIgnoringCase(password, s.auth_pwd1.view());
  if (equalsIgnoringCase(userName, s.auth_user2.view()))
    return s.auth_enable2 && equalsIgnoringCase(password, s.auth_pwd2.view());
  return s.auth_Anonymous;
}

bool buildMountTable(const config::Settings& s, std::string_view userName, MountTable& table) {
  table.clear();
  if (userName.empty()) return false;
  auto name = std::make_unique<PathText>(config::rootMountName);
  const config::SettingsText* root = &s.auth_anonyRoot;
  if (equalsIgnoringCase(userName, s.auth_user1.view()))
    root = &s.auth_root1;
  else if (equalsIgnoringCase(userName, s.auth_user2.view()))
    root = &s.auth_root2;
  auto directory = std::make_unique<PathText>(root->view());
  table.set(std::move(name), std::move(directory));
  return true;
}

}  // namespace drovn::vfs
