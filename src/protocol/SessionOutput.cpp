#include "protocol/SessionOutput.h"

#include <cstring>
#include <string>
#include <string_view>


namespace drovn::protocol {

namespace {

// True for a CR or LF at i that is not part of a CR LF pair.
bool isBareLineBreak(std::string_view text, std::size_t i) {
  if (text[i] == '\n') return i == 0 || text[i - 1] != '\r';
  if (text[i] == '\r') return i + 1 == text.size() || text[i + 1] != '\n';
  return false;
}

}  // namespace

void sendReply(Session& s, const char* reply) {
  // A command line may hold a bare CR or LF (lines end only at CR LF), and replies echo words
  // and names from it; sent as they are, they would end the reply line early for the client.
  // Such a byte goes out as a space.
  const std::string_view text(reply);
  std::string cleaned;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (!isBareLineBreak(text, i)) continue;
    if (cleaned.empty()) cleaned.assign(text);
    cleaned[i] = ' ';
  }
  if (!cleaned.empty()) reply = cleaned.c_str();

  SessionHost& host = *s.controller;
  std::error_code error;
  // The result is not looked at: a connection that broke shows up at the next receive.
  if (s.controlTls) {
    (void)s.controlTls->send(reply, std::strlen(reply), error);
  } else {
    (void)host.platform().network.send(s.controlSocket, reply, std::strlen(reply), error);
  }
  Text logText;
  logLine(s, logForm(s, reply, logText));
}

const char* logForm(const Session& s, const char* clientText, Text& converted) {
  if (!s.utf8) return clientText;
  platform::TextCodec& codec = s.controller->platform().codec;
  converted.syncLength(codec.utf8ToCodePage(converted.data(), converted.bufferSize(), clientText));
  return converted.c_str();
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

namespace {

void writePrefixed(Session& s, const char* text, bool announce) {
  if (s.abandoned.load()) return;
  try {
    // Formatted on this thread's stack: every session formats its own lines.
    FixedText<kTextSize> line;
    line.format("#%d>%s", s.sessionId + 1, text);
    if (announce) {
      s.controller->writeLog(line.c_str());
    } else {
      s.controller->writeLogUnannounced(line.c_str());
    }
  } catch (...) {
    // As for logLine.
  }
}

}  // namespace

void logSessionLine(Session& s, const char* text) { writePrefixed(s, text, true); }

void logCommandLine(Session& s, const char* text) { writePrefixed(s, text, false); }

void announceCommandLine(Session& s) {
  try {
    s.controller->announceLog();
  } catch (...) {
    // The line goes out with the next one.
  }
}

}  // namespace drovn::protocol
