// The small text functions of the command side: joining a command's argument words, composing a
// reply around a variable part, and copying a piece of a text. All of them stay inside their
// destination buffers.
#pragma once

#include <algorithm>
#include <cstddef>
#include <string_view>

#include "platform/FixedText.h"
#include "protocol/Session.h"
#include "vfs/Tokens.h"

namespace drovn::protocol {

// How many tokens a command needs: the word alone, or the word and at least one argument.
enum class Needed : std::size_t { WordOnly = 1, Argument = 2 };

// Writes tokens 1 to n-1 into out, joined with one space each (empty when there is only the
// command word). When the list holds fewer tokens than needed it sends
// "500 Bad command parameter." instead, leaves out as it was and gives false: the command is
// then not carried out, so its handler never works on a stale argument.
bool joinArguments(Session& s, const vfs::TokenList& tokens, Needed needed, Text& out);

// first + middle + last into out. A reply too long for the buffer is cut before its last part,
// so the line end (which the last part carries) always arrives: a reply without its CR LF would
// leave the client waiting for the rest of the line.
template <std::size_t N>
void composeReply(FixedText<N>& out, std::string_view first, std::string_view middle,
                  std::string_view last) noexcept {
  const std::size_t lastRoom = std::min(last.size(), FixedText<N>::kCapacity);
  out.assign(first);
  out.append(middle);
  out.truncate(FixedText<N>::kCapacity - lastRoom);
  out.append(last);
}

// Copies `length` bytes of source from `start` on into dest (fewer when source ends first, none
// when it starts past the end); dest is terminated and cut at its capacity.
template <std::size_t N>
void copySubstring(std::string_view source, FixedText<N>& dest, std::size_t start,
                   std::size_t length) noexcept {
  if (start >= source.size()) {
    dest.clear();
    return;
  }
  dest.assign(source.substr(start, length));
}

// ASCII letters a to z become A to Z, in place.
template <std::size_t N>
void upperCaseAscii(FixedText<N>& text) noexcept {
  char* p = text.data();
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (p[i] >= 'a' && p[i] <= 'z') p[i] = static_cast<char>(p[i] - 'a' + 'A');
  }
}

}  // namespace drovn::protocol
