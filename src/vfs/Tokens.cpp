#include "vfs/Tokens.h"

#include <algorithm>
#include <cassert>
#include <limits>

namespace drovn::vfs {

void TokenList::append(std::string_view text) {
  tokens_.push_back(std::make_unique<TokenText>(text));
}

void TokenList::erase(std::size_t i) {
  assert(i < tokens_.size());
  tokens_.erase(tokens_.begin() + static_cast<std::ptrdiff_t>(i));
}

bool isBlank(char c) noexcept {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

int64_t leadingNumber(std::string_view text) noexcept {
  constexpr int64_t kMax = std::numeric_limits<int64_t>::max();
  std::size_t i = 0;
  while (i < text.size() && (text[i] == ' ' || (text[i] >= '\t' && text[i] <= '\r'))) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  int64_t magnitude = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    const int digit = text[i] - '0';
    magnitude = magnitude > (kMax - digit) / 10 ? kMax : magnitude * 10 + digit;
  }
  return negative ? -magnitude : magnitude;
}

int32_t leadingInt(std::string_view text) noexcept {
  return static_cast<int32_t>(std::clamp<int64_t>(leadingNumber(text),
                                                  std::numeric_limits<int32_t>::min(),
                                                  std::numeric_limits<int32_t>::max()));
}

bool equalsIgnoringCase(std::string_view a, std::string_view b) noexcept {
  if (a.size() != b.size()) return false;
  const auto fold = [](char c) noexcept {
    return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
  };
  for (std::size_t i = 0; i < a.size(); ++i)
    if (fold(a[i]) != fold(b[i])) return false;
  return true;
}

std::string_view trimmedView(std::string_view text) noexcept {
  std::size_t begin = 0;
  while (begin < text.size() && isBlank(text[begin])) ++begin;
  // Blanks only: kept as they are, so a line of spaces still shows as what it was.
  if (begin == text.size()) return text;
  std::size_t end = text.size();
  while (isBlank(text[end - 1])) --end;
  return text.substr(begin, end - begin);
}

std::size_t splitTokens(std::string_view text, char sep, TokenList& list) {
  list.clear();
  std::size_t i = 0;
  while (i < text.size()) {
    while (i < text.size() && text[i] == sep) ++i;
    const std::size_t start = i;
    while (i < text.size() && text[i] != sep) ++i;
    if (i > start) list.append(text.substr(start, i - start));
  }
  return list.size();
}

}  // namespace drovn::vfs
