// Splitting command lines and paths into words, and trimming blanks: the text functions both
// the protocol side and path resolution work with.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>
#include <vector>

#include "platform/FixedText.h"

namespace drovn::vfs {

using TokenText = FixedText<2048>;

// An ordered list of tokens, each a text of its own. Token 0 of a command line is the command
// word, tokens 1 to n-1 its arguments.
class TokenList {
 public:
  std::size_t size() const noexcept { return tokens_.size(); }
  bool empty() const noexcept { return tokens_.empty(); }
  TokenText& operator[](std::size_t i) { return *tokens_[i]; }
  const TokenText& operator[](std::size_t i) const { return *tokens_[i]; }
  void clear() noexcept { tokens_.clear(); }
  void append(std::string_view text);
  // Removes token i; the tokens after it move down by one place.
  void erase(std::size_t i);

 private:
  std::vector<std::unique_ptr<TokenText>> tokens_;
};

// Blanks are space, tab, CR and LF.
bool isBlank(char c) noexcept;

// A leading decimal number as the C library's atoi reads one: white space (space, tab to CR)
// skipped, an optional sign, digits up to the first other byte; 0 when there are none. A value
// past 63 bits stays at the nearest end instead of wrapping.
int64_t leadingNumber(std::string_view text) noexcept;
// The same held to the 32-bit range, as a C int would hold it.
int32_t leadingInt(std::string_view text) noexcept;

// ASCII case-insensitive comparison of two whole texts (only a to z and A to Z fold).
bool equalsIgnoringCase(std::string_view a, std::string_view b) noexcept;

// Removes blanks at both ends in place, moving the rest to the start; gives the new length. A
// text made only of blanks is left unchanged (it keeps its length); an empty text stays empty.
template <std::size_t N>
std::size_t trimText(FixedText<N>& text) noexcept;

// Empties list, then appends one token for each maximal run of bytes other than sep; gives the
// number of tokens. Separators at either end and runs of separators give no empty tokens.
std::size_t splitTokens(std::string_view text, char sep, TokenList& list);

// The trimmed view of text (blanks-only text is returned unchanged, as trimText does).
std::string_view trimmedView(std::string_view text) noexcept;

template <std::size_t N>
std::size_t trimText(FixedText<N>& text) noexcept {
  const std::string_view t = trimmedView(text.view());
  // The trimmed part lies inside text at or after its start, which assign copies safely.
  if (t.size() != text.size()) text.assign(t);
  return text.size();
}

}  // namespace drovn::vfs
