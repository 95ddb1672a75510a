// The text conversions on arbitrary input: UTF-8 cleaning and code page 936 against UTF-8, both
// ways, into buffers of every small size and into the session's fixed texts. Each output must
// be terminated at the count the conversion gives, within its capacity, and hold whole
// characters only. Input: one byte choosing the capacity (1 to 64 bytes), then the text.
#include <algorithm>
#include <cstdlib>
#include <memory>
#include <string>

#include "platform/TextCodec.h"
#include "platform/Utf8.h"
#include "vfs/Encoding.h"

namespace {

using namespace drovn;

void checkTerminated(const char* text, std::size_t n, std::size_t cap) {
  if (n >= cap || std::find(text, text + n + 1, '\0') != text + n) std::abort();
}

// Into a heap block of exactly cap bytes, so that a write past it is an AddressSanitizer report.
template <typename Convert>
std::string into(std::size_t cap, Convert convert) {
  const auto dst = std::make_unique<char[]>(cap);
  const std::size_t n = convert(dst.get());
  checkTerminated(dst.get(), n, cap);
  return std::string(dst.get(), n);
}

// Whole characters only: UTF-8 that cleaning leaves unchanged, no code-page lead byte alone.
void checkWhole(const std::string& s, bool utf8) {
  if (utf8) {
    std::string again(s.size() * 3 + 1, '\0');
    again.resize(platform::cleanUtf8(again.data(), again.size(), s));
    if (again != s) std::abort();
  }
  for (std::size_t i = 0; !utf8 && i < s.size(); ++i)
    if (platform::isCodePageLeadByte(static_cast<unsigned char>(s[i])) && ++i >= s.size())
      std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  if (size < 1 || size > 4 * vfs::PathText::bufferSize()) return 0;
  static platform::LinuxTextCodec codec;
  const std::size_t cap = 1 + (data[0] & 63);
  const std::string bytes(reinterpret_cast<const char*>(data + 1), size - 1);
  const std::string text = bytes.substr(0, bytes.find('\0'));  // the conversions end at a NUL

  checkWhole(into(cap, [&](char* d) { return platform::cleanUtf8(d, cap, bytes); }), true);
  checkWhole(into(cap, [&](char* d) { return codec.codePageToUtf8(d, cap, bytes); }), true);
  checkWhole(into(cap, [&](char* d) { return codec.utf8ToCodePage(d, cap, bytes); }), false);

  // The session's texts, through the vfs selectors, and back again: the text a session sends
  // out must survive its own conversion.
  auto client = std::make_unique<vfs::PathText>();
  std::string store;
  for (const bool utf8 : {true, false}) {
    vfs::clientToUtf8(codec, utf8, text, store);
    checkWhole(store, true);
    vfs::utf8ToClient(codec, utf8, text, *client);
    checkTerminated(client->c_str(), client->size(), vfs::PathText::bufferSize());
    checkWhole(std::string(client->view()), utf8);
    vfs::clientToUtf8(codec, utf8, client->view(), store);
    checkWhole(store, true);
  }
  return 0;
}
