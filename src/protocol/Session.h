// The state of one control connection: everything the command handlers of a session use. One
// record per accepted connection, allocated once and shared by the session's thread and the
// service's registry (which may have to give up on a thread that does not end in time, so the
// record lives as long as either still holds it).
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>

#include "platform/FixedText.h"
#include "platform/Socket.h"
#include "platform/Tls.h"
#include "protocol/SessionHost.h"
#include "vfs/DirectoryEnumeration.h"
#include "vfs/MountTable.h"

namespace drovn::protocol {

inline constexpr std::size_t kTextSize = 2048;
inline constexpr std::size_t kReceiveBufferSize = 2048;
inline constexpr std::size_t kTransferBlockSize = 458752;  // 0x70000
static_assert(kTransferBlockSize == 0x70000);

using Text = FixedText<kTextSize>;

struct Session {
  int sessionId = 0;
  std::atomic<bool> closing{false};
  bool loggedIn = false;
  int badCommandCount = 0;
  uint32_t commandsRead = 0;  // command lines taken from the control connection
  Text currentDir{"/"};
  Text rootDir;
  int64_t restartOffset = 0;
  bool passiveMode = false;
  bool utf8 = false;
  // The standard command extensions, taken from the settings when the client connects, so a
  // session keeps the command set it started with.
  bool modernClients = false;
  // Set at login for an account that may list and download but change nothing.
  bool readOnly = false;
  platform::Socket controlSocket;
  // The control connection's peer (network order): the only host data connections may reach.
  uint32_t clientAddress = 0;
  platform::SocketAddress activeAddress;
  platform::Socket passiveSocket;
  // The data connection of the transfer in progress. Its DataConnection opens it here and
  // closes it; it lives in the session so that a stop can shut it down like the other two and
  // free a session blocked in a send to a client that reads nothing.
  platform::Socket dataSocket;
  // FTP over TLS: the server when the settings offer it (taken when the client connects), the
  // control connection's stream from AUTH TLS on, PROT P, and whether the account logged in to
  // may move data only under TLS.
  platform::TlsServer* tls = nullptr;
  std::unique_ptr<platform::TlsConnection> controlTls;
  bool protectData = false;
  bool protectionRequired = false;
  SessionHost* controller = nullptr;
  Text renameFrom;
  Text userName;
  vfs::MountTable mountTable;
  char receiveBuffer[kReceiveBufferSize] = {};
  int receivedLength = 0;
  int scanPosition = 0;
  Text commandLine;
  std::unique_ptr<char[]> transferBuffer{new char[kTransferBlockSize]};
  // The entry names of the listing in progress; empty between commands, but its room is kept
  // (up to a bound) for the next listing, which clients send after nearly every change.
  vfs::EntryNameList listingNames;

  // Set when the service gave up waiting for this session's thread: from then on the thread
  // writes nothing more to the log.
  std::atomic<bool> abandoned{false};
};

}  // namespace drovn::protocol
