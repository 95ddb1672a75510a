#include "protocol/LoginCommand.h"

#include "protocol/Replies.h"
#include "protocol/SessionOutput.h"
#include "vfs/Login.h"

namespace drovn::protocol {

namespace {

constexpr char kEnterUserName[] = "503 Enter user name\r\n";
constexpr char kRootEmpty[] = "530 Root directory is empty\r\n";
constexpr char kRootError[] = "530 Root directory error\r\n";
constexpr char kPasswordOk[] = "230 Password ok.\r\n";
constexpr char kNotLoggedIn[] = "530 Not logged in.\r\n";

bool readOnlyAccount(const config::Settings& s, std::string_view userName) {
  switch (accountOf(s, userName)) {
    case Account::One:
      return s.auth_readOnly1;
    case Account::Two:
      return s.auth_readOnly2;
    case Account::Anonymous:
      break;
  }
  return s.auth_readOnlyAnonymous;
}

}  // namespace

Account accountOf(const config::Settings& s, std::string_view userName) {
  if (vfs::equalsIgnoringCase(userName, s.auth_user1.view())) return Account::One;
  if (vfs::equalsIgnoringCase(userName, s.auth_user2.view())) return Account::Two;
  return Account::Anonymous;
}

bool requireLogin(Session& s) {
  if (s.loggedIn) return true;
  sendReply(s, kPleaseLogIn);
  return false;
}

void handlePass(Session& s, std::string_view password) {
  if (s.loggedIn) {
    sendReply(s, kAlreadyLoggedIn);
    return;
  }
  if (s.userName.empty()) {
    sendReply(s, kEnterUserName);
    return;
  }
  // One reading of the settings for the whole attempt: the root, the password and the mount
  // then always come from the same record, even while the operator edits it.
  const config::Settings settings = s.controller->settings();
  try {
    s.rootDir.assign(vfs::lookupAccountRoot(settings, s.userName.view()).view());
    if (s.rootDir.empty()) {
      // The user name stays: a later PASS may retry once the root is set.
      sendReply(s, kRootEmpty);
      return;
    }
  } catch (...) {
    // Answered, and the password test still runs and answers too.
    sendReply(s, kRootError);
  }

  s.mountTable.clear();
  if (vfs::checkPassword(settings, s.userName.view(), password)) {
    // The user name is not empty here, so the root is always mounted.
    vfs::buildMountTable(settings, s.userName.view(), s.mountTable);
    s.loggedIn = true;
    s.readOnly = readOnlyAccount(settings, s.userName.view());
    s.protectionRequired =
        settings.tls_require && accountOf(settings, s.userName.view()) != Account::Anonymous;
    sendReply(s, kPasswordOk);
    return;
  }
  s.userName.clear();
  sendReply(s, kNotLoggedIn);
}

}  // namespace drovn::protocol
