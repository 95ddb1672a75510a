#include "protocol/TextFunctions.h"

#include "protocol/Replies.h"
#include "protocol/SessionOutput.h"

namespace drovn::protocol {

bool joinArguments(Session& s, const vfs::TokenList& tokens, Needed needed) {
  if (tokens.size() < static_cast<std::size_t>(needed)) {
    sendReply(s, kBadParameter);
    return false;
  }
  s.argumentText.clear();
  for (std::size_t i = 1; i < tokens.size(); ++i) {
    if (i > 1) s.argumentText.append(' ');
    s.argumentText.append(tokens[i].view());
  }
  return true;
}

}  // namespace drovn::protocol
