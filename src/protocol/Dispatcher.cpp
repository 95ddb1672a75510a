// The first commands of the control connection: NOOP and QUIT; every other word is answered as
// unknown. The full command table builds on the same steps (trim, split, upper-case, log).
#include "protocol/Dispatcher.h"

#include <string_view>

#include "platform/Utf8.h"
#include "protocol/SessionOutput.h"

namespace drovn::protocol {

namespace {

constexpr std::string_view kInvalidCommand = "500 Invalid command ";
constexpr std::string_view kLineEnd = "\r\n";
constexpr char kNoopReply[] = "200 OK \r\n";

bool isBlank(char c) noexcept {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

// Blanks at both ends go; a text of blanks only is left as it is.
void trimBlanks(Text& t) noexcept {
  const std::string_view v = t.view();
  std::size_t begin = 0;
  while (begin < v.size() && isBlank(v[begin])) ++begin;
  if (begin == v.size()) return;
  std::size_t end = v.size();
  while (isBlank(v[end - 1])) --end;
  t.assign(v.substr(begin, end - begin));
}

void upperCaseAscii(Text& t) noexcept {
  char* p = t.data();
  for (std::size_t i = 0; i < t.size(); ++i) {
    if (p[i] >= 'a' && p[i] <= 'z') p[i] = static_cast<char>(p[i] - 'a' + 'A');
  }
}

// prefix + middle + CR LF into out. A middle too long for the buffer is cut, never the line end:
// a reply without its CR LF would leave the client waiting for the rest of the line.
void composeLine(Text& out, std::string_view prefix, std::string_view middle) noexcept {
  const std::size_t room = Text::kCapacity - prefix.size() - kLineEnd.size();
  out.assign(prefix);
  out.append(middle.substr(0, room));
  out.append(kLineEnd);
}

// Logs the line with the session prefix; the log is in the code page, so a UTF-8 line is
// converted first.
void logCommandLine(Session& s, const Text& line) {
  if (!s.utf8) {
    logSessionLine(s, line.c_str());
    return;
  }
  platform::utf8ToUtf16(s.wideText.data(), s.wideText.bufferSize(), line.view());
  s.wideText.syncLength();
  s.controller->platform().codec.wideToCodePage(s.convertedText.data(),
                                                s.convertedText.bufferSize(), s.wideText.c_str());
  s.convertedText.syncLength();
  logSessionLine(s, s.convertedText.c_str());
}

}  // namespace

int dispatchCommand(Session& s, Text& line) {
  trimBlanks(line);
  const std::string_view v = line.view();
  const std::size_t begin = v.find_first_not_of(' ');
  if (begin == std::string_view::npos) {
    // Only spaces: nothing to name, and nothing worth a log line.
    composeLine(s.replyText, kInvalidCommand, v);
    sendReply(s, s.replyText.c_str());
    return 1;
  }
  const std::size_t end = v.find(' ', begin);
  s.commandWord.assign(v.substr(begin, end == std::string_view::npos ? end : end - begin));
  trimBlanks(s.commandWord);
  upperCaseAscii(s.commandWord);

  logCommandLine(s, line);

  if (s.commandWord == "NOOP") {
    sendReply(s, kNoopReply);
    return 1;
  }
  if (s.commandWord == "QUIT") return 0;
  composeLine(s.replyText, kInvalidCommand, s.commandWord.view());
  sendReply(s, s.replyText.c_str());
  return 1;
}

}  // namespace drovn::protocol
