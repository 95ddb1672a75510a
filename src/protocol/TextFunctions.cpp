#include "protocol/TextFunctions.h"

#include "protocol/Replies.h"
#include "protocol/SessionOutput.h"

namespace drovn::protocol {

bool joinArguments(Session& s, const vfs::TokenList& tokens, Needed needed, Text& out) {
  if (tokens.size() < static_cast<std::size_t>(needed)) {
    sendReply(s, kBadParameter);
    return false;
  }
  out.clear();
  for (std::size_t i = 1; i < tokens.size(); ++i) {
    if (i > 1) out.append(' ');
    out.append(tokens[i].view());
  }
  return true;
}

}  // namespace drovn::protocol
