// The file and directory commands: change the current directory, delete, create and remove,
// rename in two steps, report a file's size, and settle the transfer type and the UTF-8 mode.
// Each takes the argument text the dispatcher joined and sends exactly one reply.
#pragma once

#include <string_view>

#include "protocol/Session.h"

namespace drovn::protocol {

void handleCwd(Session& s, std::string_view argument);
void handleDele(Session& s, std::string_view argument);
void handleMkd(Session& s, std::string_view argument);
void handleRmd(Session& s, std::string_view argument);
void handleRnfr(Session& s, std::string_view argument);
void handleRnto(Session& s, std::string_view argument);
void handleSize(Session& s, std::string_view argument);
void handleType(Session& s, std::string_view argument);
void handleOpts(Session& s, std::string_view argument);

}  // namespace drovn::protocol
