#include "protocol/FileCommands.h"

#include "platform/FileSystem.h"
#include "protocol/LocalFiles.h"
#include "protocol/LoginCommand.h"
#include "protocol/Replies.h"
#include "protocol/SessionOutput.h"
#include "protocol/TextFunctions.h"
#include "vfs/Login.h"
#include "vfs/PathResolver.h"
#include "vfs/Tokens.h"

namespace drovn::protocol {

namespace {

constexpr char kDeleteOk[] = "250 DELE command ok.\r\n";
constexpr char kDirectoryCreated[] = "257 Directory created.\r\n";
constexpr char kDestinationNeeded[] = "350 Destination needed.\r\n";
constexpr char kNewNameNeeded[] = "503 New name needed.\r\n";
constexpr char kFileRenamed[] = "250 File renamed.\r\n";
constexpr char kRenameFailed[] = "550 Rename failed.\r\n";
constexpr char kRenameFailedWithErrors[] = "550 Rename failed with errors.\r\n";
constexpr char kCommandFailed[] = "500 Command Failed!\r\n";
constexpr char kUtf8Disabled[] = "501 Option UTF8 is disabled.\r\n";
constexpr char kOptionNotRecognized[] = "501 Option not recognized.\r\n";
constexpr char kUtf8On[] = "200 Option UTF8 is on.\r\n";
constexpr char kUtf8Off[] = "200 Option UTF8 is off.\r\n";
constexpr char kBadOption[] = "451 Bad option command.\r\n";

// The option word and its value: "UTF8" in the first five bytes, the value after them.
constexpr std::size_t kOptionWordLength = 5;

platform::FileSystem& files(Session& s) {
  return s.controller->platform().files;
}

using FileCall = std::error_code (platform::FileSystem::*)(platform::FileSystem::Path,
                                                          platform::FileSystem::Path);

// One file call on the resolved local path; true when the store carried it out.
bool callOnResolved(Session& s, Text& localPath, FileCall call) {
  StorePaths paths;
  return toStorePaths(s, localPath, paths) && !(files(s).*call)(paths.root, paths.path);
}

enum class Kind { File, Directory, Any };

// Resolves the argument and tests the kind of what it names, then carries out the call. A
// refused path, the wrong kind and a refusal of the store all get "550 Access denied!": a
// failure is never reported as done.
void changeEntry(Session& s, std::string_view argument, Kind kind, FileCall call,
                 const char* success) {
  try {
    auto path = resolveArgument(s, argument);
    if (!path) {
      sendReply(s, kAccessDenied);
      return;
    }
    Text& local = path->local;
    const bool rightKind =
        kind == Kind::Any || (kind == Kind::File ? isFile(s, local) : isDirectory(s, local));
    if (!rightKind || !callOnResolved(s, local, call)) {
      sendReply(s, kAccessDenied);
      return;
    }
  } catch (...) {
    // An internal failure (an allocation) is answered as a refusal, not counted.
    sendReply(s, kAccessDenied);
    return;
  }
  sendReply(s, success);
}

}  // namespace

void handleCwd(Session& s, std::string_view argument) {
  if (!requireLogin(s)) return;
  try {
    auto path = resolveArgument(s, argument);
    if (!path || !isDirectory(s, path->local)) {
      sendReply(s, kAccessDenied);
      return;
    }
    vfs::toSlashForm(path->virtualPath);
    s.currentDir = path->virtualPath;
  } catch (...) {
    // As for the other path commands; the current directory stays as it was.
    sendReply(s, kAccessDenied);
    return;
  }
  Text reply;
  composeReply(reply, "250 Directory changed to ", s.currentDir.view(), "\r\n");
  sendReply(s, reply.c_str());
}

void handleDele(Session& s, std::string_view argument) {
  if (!requireLogin(s)) return;
  changeEntry(s, argument, Kind::File, &platform::FileSystem::deleteFile, kDeleteOk);
}

void handleRmd(Session& s, std::string_view argument) {
  if (!requireLogin(s)) return;
  changeEntry(s, argument, Kind::Directory, &platform::FileSystem::removeDirectory, kDeleteOk);
}

void handleMkd(Session& s, std::string_view argument) {
  if (!requireLogin(s)) return;
  // Nothing is tested beforehand: the store refuses a name that exists.
  changeEntry(s, argument, Kind::Any, &platform::FileSystem::createDirectory, kDirectoryCreated);
}

void handleRnfr(Session& s, std::string_view argument) {
  if (!requireLogin(s)) return;
  auto path = resolveArgument(s, argument);
  if (path && (isFile(s, path->local) || isDirectory(s, path->local))) {
    s.renameFrom = path->local;  // in backslash form, left so by the kind test
    sendReply(s, kDestinationNeeded);
    return;
  }
  // A source saved earlier stays for a later RNTO.
  sendReply(s, kAccessDenied);
}

void handleRnto(Session& s, std::string_view argument) {
  if (!requireLogin(s)) return;
  if (s.renameFrom.empty()) {
    sendReply(s, kNewNameNeeded);
    return;
  }
  auto path = resolveArgument(s, argument);
  if (!path) {
    // The saved source stays for a later RNTO.
    sendReply(s, kAccessDenied);
    return;
  }
  const char* reply = kRenameFailed;
  try {
    StorePaths from;
    StorePaths to;
    if (toStorePaths(s, s.renameFrom, from) && toStorePaths(s, path->local, to)) {
      const std::error_code error = files(s).moveFile(from.root, from.path, to.path);
      // A destination the store will not reach (a link leading out of the root) is refused
      // like a path above the root; any other refusal is a failed rename.
      reply = !error                                    ? kFileRenamed
              : error == std::errc::permission_denied ? kAccessDenied
                                                        : kRenameFailed;
    }
  } catch (...) {
    // An internal failure (an allocation) is answered, not counted against the session.
    reply = kRenameFailedWithErrors;
  }
  s.renameFrom.clear();
  sendReply(s, reply);
}

void handleSize(Session& s, std::string_view argument) {
  if (!requireLogin(s)) return;
  auto path = resolveArgument(s, argument);
  if (!path || !isFile(s, path->local)) {
    sendReply(s, kAccessDenied);
    return;
  }
  const int64_t size = getFileSize(s, path->local);
  if (size < 0) {
    sendReply(s, kCommandFailed);
    return;
  }
  Text reply;
  reply.format("213 %lld\r\n", static_cast<long long>(size));
  sendReply(s, reply.c_str());
}

void handleType(Session& s, std::string_view argument) {
  if (!requireLogin(s)) return;
  // Nothing is stored: every transfer is byte-exact whatever the type.
  Text reply;
  if (vfs::equalsIgnoringCase(argument, "A") || vfs::equalsIgnoringCase(argument, "I")) {
    composeReply(reply, "200 Type is set to '", argument, "'.\r\n");
  } else {
    composeReply(reply, "500 Invalid type '", argument, ".\r\n");
  }
  sendReply(s, reply.c_str());
}

void handleOpts(Session& s, std::string_view argument) {
  if (!requireLogin(s)) return;
  // A client with the standard extensions gets the encoding it announces: one refused here
  // sends UTF-8 anyway, and its names would land on disk as the code page's reading of them.
  if (!s.modernClients && !s.controller->settings().opt_enableUtf8) {
    sendReply(s, kUtf8Disabled);
    return;
  }
  if (argument.size() <= kOptionWordLength) {
    sendReply(s, kOptionNotRecognized);
    return;
  }
  Text part;
  copySubstring(argument, part, 0, kOptionWordLength);
  vfs::trimText(part);
  if (!vfs::equalsIgnoringCase(part.view(), "UTF8")) {
    sendReply(s, kOptionNotRecognized);
    return;
  }
  copySubstring(argument, part, kOptionWordLength, argument.size());
  vfs::trimText(part);
  if (vfs::equalsIgnoringCase(part.view(), "ON")) {
    s.utf8 = true;
    sendReply(s, kUtf8On);
  } else if (vfs::equalsIgnoringCase(part.view(), "OFF")) {
    s.utf8 = false;
    sendReply(s, kUtf8Off);
  } else {
    sendReply(s, kBadOption);
  }
}

}  // namespace drovn::protocol
