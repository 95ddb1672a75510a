// The file and directory commands: change the current directory, delete, create and remove,
// rename in two steps, report a file's size, and settle the transfer type and the UTF-8 mode.
// Each takes the argument text the dispatcher joined and sends exactly one reply.
#pragma once

#include "protocol/Session.h"

namespace drovn::protocol {

void handleCwd(Session& s, Text& argument);
void handleDele(Session& s, Text& argument);
void handleMkd(Session& s, Text& argument);
void handleRmd(Session& s, Text& argument);
void handleRnfr(Session& s, Text& argument);
void handleRnto(Session& s, Text& argument);
void handleSize(Session& s, Text& argument);
void handleType(Session& s, Text& argument);
void handleOpts(Session& s, Text& argument);

}  // namespace drovn::protocol
