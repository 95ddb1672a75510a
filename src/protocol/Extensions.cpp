#include "protocol/Extensions.h"

#include "platform/FileSystem.h"
#include "protocol/LocalFiles.h"
#include "protocol/LoginCommand.h"
#include "protocol/Replies.h"
#include "protocol/SessionOutput.h"
#include "protocol/TextFunctions.h"
#include "vfs/Tokens.h"

namespace drovn::protocol {

namespace {

constexpr char kBadTime[] = "501 Syntax error in the time.\r\n";
constexpr std::size_t kTimeDigits = 14;  // YYYYMMDDHHMMSS

void appendTime(Text& out, const platform::CalendarTime& t) {
  out.appendNumber(t.year, 4, '0');
  out.appendNumber(t.month, 2, '0');
  out.appendNumber(t.day, 2, '0');
  out.appendNumber(t.hour, 2, '0');
  out.appendNumber(t.minute, 2, '0');
  out.appendNumber(t.second, 2, '0');
}

// Exactly fourteen digits; fractions of a second, which clients may add, are not taken.
bool parseTime(std::string_view text, platform::CalendarTime& out) {
  if (text.size() != kTimeDigits) return false;
  for (const char c : text) {
    if (c < '0' || c > '9') return false;
  }
  const auto field = [&](std::size_t at, std::size_t n) {
    int v = 0;
    for (std::size_t i = at; i < at + n; ++i) v = v * 10 + (text[i] - '0');
    return v;
  };
  out = {field(0, 4), field(4, 2), field(6, 2), field(8, 2), field(10, 2), field(12, 2)};
  return true;
}

// The regular file the argument names, as store paths; false (after the refusal) otherwise.
bool resolveFile(Session& s, std::string_view argument, StorePaths& out) {
  auto path = resolveArgument(s, argument);
  if (!path || !isFile(s, path->local) || !toStorePaths(s, path->local, out)) {
    sendReply(s, kAccessDenied);
    return false;
  }
  return true;
}

}  // namespace

void handleMdtm(Session& s, std::string_view argument) {
  if (!requireLogin(s)) return;
  StorePaths paths;
  if (!resolveFile(s, argument, paths)) return;
  platform::Entry entry;
  if (s.controller->platform().files.lookup(paths.root, paths.path, entry)) {
    sendReply(s, kAccessDenied);
    return;
  }
  Text reply("213 ");
  appendTime(reply, entry.lastWrite);
  reply.append(kLineEnd);
  sendReply(s, reply.c_str());
}

void handleMfmt(Session& s, std::string_view argument) {
  if (!requireLogin(s)) return;
  const std::size_t space = argument.find(' ');
  platform::CalendarTime when;
  if (space == std::string_view::npos || !parseTime(argument.substr(0, space), when)) {
    sendReply(s, kBadTime);
    return;
  }
  const std::string_view name = argument.substr(space + 1);
  StorePaths paths;
  if (!resolveFile(s, name, paths)) return;
  const std::error_code error =
      s.controller->platform().files.setLastWrite(paths.root, paths.path, when);
  if (error) {
    sendReply(s, error == std::errc::invalid_argument ? kBadTime : kAccessDenied);
    return;
  }
  Text head("213 Modify=");
  appendTime(head, when);
  head.append("; ");
  Text reply;
  composeReply(reply, head.view(), name, kLineEnd);
  sendReply(s, reply.c_str());
}

void handleStru(Session& s, std::string_view argument) {
  sendReply(s, vfs::equalsIgnoringCase(argument, "F")
                   ? "200 Structure set to F.\r\n"
                   : "504 Only file structure is supported.\r\n");
}

void handleMode(Session& s, std::string_view argument) {
  sendReply(s, vfs::equalsIgnoringCase(argument, "S") ? "200 Mode set to S.\r\n"
                                                      : "504 Only stream mode is supported.\r\n");
}

}  // namespace drovn::protocol
