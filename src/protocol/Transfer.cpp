#include "protocol/Transfer.h"

#include <cerrno>

#include "platform/ErrorCodes.h"
#include "protocol/DataConnection.h"
#include "protocol/LocalFiles.h"
#include "protocol/LoginCommand.h"
#include "protocol/Replies.h"
#include "protocol/SessionOutput.h"
#include "vfs/PathResolver.h"
#include "vfs/Tokens.h"

namespace drovn::protocol {

namespace {

constexpr char kUnknownError[] = "Unknown error";
constexpr char kNoDataConnection[] = "Failed to get data connection";

platform::FileSystem& files(Session& s) {
  return s.controller->platform().files;
}

// False when the store refuses to reach the local path at all (a link leading out of the account
// root, a directory on the way that may not be entered). A missing file is reachable: an upload
// creates it. Lets an upload be refused before its data connection exists.
bool reachable(Session& s, Text& localPath) {
  StorePaths paths;
  platform::EntryKind kind{};
  if (!toStorePaths(s, localPath, paths)) return false;
  return files(s).kindOf(paths.root, paths.path, kind) != std::errc::permission_denied;
}

// The local path in the log, which is kept in the code page.
void logLocalPath(Session& s, const Text& localPath) {
  Text logText;
  logLine(s, logForm(s, localPath.c_str(), logText));
}

// Moves what the client sends into the file, block by block, until the client closes the data
// connection or the session ends; the end of the stream is taken as the end of the file. False
// on a receive error; a failed write throws.
bool receiveIntoFile(Session& s, DataConnection& connection, LocalFile& file) {
  long long count = 1;
  while (count > 0 && !s.closing.load()) {
    count = receiveFileBlock(connection, file.handle(), s.transferBuffer.get(), kTransferBlockSize);
  }
  return count >= 0;
}

// Receives the upload and ends the command: 226 once the data connection is closed, or the
// abort path on a receive or write failure. Shared by STOR and APPE, which abort alike.
void finishUpload(Session& s, std::unique_ptr<DataConnection>& connection, LocalFile& file,
                  const Text& localPath) {
  bool received = false;
  try {
    received = receiveIntoFile(s, *connection, file);
  } catch (...) {
    received = false;
  }
  // The file is let go before the final reply, so a client that acts on the reply at once
  // (a download of what it just sent, on another connection) never meets the writer's lock.
  // A stop shuts the data connection down under a blocked receive: that is the session
  // ending, not a failed transfer, and it ends without a final reply.
  if (!received && !s.closing.load()) {
    logLine(s, kUnknownError);
    logLocalPath(s, localPath);
    closeDataConnection(connection);
    file.close();
    sendReply(s, kTransferAborted);
    return;
  }
  closeDataConnection(connection);
  file.close();
  if (!s.closing.load()) sendReply(s, kTransferCompleted);
}

}  // namespace

void LocalFile::adopt(std::unique_ptr<platform::FileHandle> handle) noexcept {
  handle_ = std::move(handle);
}

void LocalFile::seek(int64_t offset) {
  if (handle_) handle_->seek(offset);
}

void LocalFile::truncateAt(int64_t offset) {
  if (handle_) handle_->truncateAt(offset);
}

std::size_t LocalFile::read(void* buf, std::size_t n) {
  if (!handle_) throw platform::PlatformError{platform::errnoError(EBADF)};
  return handle_->read(buf, n);
}

platform::FileHandle& LocalFile::handle() {
  if (!handle_) throw platform::PlatformError{platform::errnoError(EBADF)};
  return *handle_;
}

std::size_t LocalFile::write(const void* buf, std::size_t n) {
  if (!handle_) throw platform::PlatformError{platform::errnoError(EBADF)};
  return handle_->write(buf, n);
}

void openLocalFile(Session& s, LocalFile& file, Text& localPath, platform::OpenMode mode) {
  file.close();
  StorePaths paths;
  // An empty local path names nothing.
  if (!toStorePaths(s, localPath, paths)) throw platform::PlatformError{platform::errnoError(ENOENT)};
  std::unique_ptr<platform::FileHandle> handle;
  if (const std::error_code error = files(s).openFile(paths.root, paths.path, mode, handle)) {
    throw platform::PlatformError{error};
  }
  file.adopt(std::move(handle));
}

void handleRest(Session& s, std::string_view argument) {
  if (!requireLogin(s)) return;
  // Nothing is checked against any file: an offset past the end sends nothing later.
  s.restartOffset = vfs::leadingNumber(argument);
  Text reply;
  reply.format("350 REST from %lld\r\n", static_cast<long long>(s.restartOffset));
  sendReply(s, reply.c_str());
}

void handleRetr(Session& s, std::string_view argument) {
  if (!requireLogin(s)) return;
  auto path = resolveArgument(s, argument);
  if (!path || !isFile(s, path->local)) {
    sendReply(s, kAccessDenied);
    return;
  }
  std::unique_ptr<DataConnection> connection = openDataConnection(s);
  if (!connection) return;
  LocalFile file;
  try {
    openLocalFile(s, file, path->local, platform::OpenMode::ReadExisting);
    // A negative offset is skipped and stays set; a positive one is used once.
    if (s.restartOffset > 0) {
      file.seek(s.restartOffset);
      s.restartOffset = 0;
    }
    // Each block is read and sent whole before the next; the last one is empty and moves
    // nothing.
    std::size_t count = 1;
    while (count > 0 && !s.closing.load()) {
      count = sendFileBlock(*connection, file.handle(), s.transferBuffer.get(), kTransferBlockSize);
    }
    awaitTaken(s, *connection);
    closeDataConnection(connection);
    file.close();  // before the reply, as for uploads
    if (!s.closing.load()) sendReply(s, kTransferCompleted);
  } catch (...) {
    if (connection) closeDataConnection(connection);
    file.close();
    // A send cut off by a stop ends the session, not the transfer: no final reply.
    if (s.closing.load()) return;
    sendReply(s, kTransferAborted);
    logLocalPath(s, path->local);
  }
}

void handleStor(Session& s, std::string_view argument) {
  if (!requireLogin(s)) return;
  // There is no existence test: the file may be new. But a place the store will not reach is
  // refused now, before the client is asked for any data.
  auto path = resolveArgument(s, argument);
  if (!path || !reachable(s, path->local)) {
    sendReply(s, kAccessDenied);
    return;
  }
  std::unique_ptr<DataConnection> connection = openDataConnection(s);
  if (!connection) return;
  LocalFile file;
  bool opened = false;
  try {
    if (s.restartOffset != 0) {
      // A restart continues the file at the offset: the bytes before it stay, the rest goes.
      // A negative offset names no place; the file stays whole and the upload goes on at its
      // end, where the append mode put it.
      openLocalFile(s, file, path->local, platform::OpenMode::AppendOrCreate);
      if (s.restartOffset > 0) {
        file.seek(s.restartOffset);
        file.truncateAt(s.restartOffset);
      }
      s.restartOffset = 0;
    } else {
      openLocalFile(s, file, path->local, platform::OpenMode::WriteNew);
    }
    opened = true;
  } catch (...) {
    opened = false;
  }
  if (!opened) {
    file.close();
    closeDataConnection(connection);
    sendReply(s, kAccessDenied);
    return;
  }
  finishUpload(s, connection, file, path->local);
}

void handleAppe(Session& s, std::string_view argument) {
  if (!requireLogin(s)) return;
  auto path = resolveArgument(s, argument);
  if (!path) {
    sendReply(s, kAccessDenied);
    return;
  }
  // The file first: a file that cannot be opened is refused before any data connection. The
  // restart offset plays no part and stays for the next RETR or STOR.
  LocalFile file;
  try {
    openLocalFile(s, file, path->local, platform::OpenMode::AppendOrCreate);
  } catch (...) {
    sendReply(s, kAccessDenied);
    return;
  }
  bool answered = false;
  std::unique_ptr<DataConnection> connection = openDataConnection(s, answered);
  if (!connection) {
    file.close();
    if (answered) return;
    sendReply(s, kTransferAborted);
    logLocalPath(s, path->local);
    logLine(s, kNoDataConnection);
    return;
  }
  finishUpload(s, connection, file, path->local);
}

}  // namespace drovn::protocol
