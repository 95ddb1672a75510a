// The life of one control connection: greet, read command lines, hand each to the dispatcher,
// and tear the session down when the client quits, goes silent, fails too often or the
// service stops.
#pragma once

#include <functional>
#include <memory>

#include "platform/Socket.h"
#include "protocol/Session.h"

namespace drovn::core {

// How a session hands a command line to the protocol; the service passes dispatchCommand.
using CommandDispatch = std::function<int(protocol::Session&, protocol::Text&)>;

// Fills a new session for the accepted socket (taken over from `accepted`).
void createSession(protocol::Session& s, platform::Socket& accepted,
                   const platform::SocketAddress& peer, protocol::SessionHost& controller,
                   int sessionId);
// The session thread's body. Never throws.
void sessionMain(const std::shared_ptr<protocol::Session>& s, const CommandDispatch& dispatch);
// 1 when a complete line (without CR LF) is in out; 0 when the session must end (closing set).
int readCommandLine(protocol::Session& s, platform::Socket& socket, protocol::Text& out,
                    uint32_t waitLimitSeconds);
// Shuts down and closes the control, passive and data sockets. Any thread.
void closeConnections(protocol::Session& s);

}  // namespace drovn::core
