// The command table and the replies the dispatcher gives itself. The table is searched in its
// order; each entry says whether the command takes an argument, who refuses it before login,
// and what carries it out.
#include "protocol/Dispatcher.h"

#include <array>
#include <string_view>

#include "protocol/DataConnection.h"
#include "protocol/Extensions.h"
#include "protocol/FileCommands.h"
#include "protocol/Listing.h"
#include "protocol/LoginCommand.h"
#include "protocol/Replies.h"
#include "protocol/Security.h"
#include "protocol/SessionOutput.h"
#include "protocol/TextFunctions.h"
#include "protocol/Transfer.h"
#include "vfs/Tokens.h"

namespace drovn::protocol {

namespace {

constexpr char kSystem[] = "215 UNIX (DROVN_V20091111)\r\n";
constexpr char kFeatures[] = "211-Extensions supported:\r\n SIZE\r\n UTF8\r\n211 END\r\n";
constexpr char kNoopReply[] = "200 OK \r\n";
// What a session with the standard extensions is told it may use.
constexpr char kModernFeatures[] =
    "211-Extensions supported:\r\n"
    " EPSV\r\n"
    " EPRT\r\n"
    " MDTM\r\n"
    " MFMT\r\n"
    " MLST type*;size*;modify*;perm*;\r\n"
    " REST STREAM\r\n"
    " SIZE\r\n"
    " UTF8\r\n"
    " TVFS\r\n"
    "211 END\r\n";
constexpr char kGoodbye[] = "221 Goodbye.\r\n";
constexpr char kHelp[] =
    "214-Commands recognized:\r\n"
    " USER PASS QUIT NOOP SYST FEAT HELP OPTS CLNT PWD CWD CDUP MKD RMD DELE RNFR RNTO\r\n"
    " TYPE STRU MODE ALLO PORT PASV EPRT EPSV LIST NLST MLSD MLST RETR STOR APPE REST\r\n"
    " SIZE MDTM MFMT XPWD XCWD XCUP XMKD XRMD\r\n"
    "214 Help OK.\r\n";
constexpr char kHiddenPassword[] = "PASS [hidden]";
constexpr char kAnonymousPassword[] = "PASS [anonymous]";

// What the command does with the words after it.
enum class Argument {
  None,      // not joined
  Optional,  // joined, may be empty
  Required,  // joined; the word alone is refused with "500 Bad command parameter."
  Password,  // joined when present; a bare PASS offers "anonymous" or nothing
};

// Who refuses the command before login.
enum class Login {
  Open,       // works before login
  Here,       // refused by the dispatcher, before its argument is looked at
  ByHandler,  // the handler refuses it itself
};

// The command being carried out: its words, and its argument joined from them as the command's
// rule says.
struct Request {
  vfs::TokenList tokens;
  Text argument;
};

// Carries out the command; false when the session must end. The tokens are there for LIST and
// NLST, which take a listing option out of them before joining the rest.
using Step = bool (*)(Session&, Request&);

// Whether the command may change the store: refused for a read-only account.
enum class Effect { Reads, Writes };

struct Command {
  std::string_view word;
  Argument argument;
  Login login;
  Step carryOut;
  Effect effect = Effect::Reads;
};

void replyWithWord(Session& s, std::string_view first, std::string_view word) {
  Text reply;
  composeReply(reply, first, word, kLineEnd);
  sendReply(s, reply.c_str());
}

bool user(Session& s, Request& r) {
  if (s.loggedIn) {
    sendReply(s, kAlreadyLoggedIn);
    return true;
  }
  if (refuseLoginInClear(s, r.argument.view())) return true;
  // The joined argument is never empty: a bare USER was refused for its missing parameter.
  // A later USER replaces the name; only PASS decides whether it is accepted.
  s.userName = r.argument;
  Text reply;
  composeReply(reply, "331 User name \"", s.userName.view(), "\" is okay, need password.\r\n");
  sendReply(s, reply.c_str());
  return true;
}

bool pass(Session& s, Request& r) {
  handlePass(s, r.argument.view());
  return true;
}

bool printDirectory(Session& s, Request&) {
  Text reply;
  composeReply(reply, "257 \"", s.currentDir.view(), "\" is current directory.\r\n");
  sendReply(s, reply.c_str());
  return true;
}

bool systemName(Session& s, Request&) {
  sendReply(s, kSystem);
  return true;
}

// A feature list, with the TLS commands after its first line when the session offers them.
void sendFeatures(Session& s, std::string_view list) {
  if (s.tls == nullptr) {
    sendReply(s, list.data());
    return;
  }
  const std::size_t firstLine = list.find('\n') + 1;
  Text reply;
  reply.assign(list.substr(0, firstLine));
  reply.append(kTlsFeatures);
  reply.append(list.substr(firstLine));
  sendReply(s, reply.c_str());
}

template <const char* list>
bool features(Session& s, Request&) {
  sendFeatures(s, list);
  return true;
}

bool noop(Session& s, Request&) {
  sendReply(s, kNoopReply);
  return true;
}

bool quit(Session&, Request&) {
  return false;
}

bool changeToParent(Session& s, Request&) {
  // Any argument is ignored.
  handleCwd(s, "..");
  return true;
}

// A handler that takes the joined argument.
template <void (*handler)(Session&, std::string_view)>
bool withArgument(Session& s, Request& r) {
  handler(s, r.argument.view());
  return true;
}

// A listing option is dropped before the rest is joined again.
bool list(Session& s, Request& r) {
  if (takeListOption(r.tokens)) joinArguments(s, r.tokens, Needed::WordOnly, r.argument);
  handleList(s, r.argument.view());
  return true;
}

// NLST with an option, or with more than one word after it, gives the long form.
bool nameList(Session& s, Request& r) {
  const bool tookOption = takeListOption(r.tokens);
  if (tookOption) joinArguments(s, r.tokens, Needed::WordOnly, r.argument);
  if (tookOption || r.tokens.size() > 2) {
    handleList(s, r.argument.view());
  } else {
    handleNlst(s, r.argument.view());
  }
  return true;
}

constexpr std::array<Command, 26> kCommands{{
    {"USER", Argument::Required, Login::Open, user},
    {"PASS", Argument::Password, Login::Open, pass},
    {"PWD", Argument::None, Login::Here, printDirectory},
    {"XPWD", Argument::None, Login::Here, printDirectory},
    {"CWD", Argument::Required, Login::ByHandler, withArgument<handleCwd>},
    {"SYST", Argument::None, Login::Here, systemName},
    {"TYPE", Argument::Required, Login::ByHandler, withArgument<handleType>},
    {"PORT", Argument::Required, Login::ByHandler, withArgument<handlePort>},
    {"PASV", Argument::None, Login::ByHandler,
     [](Session& s, Request&) {
       handlePasv(s);
       return true;
     }},
    {"LIST", Argument::Optional, Login::ByHandler, list},
    {"NLST", Argument::Optional, Login::ByHandler, nameList},
    {"RETR", Argument::Required, Login::ByHandler, withArgument<handleRetr>},
    {"SIZE", Argument::Required, Login::ByHandler, withArgument<handleSize>},
    {"STOR", Argument::Required, Login::ByHandler, withArgument<handleStor>, Effect::Writes},
    {"DELE", Argument::Required, Login::ByHandler, withArgument<handleDele>, Effect::Writes},
    {"MKD", Argument::Required, Login::ByHandler, withArgument<handleMkd>, Effect::Writes},
    {"RMD", Argument::Required, Login::ByHandler, withArgument<handleRmd>, Effect::Writes},
    {"APPE", Argument::Required, Login::ByHandler, withArgument<handleAppe>, Effect::Writes},
    {"RNFR", Argument::Required, Login::ByHandler, withArgument<handleRnfr>, Effect::Writes},
    {"RNTO", Argument::Required, Login::ByHandler, withArgument<handleRnto>, Effect::Writes},
    {"REST", Argument::Required, Login::ByHandler, withArgument<handleRest>},
    {"CDUP", Argument::None, Login::ByHandler, changeToParent},
    {"FEAT", Argument::Optional, Login::Here, features<kFeatures>},
    {"OPTS", Argument::Required, Login::ByHandler, withArgument<handleOpts>},
    {"NOOP", Argument::None, Login::Open, noop},
    {"QUIT", Argument::None, Login::Open, quit},
}};

// The same answer whatever the argument.
template <const char* reply>
bool fixedReply(Session& s, Request&) {
  sendReply(s, reply);
  return true;
}

constexpr char kAlloReply[] = "202 No storage allocation necessary.\r\n";
constexpr char kClntReply[] = "200 Noted.\r\n";

bool quitWithGoodbye(Session& s, Request&) {
  sendReply(s, kGoodbye);
  return false;
}

bool modernList(Session& s, Request& r) {
  handleModernList(s, r.tokens, false);
  return true;
}

bool modernNameList(Session& s, Request& r) {
  handleModernList(s, r.tokens, true);
  return true;
}

// Looked at before the table above by sessions with the standard extensions: the commands they
// add, and the ones whose reply they change.
constexpr std::array<Command, 19> kModernCommands{{
    {"FEAT", Argument::Optional, Login::Open, features<kModernFeatures>},
    {"QUIT", Argument::None, Login::Open, quitWithGoodbye},
    {"HELP", Argument::Optional, Login::Open, fixedReply<kHelp>},
    {"LIST", Argument::Optional, Login::ByHandler, modernList},
    {"NLST", Argument::Optional, Login::ByHandler, modernNameList},
    {"MLSD", Argument::Optional, Login::ByHandler, withArgument<handleMlsd>},
    {"MLST", Argument::Optional, Login::ByHandler, withArgument<handleMlst>},
    {"EPSV", Argument::Optional, Login::ByHandler, withArgument<handleEpsv>},
    {"EPRT", Argument::Required, Login::ByHandler, withArgument<handleEprt>},
    {"MDTM", Argument::Required, Login::ByHandler, withArgument<handleMdtm>},
    {"MFMT", Argument::Required, Login::ByHandler, withArgument<handleMfmt>, Effect::Writes},
    {"STRU", Argument::Required, Login::Here, withArgument<handleStru>},
    {"MODE", Argument::Required, Login::Here, withArgument<handleMode>},
    {"ALLO", Argument::Optional, Login::Here, fixedReply<kAlloReply>},
    {"CLNT", Argument::Optional, Login::Open, fixedReply<kClntReply>},
    {"XCWD", Argument::Required, Login::ByHandler, withArgument<handleCwd>},
    {"XCUP", Argument::None, Login::ByHandler, changeToParent},
    {"XMKD", Argument::Required, Login::ByHandler, withArgument<handleMkd>, Effect::Writes},
    {"XRMD", Argument::Required, Login::ByHandler, withArgument<handleRmd>, Effect::Writes},
}};

// Looked at first by sessions that offer TLS.
constexpr std::array<Command, 4> kTlsCommands{{
    {"AUTH", Argument::Required, Login::Open, withArgument<handleAuth>},
    {"PBSZ", Argument::Required, Login::Open, withArgument<handlePbsz>},
    {"PROT", Argument::Required, Login::Open, withArgument<handleProt>},
    {"CCC", Argument::None, Login::Open, withArgument<handleCcc>},
}};

// Joins the request's argument as the command's rule says; false when the command must not go
// on.
bool prepareArgument(Session& s, Request& r, Argument rule) {
  switch (rule) {
    case Argument::None:
      return true;
    case Argument::Optional:
      return joinArguments(s, r.tokens, Needed::WordOnly, r.argument);
    case Argument::Required:
      return joinArguments(s, r.tokens, Needed::Argument, r.argument);
    case Argument::Password:
      if (r.tokens.size() >= 2) return joinArguments(s, r.tokens, Needed::Argument, r.argument);
      if (s.controller->settings().auth_Anonymous) {
        r.argument.assign("anonymous");
      } else {
        r.argument.clear();
      }
      return true;
  }
  return false;
}

// Logs the line with the session prefix. A password never reaches the log; a UTF-8 line is
// shown in the code page the log is kept in.
void logReceivedLine(Session& s, const Text& line, const Text& word, const vfs::TokenList& tokens) {
  if (word == "PASS") {
    logCommandLine(s, tokens.size() >= 2 ? kHiddenPassword : kAnonymousPassword);
    return;
  }
  Text logText;
  logCommandLine(s, logForm(s, line.c_str(), logText));
}

template <std::size_t N>
const Command* find(const std::array<Command, N>& table, std::string_view word) {
  for (const Command& command : table) {
    if (word == command.word) return &command;
  }
  return nullptr;
}

}  // namespace

int dispatchCommand(Session& s, Text& line) {
  vfs::trimText(line);
  // Released when this call ends, also when a handler's error passes through.
  Request request;
  vfs::TokenList& tokens = request.tokens;
  vfs::splitTokens(line.view(), ' ', tokens);
  if (tokens.empty()) {
    // Only spaces: nothing to name, and nothing worth a log line.
    replyWithWord(s, kInvalidCommand, line.view());
    return 1;
  }
  for (std::size_t i = 0; i < tokens.size(); ++i) vfs::trimText(tokens[i]);
  Text word(tokens[0].view());
  upperCaseAscii(word);

  logReceivedLine(s, line, word, tokens);

  const Command* command = s.tls != nullptr ? find(kTlsCommands, word.view()) : nullptr;
  if (command == nullptr && s.modernClients) command = find(kModernCommands, word.view());
  if (command == nullptr) command = find(kCommands, word.view());
  if (command != nullptr) {
    if (command->login == Login::Here && !requireLogin(s)) return 1;
    if (!prepareArgument(s, request, command->argument)) return 1;
    // Refused before the handler looks at the store, so nothing on disk can change.
    if (command->effect == Effect::Writes && s.readOnly) {
      sendReply(s, kAccessDenied);
      return 1;
    }
    return command->carryOut(s, request) ? 1 : 0;
  }
  // The word in upper case; the arguments are left out.
  replyWithWord(s, kInvalidCommand, word.view());
  return 1;
}

}  // namespace drovn::protocol
