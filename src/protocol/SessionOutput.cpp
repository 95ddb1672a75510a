#include "protocol/SessionOutput.h"

#include <cstring>
#include <string_view>

#include "platform/Utf8.h"

namespace drovn::protocol {

void sendReply(Session& s, const char* reply) {
  SessionHost& host = *s.controller;
  uint32_t error = 0;
  // The result is not looked at: a connection that broke shows up at the next receive.
  (void)host.platform().network.send(s.controlSocket, reply, std::strlen(reply), error);
  if (!s.utf8) {
    logLine(s, reply);
    return;
  }
  // The log is in the code page; a UTF-8 reply (a file name in it) is shown converted.
  platform::utf8ToUtf16(s.wideText.data(), s.wideText.bufferSize(), std::string_view(reply));
  s.wideText.syncLength();
  host.platform().codec.wideToCodePage(s.convertedText.data(), s.convertedText.bufferSize(),
                                       s.wideText.c_str());
  s.convertedText.syncLength();
  logLine(s, s.convertedText.c_str());
}

void logLine(Session& s, const char* text) {
  // A session the service gave up on has already been logged as disconnected.
  if (s.abandoned.load()) return;
  try {
    s.controller->writeLog(text);
  } catch (...) {
    // Logging never ends a session.
  }
}

void logSessionLine(Session& s, const char* text) {
  if (s.abandoned.load()) return;
  try {
    // Formatted on this thread's stack: every session formats its own lines.
    FixedText<kTextSize> line;
    line.format("#%d>%s", s.sessionId + 1, text);
    s.controller->writeLog(line.c_str());
  } catch (...) {
    // As for logLine.
  }
}

}  // namespace drovn::protocol
