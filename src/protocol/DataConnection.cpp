#include "protocol/DataConnection.h"

#include <algorithm>
#include <cerrno>
#include <new>
#include <optional>

#include "platform/ErrorCodes.h"
#include "platform/MessageQueue.h"
#include "platform/Network.h"
#include "protocol/LoginCommand.h"
#include "protocol/Security.h"
#include "protocol/SessionOutput.h"
#include "protocol/TextFunctions.h"
#include "vfs/Tokens.h"

namespace drovn::protocol {

namespace {

constexpr char kPortOk[] = "200 PORT command ok.\r\n";
constexpr char kSyntaxError[] = "500 Syntax error.\r\n";
constexpr char kPassiveOpened[] = "125 Connection transfer starting...\r\n";
constexpr char kActiveOpening[] = "150 Opening data connection...\r\n";
constexpr char kOpenFailed[] = "425 Failed to open data connection.\r\n";
constexpr std::string_view kPassiveFirst = "227 (";
constexpr std::string_view kPassiveLast = ") Entering passive mode...\r\n";
constexpr char kNoSuchFamily[] = "522 Network protocol not supported, use (1)\r\n";
constexpr char kExtendedSyntaxError[] = "501 Syntax error in the address.\r\n";

constexpr std::size_t kPortFields = 6;
constexpr int kPassiveBacklog = 1;
// The passive wait looks at the session and its control connection this often.
constexpr uint32_t kAcceptSliceMs = 1000;
// How often a finished download looks at what the client has taken. The final reply waits for
// it, and a client that reads as fast as it is sent to acknowledges the last bytes within tens
// of microseconds: the first look comes after kFirstTakenPauseMicros, and each pause after it
// is twice the one before, up to kTakenPauseMicros for a client that is slower.
constexpr uint32_t kFirstTakenPauseMicros = 50;
constexpr uint32_t kTakenPauseMicros = 2000;
// A rate sample this old asks the main window for a progress refresh.
constexpr int32_t kSampleMs = 2000;

platform::Network& network(Session& s) {
  return s.controller->platform().network;
}

// Logs a data-connection failure with its number.
void logFailure(Session& s, const char* format, std::error_code error) {
  Text line;
  line.format(format, platform::socketErrorNumber(error));
  logLine(s, line.c_str());
}

// The low 16 bits of p1 * 256 + p2, taken in unsigned arithmetic so no value can overflow.
uint16_t portFrom(int high, int low) noexcept {
  const uint32_t sum = static_cast<uint32_t>(high) * 256u + static_cast<uint32_t>(low);
  return static_cast<uint16_t>(sum & 0xFFFFu);
}

int32_t currentTick(SessionHost& host) {
  // The tick is a wrapping 32-bit counter; the meter keeps it as the same bits, signed.
  return static_cast<int32_t>(host.platform().clock.tickCount());
}

void startTracking(SessionHost& host, uint32_t connection) {
  TransferMeter& m = host.meter();
  // The connection is named first, so the thread of a connection tracked until now stops
  // counting before the counters start again from zero.
  m.trackedConnection.store(connection);
  m.totalBytes.store(0);
  m.bytesSinceSample.store(0);
  m.speedKBps.store(0);
  m.sampleTick.store(currentTick(host));
}

void recordMovement(SessionHost& host, std::size_t n) {
  TransferMeter& m = host.meter();
  const int32_t now = currentTick(host);
  const auto moved = static_cast<int64_t>(n);
  m.bytesSinceSample.fetch_add(moved);
  m.totalBytes.fetch_add(moved);
  m.lastIoTick.store(now);
  const int32_t sample = m.sampleTick.load();
  // The difference is taken on the unsigned bits, as the counter wraps; a tick below the
  // sample's start (the signed counter passed its top) asks for a refresh at once.
  const auto age = static_cast<int32_t>(static_cast<uint32_t>(now) - static_cast<uint32_t>(sample));
  if (age >= kSampleMs || now < sample) {
    host.platform().messages.post(platform::events::LogTextReady{.progress = true});
  }
}

bool isTracked(DataConnection& c) {
  const uint32_t id = c.socket().id();
  return id != 0 && id == c.host().meter().trackedConnection.load();
}

// A download moves as the client takes it: the bytes handed to the socket less those still in
// its send queue. The kernel may queue megabytes of a slow reader's download; counted as sent,
// they would show the transfer far ahead of the client, and finished while it still reads.
// Gives true when the client took some since the last look.
bool updateTaken(DataConnection& c, std::size_t handedNow) {
  c.handed += handedNow;
  const uint64_t unsent = c.host().platform().network.unsentBytes(c.socket());
  const uint64_t taken = c.handed > unsent ? c.handed - unsent : 0;
  if (taken <= c.taken) return false;
  if (isTracked(c)) recordMovement(c.host(), static_cast<std::size_t>(taken - c.taken));
  c.taken = taken;
  return true;
}

// Passive mode: waits on the listening socket for the client's connection, for at most the
// passive limit and only while the session goes on, so that a client that never connects (its
// NAT announced an address nobody reaches) does not hold the session. Only the client's own
// host may connect; anybody else would take its download or feed its upload.
bool acceptPassive(Session& s, DataConnection& c) {
  platform::Clock& clock = s.controller->platform().clock;
  platform::Network& net = network(s);
  const uint32_t limitMs = s.controller->limits().passiveAcceptMs;
  const uint32_t start = clock.tickCount();
  for (;;) {
    const uint32_t waited = clock.tickCount() - start;
    if (waited >= limitMs) {
      logLine(s, "Passive connection timeout");
      sendReply(s, kOpenFailed);
      return false;
    }
    std::error_code error;
    // A stopping service shuts the listening socket, which ends the wait at once.
    const int ready =
        net.waitReadable(s.passiveSocket, std::min(kAcceptSliceMs, limitMs - waited), error);
    if (ready < 0) {
      logFailure(s, "Accept passive connection failed: %d", error);
      return false;
    }
    // A client that has gone will never connect; its session ends at its next read.
    if (s.closing.load() || net.peerClosed(s.controlSocket)) return false;
    if (ready == 0) continue;
    platform::SocketAddress peer;
    error = net.accept(s.passiveSocket, c.socket(), peer);
    if (error) {
      logFailure(s, "Accept passive connection failed: %d", error);
      return false;
    }
    if (peer.address == s.clientAddress) {
      sendReply(s, kPassiveOpened);
      return true;
    }
    FixedText<16> stranger;
    platform::inetNtoa(peer.address, stranger);
    Text line;
    line.format("Passive connection from %s refused", stranger.c_str());
    logLine(s, line.c_str());
    c.socket().close();
  }
}

// Active mode: connects to the address of the last PORT, or to the control connection's peer.
bool connectActive(Session& s, DataConnection& c) {
  sendReply(s, kActiveOpening);
  platform::Network& net = network(s);
  std::error_code error = net.openTcp(c.socket());
  if (error) {
    logFailure(s, "Failed to open data socket: %d", error);
    return false;
  }
  // A client whose host drops our connection attempts would otherwise hold the session for as
  // long as the system keeps retrying.
  net.setStallLimit(c.socket(), s.controller->limits().activeConnectMs);
  error = net.connect(c.socket(), s.activeAddress);
  if (error) {
    logFailure(s, "Failed to connect data socket: %d", error);
    c.socket().close();
    // A client still waiting for a connection that will not come is told so.
    if (error == std::errc::timed_out) sendReply(s, kOpenFailed);
    return false;
  }
  return true;
}

}  // namespace

void dotsToCommas(Text& text) {
  char* p = text.data();
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (p[i] == '.') p[i] = ',';
  }
}

