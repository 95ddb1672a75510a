#include "core/SessionLoop.h"

#include <cstring>
#include <string_view>

#include "platform/ErrorCodes.h"
#include "platform/Network.h"
#include "protocol/SessionOutput.h"

namespace drovn::core {

namespace {

using protocol::Session;

constexpr char kGreeting[] = "220 Server ready...\r\n";
constexpr char kSessionTimeout[] = "500 Session timeout\r\n";
constexpr char kTooManyBadCommands[] = "421 Too many bad commands.\r\n";
constexpr uint32_t kWaitMs = 1000;     // one readiness wait
constexpr uint32_t kPollSleepMs = 80;  // between empty waits, empty receives and empty lines
// How long the first receive after a reply keeps the thread awake for the client's next
// command, where it cannot wait on the client's processor; a client that thinks longer finds
// the thread asleep, as before.
constexpr uint32_t kCommandSpinMicros = 100;
// From this many commands on, a session waits for the next one on its client's processor, or
// spins. A session that has gone back and forth this often talks in quick turns; the first
// commands simply sleep, since fifty clients logging in together would pay the move or the
// spin for every session while their own connections wait for a processor.
constexpr uint32_t kQuickTurnsAfterCommands = 4;
static_assert(protocol::kReceiveBufferSize >= 3, "a line needs room for a byte and CR LF");

// Milliseconds since `since` on the wrapping tick counter.
uint32_t elapsedSince(platform::Clock& clock, uint32_t since) {
  return clock.tickCount() - since;
}

// The limit is in seconds and compared in milliseconds; kept in 64 bits so no limit wraps.
bool pastLimit(platform::Clock& clock, uint32_t since, uint32_t limitSeconds) {
  return uint64_t{elapsedSince(clock, since)} > uint64_t{limitSeconds} * 1000u;
}

// Looks for CR LF from scanPosition on; on a match moves the line to `out` and the rest of the
// buffer to its start.
bool takeLine(Session& s, protocol::Text& out) {
  const int length = s.receivedLength;
  for (int i = s.scanPosition; i <= length - 2; ++i) {
    if (s.receiveBuffer[i] != '\r' || s.receiveBuffer[i + 1] != '\n') continue;
    const auto lineLength = static_cast<std::size_t>(i);
    out.assign(std::string_view(s.receiveBuffer, lineLength));
    const auto rest = static_cast<std::size_t>(length - i - 2);
    std::memmove(s.receiveBuffer, s.receiveBuffer + i + 2, rest);
    s.scanPosition = 0;
    s.receivedLength = length - i - 2;
    return true;
  }
  // A CR as the last byte may be followed by its LF in the next receive: look at it again.
  if (length - 1 > s.scanPosition) s.scanPosition = length - 1;
  return false;
}

// Ends the session from its own thread; the registry may already have let go of it.
void teardown(Session& s) {
  // A client under TLS is told the control stream ends here, not cut.
  if (s.controlTls) s.controlTls->closeNotify();
  if (s.controlSocket.isOpen()) s.controlSocket.close();
  s.controller->unregisterSession(s.sessionId);
  protocol::logSessionLine(s, "Disconnected.");
  closeConnections(s);
  s.mountTable.clear();
}

void runSession(Session& s, const CommandDispatch& dispatch) {
  protocol::SessionHost& host = *s.controller;
  platform::Clock& clock = host.platform().clock;
  const config::Settings settings = host.settings();
  s.modernClients = settings.opt_modernClients;
  s.tls = settings.tls_enable ? host.tls() : nullptr;

  FixedText<16> peer;
  platform::inetNtoa(s.activeAddress.address, peer);
  protocol::Text line("Connected from ");
  line.append(peer.view());
  protocol::logSessionLine(s, line.c_str());
  protocol::sendReply(s, kGreeting);

  uint32_t lastCommand = clock.tickCount();
  s.commandLine.clear();
  for (;;) {
    if (s.closing.load()) return;
    try {
      const int got =
          readCommandLine(s, s.controlSocket, s.commandLine, host.limits().idleSeconds);
      if (s.closing.load() || got == 0) return;
      if (!s.commandLine.empty()) {
        const int keepGoing = dispatch(s, s.commandLine);
        // A command that ended without a reply still shows its line now.
        protocol::announceCommandLine(s);
        if (keepGoing == 0) return;
        lastCommand = clock.tickCount();
        continue;
      }
      // A bare CR LF is not a command: it neither resets the idle limit nor reaches dispatch.
      if (pastLimit(clock, lastCommand, host.limits().idleSeconds)) {
        protocol::sendReply(s, kSessionTimeout);
        return;
      }
      clock.sleep(kPollSleepMs);
    } catch (...) {
      if (s.badCommandCount >= host.maxBadCommands()) {
        protocol::sendReply(s, kTooManyBadCommands);
        return;
      }
      ++s.badCommandCount;
      if (!s.controlSocket.isOpen()) return;
      protocol::logLine(s, "Failed to process");
      lastCommand = clock.tickCount();
    }
  }
}

}  // namespace

void createSession(Session& s, platform::Socket& accepted, const platform::SocketAddress& peer,
                   protocol::SessionHost& controller, int sessionId) {
  s.sessionId = sessionId;
  // Cannot fail for a socket just accepted by this thread into a new record.
  (void)s.controlSocket.takeFrom(accepted);
  s.clientAddress = peer.address;
  s.activeAddress = peer;
  s.controller = &controller;
}

void sessionMain(const std::shared_ptr<Session>& session, const CommandDispatch& dispatch) {
  Session& s = *session;
  try {
    runSession(s, dispatch);
  } catch (...) {
    // The greeting or the loop's own error path failed; the session ends as any other does.
  }
  try {
    teardown(s);
  } catch (...) {
    // Nothing is left to tell; the sockets close with the record at the latest.
  }
}

int readCommandLine(Session& s, platform::Socket& socket, protocol::Text& out,
                    uint32_t waitLimitSeconds) {
  platform::Platform& platform = s.controller->platform();
  platform::Clock& clock = platform.clock;
  platform::Network& network = platform.network;

  uint32_t waitStart = clock.tickCount();
  if (s.closing.load()) return 0;
  // Only the first receive spins, and only in a session of quick turns whose thread could not
  // go to its client's processor: an idle session's waits of a second each cost nothing.
  const bool quickTurns = s.commandsRead >= kQuickTurnsAfterCommands;
  uint32_t spinMicros = quickTurns && !network.followPeer(socket) ? kCommandSpinMicros : 0;
  for (;;) {
    if (takeLine(s, out)) {
      ++s.commandsRead;
      return 1;
    }
    // A full buffer without a line end can never become a line: waiting would only hold the
    // slot until the idle limit.
    if (s.receivedLength == static_cast<int>(protocol::kReceiveBufferSize)) {
      protocol::logLine(s, "Command line too long");
      s.closing.store(true);
      return 0;
    }

    std::error_code error;
    const auto used = static_cast<std::size_t>(s.receivedLength);
    char* room = s.receiveBuffer + used;
    const std::size_t roomSize = protocol::kReceiveBufferSize - used;
    const long long received =
        s.controlTls && &socket == &s.controlSocket
            ? s.controlTls->receiveWithin(room, roomSize, kWaitMs, network, error)
            : network.receiveWithin(socket, room, roomSize, kWaitMs, spinMicros, error);
    spinMicros = 0;
    if (s.closing.load()) return 0;
    if (received == platform::Network::kNothingYet) {
      if (pastLimit(clock, waitStart, waitLimitSeconds)) {
        protocol::logLine(s, "Wait for command timeout");
        s.closing.store(true);
        return 0;
      }
      clock.sleep(kPollSleepMs);
      if (s.closing.load()) return 0;
      continue;
    }
    if (received < 0) {
      // A reset is how many clients leave; it is not worth an error line.
      if (error != std::errc::connection_reset) {
        protocol::Text line;
        line.format("Receive error: %d", platform::socketErrorNumber(error));
        protocol::logLine(s, line.c_str());
      }
      s.closing.store(true);
      return 0;
    }
    if (received == 0) {
      // The client has closed its side (the buffer has room, so the receive asked for bytes):
      // no command can come any more, and it leaves as quietly as one that resets.
      s.closing.store(true);
      return 0;
    }
    s.receivedLength += static_cast<int>(received);
    waitStart = clock.tickCount();
  }
}

void closeConnections(Session& s) {
  s.controlSocket.shutdownAndClose();
  s.passiveSocket.shutdownAndClose();
  s.dataSocket.shutdownAndClose();
}

}  // namespace drovn::core
