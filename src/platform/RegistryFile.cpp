#include "platform/RegistryFile.h"

#include <utility>

namespace drovn::platform {

namespace {

char lowerAscii(char c) noexcept {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c;
}

int hexDigit(char c) noexcept {
  if (c >= '0' && c <= '9') return c - '0';
  const char l = lowerAscii(c);
  if (l >= 'a' && l <= 'f') return l - 'a' + 10;
  return -1;
}

bool isBlank(char c) noexcept {
  return c == ' ' || c == '\t';
}

std::string_view trimRight(std::string_view s) noexcept {
  while (!s.empty() && isBlank(s.back())) s.remove_suffix(1);
  return s;
}

std::string_view trimLeft(std::string_view s) noexcept {
  while (!s.empty() && isBlank(s.front())) s.remove_prefix(1);
  return s;
}

bool startsWith(std::string_view s, std::string_view prefix) noexcept {
  return s.substr(0, prefix.size()) == prefix;
}

// The physical lines of the text: "\n" or "\r\n" ends a line.
class LineReader {
 public:
  explicit LineReader(std::string_view text) noexcept : rest_(text) {}
  bool next(std::string_view& line) noexcept {
    if (rest_.empty()) return false;
    const std::size_t end = rest_.find('\n');
    line = rest_.substr(0, end);
    rest_ = end == std::string_view::npos ? std::string_view() : rest_.substr(end + 1);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    return true;
  }

 private:
  std::string_view rest_;
};

// A quoted text at the start of s, with \\ and \" as its only escapes. Moves s past the closing
// quote.
bool takeQuoted(std::string_view& s, std::string& out) {
  if (s.empty() || s.front() != '"') return false;
  out.clear();
  for (std::size_t i = 1; i < s.size(); ++i) {
    const char c = s[i];
    if (c == '"') {
      s.remove_prefix(i + 1);
      return true;
    }
    if (c == '\\') {
      if (i + 1 == s.size() || (s[i + 1] != '\\' && s[i + 1] != '"')) return false;
      out.push_back(s[++i]);
    } else {
      out.push_back(c);
    }
  }
  return false;
}

void appendQuoted(std::string& out, std::string_view s) {
  out.push_back('"');
  for (const char c : s) {
    if (c == '\\' || c == '"') out.push_back('\\');
    out.push_back(c);
  }
  out.push_back('"');
}

// "31,00" (and with blanks around the commas) into bytes; an empty list is no bytes.
bool parseHexBytes(std::string_view s, std::vector<uint8_t>& out) {
  s = trimLeft(trimRight(s));
  while (!s.empty()) {
    if (s.size() < 2) return false;
    const int hi = hexDigit(s[0]);
    const int lo = hexDigit(s[1]);
    if (hi < 0 || lo < 0) return false;
    out.push_back(static_cast<uint8_t>(hi * 16 + lo));
    s = trimLeft(s.substr(2));
    if (s.empty()) break;
    if (s.front() != ',') return false;
    s = trimLeft(s.substr(1));
    if (s.empty()) return false;  // a list does not end in a comma
  }
  return true;
}

bool parseHexNumber(std::string_view s, uint32_t& out) {
  if (s.empty() || s.size() > 8) return false;
  out = 0;
  for (const char c : s) {
    const int d = hexDigit(c);
    if (d < 0) return false;
    out = out * 16 + static_cast<uint32_t>(d);
  }
  return true;
}

class Parser {
 public:
  Parser(std::string_view text, const TextToData& toData) : lines_(text), toData_(toData) {}

  bool run(RegistryDocument& doc) {
    std::string_view line;
    bool header = false;
    RegistrySection* section = nullptr;
    while (lines_.next(line)) {
      line = trimRight(line);
      if (!header && startsWith(line, "\xEF\xBB\xBF")) line.remove_prefix(3);  // editors' BOM
      const std::string_view body = trimLeft(line);
      if (body.empty() || body.front() == ';') continue;
      if (!header) {
        if (body != "REGEDIT4") return false;
        header = true;
      } else if (body.front() == '[') {
        if (body.size() < 3 || body.back() != ']') return false;
        section = &doc.findOrAdd(body.substr(1, body.size() - 2));
      } else {
        RegistryValue value;
        if (!section || !parseValue(body, value)) return false;
        put(*section, std::move(value));
      }
    }
    return header;
  }