void handlePort(Session& s, std::string_view argument) {
  if (!requireLogin(s)) return;
  vfs::TokenList fields;
  // A run of commas separates like one: "1,2,,3,4,5,6" has six fields.
  if (vfs::splitTokens(argument, ',', fields) != kPortFields) {
    sendReply(s, kSyntaxError);
    return;
  }
  // The host fields are not checked to be numbers: text that is no address gives the
  // no-address value, which is kept as it is.
  Text host;
  host.format("%s.%s.%s.%s", fields[0].c_str(), fields[1].c_str(), fields[2].c_str(),
              fields[3].c_str());
  platform::SocketAddress target;  // family 2, eight zero bytes
  target.port = platform::hostToNet16(
      portFrom(vfs::leadingInt(fields[4].view()), vfs::leadingInt(fields[5].view())));
  target.address = platform::inetAddr(host.c_str());
  // Data goes only to the client's own host: otherwise anybody could have the server send a
  // file to, or take bytes from, a third machine.
  if (target.address != s.clientAddress) {
    Text line;
    Text logText;
    line.format("PORT to %s refused", logForm(s, host.c_str(), logText));
    logLine(s, line.c_str());
    sendReply(s, kSyntaxError);
    return;
  }
  s.activeAddress = target;
  // A listening socket of an earlier PASV stays; the next PASV or the session's end closes it.
  s.passiveMode = false;
  sendReply(s, kPortOk);
}

