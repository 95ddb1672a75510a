// Bounded texts: every fixed-size text buffer of the server is one of these, so no text is ever
// written past its end. A text always ends at its first NUL.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace drovn {

// N bytes including the terminator: FixedText<2048> holds at most 2047 bytes of text.
// Every writer cuts what does not fit and returns false.
template <std::size_t N>
class FixedText {
  static_assert(N >= 2, "a text needs room for one byte and its terminator");

 public:
  static constexpr std::size_t kCapacity = N - 1;

  FixedText() noexcept { buf_[0] = '\0'; }
  explicit FixedText(std::string_view s) noexcept { assign(s); }
  FixedText(const FixedText& other) noexcept { assign(other.view()); }
  FixedText& operator=(const FixedText& other) noexcept {
    if (this != &other) assign(other.view());
    return *this;
  }

  // Copies s; the text then ends at the first NUL of s, as a C string copy would. s may be a
  // part of this text itself.
  bool assign(std::string_view s) noexcept { return put(0, s); }
  template <std::size_t M>
  bool assign(const FixedText<M>& other) noexcept {
    return assign(other.view());
  }

  bool append(std::string_view s) noexcept { return put(len_, s); }
  bool append(char c) noexcept {
    if (c == '\0') return true;  // as a one-byte text: it ends where it starts
    if (len_ == kCapacity) return false;
    buf_[len_++] = c;
    buf_[len_] = '\0';
    return true;
  }
  bool appendNumber(long long value) noexcept { return appendNumber(value, 0, ' '); }
  // As printf's "%*d" (pad ' ') or "%0*d" (pad '0'): at least width characters, the sign
  // before the zeros but after the spaces. For the hot paths that would otherwise pay for
  // printf's format parsing on every line.
  bool appendNumber(long long value, std::size_t width, char pad) noexcept {
    char digits[24];
    std::size_t i = sizeof digits;
    unsigned long long mag = value < 0 ? 0ull - static_cast<unsigned long long>(value)
                                       : static_cast<unsigned long long>(value);
    do {
      digits[--i] = static_cast<char>('0' + mag % 10);
      mag /= 10;
    } while (mag);
    const std::size_t used = sizeof digits - i + (value < 0 ? 1 : 0);
    std::size_t fill = width > used ? width - used : 0;
    bool fits = true;
    if (pad != '0') {
      for (; fill > 0; --fill) fits = append(' ') && fits;
    }
    if (value < 0) fits = append('-') && fits;
    for (; fill > 0; --fill) fits = append('0') && fits;
    return append(std::string_view(digits + i, sizeof digits - i)) && fits;
  }

  // printf-style formatting into the whole buffer; a longer result is cut (and false is given).
  // A formatted NUL ends the text. The arguments must not point into this text.
  bool format(const char* fmt, ...) noexcept __attribute__((format(printf, 2, 3)));
  bool appendFormat(const char* fmt, ...) noexcept __attribute__((format(printf, 2, 3)));

  void clear() noexcept {
    len_ = 0;
    buf_[0] = '\0';
  }
  // Shortens the text to n bytes; a larger n changes nothing.
  void truncate(std::size_t n) noexcept {
    if (n < len_) {
      len_ = n;
      buf_[len_] = '\0';
    }
  }
  // For in-place algorithms that write through data(): the text then ends at its first NUL
  // (the last byte of the buffer is always kept a terminator).
  void syncLength() noexcept {
    buf_[kCapacity] = '\0';
    len_ = std::strlen(buf_);
  }
  // The same for a writer that gives the length it wrote, with no NUL before it: taken as it
  // is when the text ends there, so a converted name is not counted over again.
  void syncLength(std::size_t n) noexcept {
    if (n <= kCapacity && buf_[n] == '\0') {
      len_ = n;
      return;
    }
    syncLength();
  }

  const char* c_str() const noexcept { return buf_; }
  char* data() noexcept { return buf_; }
  std::size_t size() const noexcept { return len_; }
  bool empty() const noexcept { return len_ == 0; }
  std::string_view view() const noexcept { return std::string_view(buf_, len_); }
  char operator[](std::size_t i) const noexcept { return buf_[i]; }
  bool operator==(std::string_view s) const noexcept { return view() == s; }
  static constexpr std::size_t bufferSize() noexcept { return N; }

 private:
  // Writes s (up to its first NUL) at offset `at` and ends the text after it. s may lie in this
  // text (t.assign(t.view().substr(1)), t.append(t.view())): it then starts at or after the
  // place written (assign) or ends before it (append), so a forward copy is safe and the byte
  // after the copied part is still s's own. Every reply, log line and listed name passes here:
  // the few bytes of a number or a separator go byte by byte, longer texts as one scan and one
  // block copy.
  bool put(std::size_t at, std::string_view s) noexcept {
    const std::size_t room = kCapacity - at;
    const std::size_t limit = s.size() < room ? s.size() : room;
    std::size_t n = 0;
    if (limit < kShortCopy) {
      while (n < limit && s[n] != '\0') {
        buf_[at + n] = s[n];
        ++n;
      }
    } else {
      const void* nul = std::memchr(s.data(), '\0', limit);
      n = nul != nullptr ? static_cast<std::size_t>(static_cast<const char*>(nul) - s.data())
                         : limit;
      std::memmove(buf_ + at, s.data(), n);
    }
    const bool fits = n == s.size() || s[n] == '\0';
    len_ = at + n;
    buf_[len_] = '\0';
    return fits;
  }

  static constexpr std::size_t kShortCopy = 16;
  char buf_[N];
  std::size_t len_ = 0;
};

namespace detail {
// Formats into buf (size cap, cap >= 1) at offset *len; returns false when cut.
bool formatInto(char* buf, std::size_t cap, std::size_t* len, const char* fmt,
                __builtin_va_list ap) noexcept;
}  // namespace detail

template <std::size_t N>
bool FixedText<N>::format(const char* fmt, ...) noexcept {
  len_ = 0;
  buf_[0] = '\0';
  __builtin_va_list ap;
  __builtin_va_start(ap, fmt);
  bool fits = detail::formatInto(buf_, N, &len_, fmt, ap);
  __builtin_va_end(ap);
  return fits;
}

template <std::size_t N>
bool FixedText<N>::appendFormat(const char* fmt, ...) noexcept {
  __builtin_va_list ap;
  __builtin_va_start(ap, fmt);
  bool fits = detail::formatInto(buf_, N, &len_, fmt, ap);
  __builtin_va_end(ap);
  return fits;
}

}  // namespace drovn
