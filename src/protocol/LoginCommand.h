// The PASS command: turns a session that named a user into a logged-in one, with its account's
// root directory fixed and mounted.
#pragma once

#include <string_view>

#include "protocol/Session.h"

namespace drovn::protocol {

// password: the argument as the dispatcher joined it ("anonymous" or empty for a bare PASS).
// Sends exactly one reply, except when fixing the root fails: that failure is answered and the
// password test still sends its own reply.
void handlePass(Session& s, std::string_view password);

// Sends "530 Please log in first." and gives false unless the session is logged in.
bool requireLogin(Session& s);

}  // namespace drovn::protocol