namespace {

// The ports a passive listener may take, and the address it binds: every local address and any
// port from the first above the well-known range, unless the operator named a range or a listen
// address.
struct PassivePlan {
  uint32_t first = kFirstPassivePort;
  uint32_t last = kLastPassivePort;
  uint32_t address = 0;
  bool ranged = false;
};

PassivePlan passivePlan(Session& s) {
  PassivePlan plan;
  const config::Settings settings = s.controller->settings();
  std::optional<config::PortRange> range;
  // Checked when the service started; a text that does not parse here leaves the full search.
  if (config::parsePortRange(settings.pasv_portRange.view(), range) && range) {
    plan.first = range->low;
    plan.last = range->high;
    plan.ranged = true;
  }
  if (!settings.bind_listenIp.empty()) {
    plan.address = platform::inetAddr(settings.bind_listenIp.c_str());
  }
  return plan;
}

}  // namespace

bool openPassiveListener(Session& s, uint16_t& port) {
  // The earlier listener goes first, so its port is free for this search again.
  s.passiveSocket.close();
  platform::Network& net = network(s);
  const PassivePlan plan = passivePlan(s);
  std::error_code bindError;
  for (uint32_t candidate = plan.first; candidate <= plan.last; ++candidate) {
    const std::error_code opened = net.openTcp(s.passiveSocket);
    if (opened) {
      logFailure(s, "Passive socket failed: %d", opened);
      return false;
    }
    platform::SocketAddress local;
    port = static_cast<uint16_t>(candidate);
    local.port = platform::hostToNet16(port);
    local.address = plan.address;
    bindError = net.bind(s.passiveSocket, local);
    if (!bindError) {
      // Binding reuses addresses, so a port that another socket has bound but not yet listened
      // on (a PASV of another session at the same moment) is refused only here: it is taken
      // all the same, and the search goes on as after a failed bind.
      const std::error_code listened = net.listen(s.passiveSocket, kPassiveBacklog);
      if (!listened) return true;
      if (listened != std::errc::address_in_use) {
        logFailure(s, "Passive listen failed: %d", listened);
        s.passiveSocket.close();
        return false;
      }
      bindError = listened;
    }
    s.passiveSocket.close();
  }
  // The search ends at the last port: reported as a socket that could not be had.
  logFailure(s, "Passive socket failed: %d", bindError);
  // Every port of a short range can be in use at once; the client is told, so that it does
  // not wait for a reply that would never come.
  if (plan.ranged) sendReply(s, kOpenFailed);
  return false;
}