 private:
  // A value read twice takes the later data, in the place and spelling of the first.
  static void put(RegistrySection& section, RegistryValue&& value) {
    for (auto& v : section.values) {
      if (equalsIgnoringAsciiCase(v.name, value.name)) {
        v.type = value.type;
        v.data = std::move(value.data);
        return;
      }
    }
    section.values.push_back(std::move(value));
  }

  bool parseValue(std::string_view s, RegistryValue& value) {
    if (s.front() == '@') {
      value.name.clear();  // the key's unnamed value
      s.remove_prefix(1);
    } else if (!takeQuoted(s, value.name)) {
      return false;
    }
    s = trimLeft(s);
    if (s.empty() || s.front() != '=') return false;
    s = trimLeft(s.substr(1));

    if (!s.empty() && s.front() == '"') {
      std::string text;
      if (!takeQuoted(s, text) || !trimLeft(s).empty()) return false;
      value.type = 1;
      value.data = toData_(text);
      return true;
    }
    if (startsWith(s, "dword:")) {
      uint32_t n = 0;
      if (s.size() != 14 || !parseHexNumber(s.substr(6), n)) return false;
      value.type = 4;
      value.data = {static_cast<uint8_t>(n), static_cast<uint8_t>(n >> 8),
                    static_cast<uint8_t>(n >> 16), static_cast<uint8_t>(n >> 24)};
      return true;
    }
    if (startsWith(s, "hex:")) {
      value.type = 3;
      s.remove_prefix(4);
    } else if (startsWith(s, "hex(")) {
      const std::size_t close = s.find("):");
      if (close == std::string_view::npos || !parseHexNumber(s.substr(4, close - 4), value.type))
        return false;
      s.remove_prefix(close + 2);
    } else {
      return false;
    }
    return parseHexList(s, value.data);
  }

  // A long list may go on over the next lines, each line but the last ending in a backslash.
  bool parseHexList(std::string_view s, std::vector<uint8_t>& data) {
    std::string joined;
    while (!s.empty() && s.back() == '\\') {
      joined.append(s.substr(0, s.size() - 1));
      std::string_view more;
      if (!lines_.next(more)) return false;
      s = trimLeft(trimRight(more));
    }
    joined.append(s);
    return parseHexBytes(joined, data);
  }

  LineReader lines_;
  const TextToData& toData_;
};

void appendHexList(std::string& out, const std::vector<uint8_t>& data) {
  static constexpr char kDigits[] = "0123456789abcdef";
  for (std::size_t i = 0; i < data.size(); ++i) {
    if (i) out.push_back(',');
    out.push_back(kDigits[data[i] >> 4]);
    out.push_back(kDigits[data[i] & 15]);
  }
}

void appendHexNumber(std::string& out, uint32_t n) {
  static constexpr char kDigits[] = "0123456789abcdef";
  char digits[8];
  std::size_t i = sizeof digits;
  do {
    digits[--i] = kDigits[n & 15];
    n >>= 4;
  } while (n);
  out.append(digits + i, sizeof digits - i);
}

}  // namespace

bool equalsIgnoringAsciiCase(std::string_view a, std::string_view b) noexcept {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (lowerAscii(a[i]) != lowerAscii(b[i])) return false;
  }
  return true;
}

RegistrySection* RegistryDocument::find(std::string_view key) {
  for (auto& s : sections) {
    if (equalsIgnoringAsciiCase(s.key, key)) return &s;
  }
  return nullptr;
}

RegistrySection& RegistryDocument::findOrAdd(std::string_view key) {
  if (RegistrySection* s = find(key)) return *s;
  sections.push_back(RegistrySection{std::string(key), {}});
  return sections.back();
}

bool parseRegistry(std::string_view text, const TextToData& toData, RegistryDocument& doc) {
  RegistryDocument parsed;
  const bool ok = Parser(text, toData).run(parsed);
  doc = ok ? std::move(parsed) : RegistryDocument{};
  return ok;
}

std::string formatRegistry(const RegistryDocument& doc) {
  std::string out = "REGEDIT4\n";
  for (const auto& section : doc.sections) {
    out += "\n[";
    out += section.key;
    out += "]\n";
    for (const auto& value : section.values) {
      if (value.name.empty()) {
        out.push_back('@');
      } else {
        appendQuoted(out, value.name);
      }
      out += "=hex(";
      appendHexNumber(out, value.type);
      out += "):";
      appendHexList(out, value.data);
      out.push_back('\n');
    }
  }
  return out;
}

}  // namespace drovn::platform
