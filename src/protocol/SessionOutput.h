// A session's three output paths: a reply on the control connection (also copied into the log),
// a log line without prefix, and a log line with the session prefix "#n>".
#pragma once

#include "protocol/Session.h"

namespace drovn::protocol {

// Sends the reply's bytes in one send (the result is not examined) and logs it; in UTF-8 mode
// the logged copy is converted to the code page.
void sendReply(Session& s, const char* reply);
void logLine(Session& s, const char* text);
// The log is kept in the code page: in UTF-8 mode a client text (a command line, a reply, a local
// path) is converted into `converted`, which is given; otherwise the text itself.
const char* logForm(const Session& s, const char* clientText, Text& converted);
// Logs "#%d>%s" with sessionId + 1; a text too long for the line is cut.
void logSessionLine(Session& s, const char* text);
// A command line, logged as logSessionLine does. The window is woken by the reply's line that
// follows (or by announceCommandLine), not by this one: a command then costs the main thread
// one wake-up instead of two, and none before the reply has gone out.
void logCommandLine(Session& s, const char* text);
// Makes sure the window has heard of the command line; called before anything that may wait
// long without a reply (the data connection) and once the command is done.
void announceCommandLine(Session& s);

}  // namespace drovn::protocol