void handlePasv(Session& s) {
  if (!requireLogin(s)) return;
  uint16_t port = 0;
  if (!openPassiveListener(s, port)) return;
  FixedText<2048> address;
  s.controller->copyServerAddress(address);
  Text numbers;
  numbers.assign(address.view());
  dotsToCommas(numbers);
  Text announced;
  announced.format("%s,%d,%d", numbers.c_str(), port / 256, port % 256);
  Text reply;
  composeReply(reply, kPassiveFirst, announced.view(), kPassiveLast);
  sendReply(s, reply.c_str());
  s.passiveMode = true;
}

void handleEpsv(Session& s, std::string_view argument) {
  if (!requireLogin(s)) return;
  // The client promises to use EPSV alone from now on; nothing here depends on it.
  if (vfs::equalsIgnoringCase(argument, "ALL")) {
    sendReply(s, "200 EPSV ALL ok.\r\n");
    return;
  }
  if (!argument.empty() && argument != "1") {
    sendReply(s, argument == "2" ? kNoSuchFamily : kExtendedSyntaxError);
    return;
  }
  uint16_t port = 0;
  if (!openPassiveListener(s, port)) return;
  // Only the port is announced: the client connects to the address it reached us at, which is
  // what makes this form work through address translation.
  Text reply;
  reply.format("229 Entering Extended Passive Mode (|||%d|)\r\n", static_cast<int>(port));
  sendReply(s, reply.c_str());
  s.passiveMode = true;
}

void handleEprt(Session& s, std::string_view argument) {
  if (!requireLogin(s)) return;
  // |family|address|port| with any printable delimiter in place of '|'.
  if (argument.size() < 7 || argument.back() != argument.front()) {
    sendReply(s, kExtendedSyntaxError);
    return;
  }
  vfs::TokenList fields;
  if (vfs::splitTokens(argument.substr(1, argument.size() - 2), argument.front(), fields) != 3) {
    sendReply(s, kExtendedSyntaxError);
    return;
  }
  if (fields[0].view() != "1") {
    sendReply(s, fields[0].view() == "2" ? kNoSuchFamily : kExtendedSyntaxError);
    return;
  }
  const uint32_t address = platform::inetAddr(fields[1].c_str());
  const int port = vfs::leadingInt(fields[2].view());
  if (address == 0xFFFFFFFFu || port <= 0 || port > 65535) {
    sendReply(s, kExtendedSyntaxError);
    return;
  }
  // The same rule as PORT: data goes only to the client's own host.
  if (address != s.clientAddress) {
    Text line;
    Text logText;
    line.format("EPRT to %s refused", logForm(s, fields[1].c_str(), logText));
    logLine(s, line.c_str());
    sendReply(s, kSyntaxError);
    return;
  }
  s.activeAddress.address = address;
  s.activeAddress.port = platform::hostToNet16(static_cast<uint16_t>(port));
  s.passiveMode = false;
  sendReply(s, "200 EPRT command ok.\r\n");
}

std::unique_ptr<DataConnection> openDataConnection(Session& s, bool& answered) {
  SessionHost& host = *s.controller;
  answered = false;
  // The accept or connect below may wait long before any reply: show the command first.
  announceCommandLine(s);
  if (refuseUnprotectedData(s)) {
    answered = true;
    return nullptr;
  }
  // A transfer runs beside its client, on any processor: only the turns of commands and
  // replies gain from sharing one.
  network(s).releaseProcessor();
  try {
    auto c = std::make_unique<DataConnection>(host, s.dataSocket);
    const bool opened = s.passiveMode ? acceptPassive(s, *c) : connectActive(s, *c);
    // A failed passive open keeps passive mode: the next transfer waits on the same listener.
    if (!opened) return nullptr;
    s.passiveMode = false;
    // Whatever size the kernel grants is good enough; a transfer does not depend on it.
    network(s).setReceiveBuffer(c->socket(), kDataBufferSize);
    // A client that stops reading or sending fails the transfer instead of holding it; one
    // that is merely slow keeps it.
    network(s).setStallLimit(c->socket(), host.limits().dataStallMs);
    if (s.protectData && !secureDataConnection(s, *c)) {
      answered = true;
      return nullptr;
    }
    startTracking(host, c->socket().id());
    return c;
  } catch (...) {
    // Not a platform failure (those are results above) but one of our own, such as no memory.
    sendReply(s, kOpenFailed);
    answered = true;
    return nullptr;
  }
}

