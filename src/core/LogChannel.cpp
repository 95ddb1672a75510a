#include "core/LogChannel.h"

#include <algorithm>
#include <cstddef>
#include <string_view>

#include "platform/Utf8.h"
#include "vfs/Tokens.h"

namespace drovn::core {

namespace {

constexpr std::string_view kLineEnd = "\r\n";
// The longest entry: a whole converted text and its CR LF.
static_assert(3 * (kLogTextSize - 1) + kLineEnd.size() < kPendingLogBytes,
              "one entry always fits the pending text");

// The bytes of the longest run of whole characters of text whose code-page form fits in limit
// bytes: one byte for an ASCII character, two for any other.
std::size_t codePageCut(std::string_view text, std::size_t limit) noexcept {
  std::size_t stored = 0;
  std::size_t i = 0;
  while (i < text.size()) {
    std::size_t next = i;
    const std::size_t bytes = platform::decodeUtf8(text, next) < 0x80 ? 1 : 2;
    if (stored + bytes > limit) break;
    stored += bytes;
    i = next;
  }
  return i;
}

}  // namespace

LogChannel::LogChannel(platform::TextCodec& codec, platform::MessageQueue& window)
    : codec_(codec), window_(window) {}

bool LogChannel::append(const char* text, Source source) noexcept {
  const std::string_view in(text != nullptr ? text : "");
  platform::MutexLock lock(logLock_);
  try {
    // A text made only of blanks stays as it is: an operator who logs spaces sees them.
    if (source == Source::CodePage) {
      logNarrow_.assign(in);
      vfs::trimText(logNarrow_);
      logUtf8_.syncLength(
          codec_.codePageToUtf8(logUtf8_.data(), logUtf8_.bufferSize(), logNarrow_.view()));
    } else {
      const std::string_view cut = in.substr(0, codePageCut(in, kLogTextSize - 1));
      logUtf8_.syncLength(platform::cleanUtf8(logUtf8_.data(), logUtf8_.bufferSize(), cut));
      vfs::trimText(logUtf8_);
    }
    appendEntry(logUtf8_.view());
    return true;
  } catch (...) {
    // A failed conversion costs this one line; the writer never learns of it.
    return false;
  }
}

void LogChannel::writeLog(const char* codePageText) noexcept {
  // Posted after the append, outside the lock: the window takes everything pending when the
  // message arrives, and a post merged with one still queued loses nothing. The flag is
  // cleared before the post, so text appended unannounced before it goes out with this post.
  if (!append(codePageText, Source::CodePage)) return;
  unannounced_.store(false);
  // On failure the text stays pending and goes out with the next line's message.
  (void)postReady();
}

bool LogChannel::postReady() noexcept {
  try {
    window_.post(platform::events::LogTextReady{});
    return true;
  } catch (...) {
    return false;
  }
}

void LogChannel::writeLogUnannounced(const char* codePageText) noexcept {
  if (append(codePageText, Source::CodePage)) unannounced_.store(true);
}

void LogChannel::announcePending() noexcept {
  if (!unannounced_.exchange(false)) return;
  if (!postReady()) unannounced_.store(true);  // told with the next line instead
}

void LogChannel::writeUtf8(const char* utf8Text) noexcept {
  if (!append(utf8Text, Source::Utf8)) return;
  unannounced_.store(false);
  (void)postReady();  // as for writeLog
}

void LogChannel::takePending(std::string& out) {
  platform::MutexLock lock(logLock_);
  out.append(pendingLog_, pendingLength_);
  pendingLength_ = 0;
}

void LogChannel::appendEntry(std::string_view text) noexcept {
  const std::size_t need = text.size() + kLineEnd.size();
  if (pendingLength_ + need > kPendingLogBytes)
    dropOldest(pendingLength_ + need - kPendingLogBytes);
  std::copy(text.begin(), text.end(), pendingLog_ + pendingLength_);
  pendingLength_ += text.size();
  std::copy(kLineEnd.begin(), kLineEnd.end(), pendingLog_ + pendingLength_);
  pendingLength_ += kLineEnd.size();
}

void LogChannel::dropOldest(std::size_t atLeast) noexcept {
  // Whole lines go, up to and including their CR LF, so the window never sees half a line.
  const std::string_view pending(pendingLog_, pendingLength_);
  std::size_t cut = 0;
  while (cut < atLeast) {
    const std::size_t end = pending.find(kLineEnd, cut);
    if (end == std::string_view::npos) {
      cut = pendingLength_;
      break;
    }
    cut = end + kLineEnd.size();
  }
  // Forward copy to the front of the same buffer: the target starts before the source.
  std::copy(pending.begin() + static_cast<std::ptrdiff_t>(cut), pending.end(), pendingLog_);
  pendingLength_ -= cut;
}

}  // namespace drovn::core
