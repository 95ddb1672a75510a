// FTP over TLS (explicit FTPS): AUTH secures the control connection, PBSZ and PROT choose
// whether data connections are secured too, CCC is refused. A session sees these only when the
// settings offer TLS; with tls_require a named account must use TLS for its login and its data.
#pragma once

#include <string_view>

#include "protocol/DataConnection.h"
#include "protocol/Session.h"

namespace drovn::protocol {

// The FEAT lines the TLS commands add.
inline constexpr std::string_view kTlsFeatures = " AUTH TLS\r\n PBSZ\r\n PROT\r\n";

void handleAuth(Session& s, std::string_view argument);
void handlePbsz(Session& s, std::string_view argument);
void handleProt(Session& s, std::string_view argument);
void handleCcc(Session& s, std::string_view argument);

// USER of a named account on a control connection in clear while TLS is required: answered
// with "530 TLS required", and true then.
bool refuseLoginInClear(Session& s, std::string_view userName);
// Before a transfer opens its data connection: true (answered with 521) when the session must
// protect it and has not asked to.
bool refuseUnprotectedData(Session& s);
// After PROT P, the data connection's handshake, which must resume the control connection's
// session. False when it failed: logged, answered, and the connection is to be closed.
bool secureDataConnection(Session& s, DataConnection& c);

}  // namespace drovn::protocol