std::unique_ptr<DataConnection> openDataConnection(Session& s) {
  bool answered = false;
  return openDataConnection(s, answered);
}

std::size_t sendData(DataConnection& c, const void* data, std::size_t n) {
  std::error_code error;
  const long long sent = c.tls ? c.tls->send(data, n, error)
                               : c.host().platform().network.send(c.socket(), data, n, error);
  if (sent < 0 || static_cast<std::size_t>(sent) != n) {
    // A send that returned a count but not all of it leaves no failure of its own.
    throw platform::PlatformError{sent < 0 ? error : platform::errnoError(ECONNABORTED)};
  }
  if (sent != 0) (void)updateTaken(c, n);
  return n;
}

long long receiveData(DataConnection& c, void* buf, std::size_t n) {
  std::error_code error;
  const long long got = c.tls ? c.tls->receive(buf, n, error)
                              : c.host().platform().network.receive(c.socket(), buf, n, error);
  if (got > 0 && isTracked(c)) recordMovement(c.host(), static_cast<std::size_t>(got));
  return got;
}

std::size_t sendFileBlock(DataConnection& c, platform::FileHandle& file, void* buffer,
                          std::size_t n) {
  std::error_code error;
  const long long sent =
      c.tls ? c.tls->sendFileBlock(file, buffer, n, error)
            : c.host().platform().network.sendFileBlock(c.socket(), file, buffer, n, error);
  if (sent < 0) throw platform::PlatformError{error};
  const auto count = static_cast<std::size_t>(sent);
  if (count != 0) (void)updateTaken(c, count);
  return count;
}

long long receiveFileBlock(DataConnection& c, platform::FileHandle& file, void* buffer,
                           std::size_t n) {
  std::error_code error;
  const long long got =
      c.tls ? c.tls->receiveFileBlock(file, buffer, n, error)
            : c.host().platform().network.receiveFileBlock(c.socket(), file, buffer, n, error);
  if (got > 0 && isTracked(c)) recordMovement(c.host(), static_cast<std::size_t>(got));
  return got;
}

void awaitTaken(Session& s, DataConnection& c) {
  platform::Clock& clock = s.controller->platform().clock;
  const uint64_t stallMicros = uint64_t{s.controller->limits().dataStallMs} * 1000u;
  uint64_t idleMicros = 0;
  uint32_t pauseMicros = 0;
  while (c.taken < c.handed && !s.closing.load()) {
    idleMicros = updateTaken(c, 0) ? 0 : idleMicros + pauseMicros;
    if (c.taken >= c.handed) return;
    if (idleMicros >= stallMicros) throw platform::PlatformError{platform::errnoError(ETIMEDOUT)};
    pauseMicros =
        pauseMicros == 0 ? kFirstTakenPauseMicros : std::min(2 * pauseMicros, kTakenPauseMicros);
    clock.sleepMicros(pauseMicros);
  }
}

void closeDataConnection(std::unique_ptr<DataConnection>& c) {
  if (!c) return;
  // Named before the close, which takes the id away.
  uint32_t id = c->socket().id();
  // The client tells a whole download from a cut one by this, and an upload's client waits
  // for it after its own.
  if (c->tls) c->tls->closeNotify();
  c->socket().shutdownAndClose();
  // Only this connection's tracking ends: a newer connection may have taken it over meanwhile.
  if (id != 0) (void)c->host().meter().trackedConnection.compare_exchange_strong(id, 0);
  c.reset();
}

}  // namespace drovn::protocol
