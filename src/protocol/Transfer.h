// File transfers: RETR sends a file, STOR writes what the client sends (replacing the file or
// continuing it at a restart offset), APPE adds it to the end of a file, and REST sets the offset
// the next RETR or STOR starts from. Contents move block by block through the session's
// transferBuffer over one data connection per command.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>

#include "platform/FileSystem.h"
#include "protocol/Session.h"

namespace drovn::protocol {

// The owner of one open file of the store (or of none). Move-only; closes when destroyed.
class LocalFile {
 public:
  LocalFile() = default;
  LocalFile(LocalFile&&) noexcept = default;
  LocalFile& operator=(LocalFile&&) noexcept = default;
  LocalFile(const LocalFile&) = delete;
  LocalFile& operator=(const LocalFile&) = delete;

  bool isOpen() const noexcept { return handle_ != nullptr; }
  // Takes over an open handle, closing the one held before.
  void adopt(std::unique_ptr<platform::FileHandle> handle) noexcept;
  // Moves to an absolute offset; a failure is not reported (a later read or write shows it).
  void seek(int64_t offset);
  // Cuts or extends the file at an absolute offset and moves there; not reported either.
  void truncateAt(int64_t offset);
  // The bytes read, 0 at the end of the file; throws PlatformError.
  std::size_t read(void* buf, std::size_t n);
  // Writes all n bytes and gives n; throws PlatformError (what came before stays written).
  std::size_t write(const void* buf, std::size_t n);
  // The open handle, for the transfers that move blocks between it and a socket; throws
  // PlatformError (invalid handle) when nothing is open.
  platform::FileHandle& handle();
  // Closes the file; afterwards nothing is held. Closing twice does nothing.
  void close() noexcept { handle_.reset(); }

 private:
  std::unique_ptr<platform::FileHandle> handle_;
};

// Opens the session's local path (any form; left in backslash form) in the given mode, confined
// to the account root, with the session's client encoding. Throws PlatformError with the
// store's error number (32 while another session writes the file; 5 for anything but a regular
// file, and for a place outside the root). file holds nothing on failure.
void openLocalFile(Session& s, LocalFile& file, Text& localPath, platform::OpenMode mode);

// Each takes the argument as the dispatcher joined it and answers before login with "530 Please
// log in first.". A path the session may not reach is refused with "550 Access denied!" before
// any data connection is opened.
void handleRest(Session& s, std::string_view argument);
void handleRetr(Session& s, std::string_view argument);
void handleStor(Session& s, std::string_view argument);
void handleAppe(Session& s, std::string_view argument);

}  // namespace drovn::protocol
