// The standard command extensions that sessions with the modern-clients setting understand and
// that need more than a fixed reply: file times (MDTM, MFMT) and the structure, mode and
// allocation commands that have one sensible answer here.
#pragma once

#include <string_view>

#include "protocol/Session.h"

namespace drovn::protocol {

// MDTM path: "213 YYYYMMDDHHMMSS", the file's time of last write in UTC.
void handleMdtm(Session& s, std::string_view argument);
// MFMT YYYYMMDDHHMMSS path: sets the file's time of last write (UTC).
void handleMfmt(Session& s, std::string_view argument);
// STRU F and MODE S, the only structure and mode there are; others get 504.
void handleStru(Session& s, std::string_view argument);
void handleMode(Session& s, std::string_view argument);

}  // namespace drovn::protocol
