// Turns one command line of a control connection into the command's effect.
#pragma once

#include "protocol/Session.h"

namespace drovn::protocol {

// line: without its CR LF; trimmed in place. Gives 0 after QUIT (the session must end), else 1.
// Errors raised by handlers pass through to the session loop.
int dispatchCommand(Session& s, Text& line);

}  // namespace drovn::protocol
