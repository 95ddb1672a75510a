// The PASS command: turns a session that named a user into a logged-in one, with its account's
// root directory fixed and mounted.
#pragma once

#include <string_view>

#include "config/Settings.h"
#include "protocol/Session.h"

namespace drovn::protocol {

// password: the argument as the dispatcher joined it ("anonymous" or empty for a bare PASS).
// Sends exactly one reply, except when fixing the root fails: that failure is answered and the
// password test still sends its own reply.
void handlePass(Session& s, std::string_view password);

// The account a user name logs in to, chosen as the password check chooses it: account 1's name
// first, then account 2's, else the anonymous account.
enum class Account { One, Two, Anonymous };
Account accountOf(const config::Settings& s, std::string_view userName);

// Sends "530 Please log in first." and gives false unless the session is logged in.
bool requireLogin(Session& s);

}  // namespace drovn::protocol
