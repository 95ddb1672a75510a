#include "protocol/Security.h"

#include "platform/Network.h"
#include "protocol/LoginCommand.h"
#include "protocol/SessionOutput.h"
#include "vfs/Tokens.h"

namespace drovn::protocol {

namespace {

constexpr char kProceed[] = "234 Proceed with negotiation.\r\n";
constexpr char kUnknownMechanism[] = "504 AUTH type not supported.\r\n";
constexpr char kAlreadySecured[] = "503 Already using TLS.\r\n";
constexpr char kAuthFirst[] = "503 Use AUTH TLS first.\r\n";
constexpr char kBufferSize[] = "200 PBSZ=0\r\n";
constexpr char kPrivate[] = "200 Protection level set to P.\r\n";
constexpr char kClear[] = "200 Protection level set to C.\r\n";
constexpr char kLevelNotSupported[] = "536 Protection level not supported.\r\n";
constexpr char kClearControlRefused[] =
    "534 CCC refused: the control connection stays protected.\r\n";
constexpr char kTlsRequired[] = "530 TLS required\r\n";
constexpr char kProtectData[] = "521 Data connections must be protected (PROT P).\r\n";
constexpr char kNotResumed[] =
    "522 Data connection must resume the TLS session of the control connection.\r\n";
constexpr char kDataHandshakeFailed[] = "425 TLS handshake failed on the data connection.\r\n";

void logReason(Session& s, const char* what, const std::string& reason) {
  Text line;
  line.format("%s: %s", what, reason.c_str());
  logLine(s, line.c_str());
}

}  // namespace

void handleAuth(Session& s, std::string_view argument) {
  if (s.controlTls) {
    sendReply(s, kAlreadySecured);
    return;
  }
  if (!vfs::equalsIgnoringCase(argument, "TLS") && !vfs::equalsIgnoringCase(argument, "SSL") &&
      !vfs::equalsIgnoringCase(argument, "TLS-C")) {
    sendReply(s, kUnknownMechanism);
    return;
  }
  sendReply(s, kProceed);
  // Whatever the client sent in clear after AUTH is dropped: bytes that anyone on the way could
  // have put there must not be taken as commands of the secured connection.
  s.receivedLength = 0;
  s.scanPosition = 0;
  // A client that stops in the middle of the handshake, or of a record later, must not hold
  // the session past its idle limit.
  SessionHost& host = *s.controller;
  host.platform().network.setStallLimit(s.controlSocket, host.limits().idleSeconds * 1000u);
  platform::TlsRefusal refusal;
  s.controlTls = s.tls->handshake(s.controlSocket, nullptr, refusal);
  if (!s.controlTls) {
    // Nothing more can be said to a client whose stream is in an unknown state.
    logReason(s, "TLS handshake failed", refusal.reason);
    s.closing.store(true);
  }
}

void handlePbsz(Session& s, std::string_view) {
  // TLS has no buffer to size: any size is taken as 0.
  sendReply(s, s.controlTls ? kBufferSize : kAuthFirst);
}

void handleProt(Session& s, std::string_view argument) {
  if (!s.controlTls) {
    sendReply(s, kAuthFirst);
    return;
  }
  if (vfs::equalsIgnoringCase(argument, "P") || vfs::equalsIgnoringCase(argument, "C")) {
    s.protectData = vfs::equalsIgnoringCase(argument, "P");
    sendReply(s, s.protectData ? kPrivate : kClear);
    return;
  }
  sendReply(s, kLevelNotSupported);
}

void handleCcc(Session& s, std::string_view) {
  sendReply(s, kClearControlRefused);
}

bool refuseLoginInClear(Session& s, std::string_view userName) {
  if (s.controlTls) return false;
  const config::Settings settings = s.controller->settings();
  if (!settings.tls_require || accountOf(settings, userName) == Account::Anonymous) return false;
  sendReply(s, kTlsRequired);
  return true;
}

bool refuseUnprotectedData(Session& s) {
  if (!s.protectionRequired || s.protectData) return false;
  sendReply(s, kProtectData);
  return true;
}

bool secureDataConnection(Session& s, DataConnection& c) {
  platform::TlsRefusal refusal;
  c.tls = s.tls->handshake(c.socket(), s.controlTls.get(), refusal);
  if (c.tls) return true;
  logReason(s, "TLS on the data connection refused", refusal.reason);
  sendReply(s, refusal.notResumed ? kNotResumed : kDataHandshakeFailed);
  return false;
}

}  // namespace drovn::protocol
