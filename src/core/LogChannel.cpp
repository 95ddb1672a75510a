#include "core/LogChannel.h"

#include <algorithm>
#include <cstddef>
#include <string_view>

#include "platform/Utf8.h"
#include "vfs/Tokens.h"

namespace drovn::core {

namespace {

constexpr char16_t kLineEnd[] = u"\r\n";
constexpr std::size_t kPendingCapacity = kPendingLogUnits - 1;  // the terminator's unit
// The longest entry: a whole text of 2047 units (one unit per byte at most) and its CR LF.
static_assert(kLogTextSize + 1 < kPendingCapacity, "one entry always fits the pending text");

}  // namespace

LogChannel::LogChannel(platform::TextCodec& codec, platform::MessageQueue& window)
    : codec_(codec), window_(window) {}

bool LogChannel::append(const char* codePageText) noexcept {
  platform::MutexLock lock(logLock_);
  try {
    logNarrow_.assign(codePageText != nullptr ? codePageText : "");
    // A text made only of blanks stays as it is: an operator who logs spaces sees them.
    vfs::trimText(logNarrow_);
    codec_.codePageToWide(logWide_.data(), logWide_.bufferSize(), logNarrow_.c_str());
    logWide_.syncLength();
    appendEntry(logWide_.view());
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
  if (!append(codePageText)) return;
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
  if (append(codePageText)) unannounced_.store(true);
}

void LogChannel::announcePending() noexcept {
  if (!unannounced_.exchange(false)) return;
  if (!postReady()) unannounced_.store(true);  // told with the next line instead
}

void LogChannel::writeUtf8(const char* utf8Text) noexcept {
  try {
    FixedWide<kLogTextSize> wide;
    FixedText<kLogTextSize> narrow;
    platform::utf8ToUtf16(wide.data(), wide.bufferSize(),
                          std::string_view(utf8Text != nullptr ? utf8Text : ""));
    wide.syncLength();
    codec_.wideToCodePage(narrow.data(), narrow.bufferSize(), wide.c_str());
    narrow.syncLength();
    writeLog(narrow.c_str());
  } catch (...) {
    // As for writeLog: a line that cannot be converted is lost, nothing else.
  }
}

void LogChannel::takePending(std::u16string& out) {
  platform::MutexLock lock(logLock_);
  out.append(pendingLog_, pendingLength_);
  pendingLength_ = 0;
  pendingLog_[0] = u'\0';
}

void LogChannel::appendEntry(std::u16string_view text) noexcept {
  const std::size_t need = text.size() + 2;
  if (pendingLength_ + need > kPendingCapacity)
    dropOldest(pendingLength_ + need - kPendingCapacity);
  std::copy(text.begin(), text.end(), pendingLog_ + pendingLength_);
  pendingLength_ += text.size();
  pendingLog_[pendingLength_++] = kLineEnd[0];
  pendingLog_[pendingLength_++] = kLineEnd[1];
  pendingLog_[pendingLength_] = u'\0';
}

void LogChannel::dropOldest(std::size_t atLeast) noexcept {
  // Whole lines go, up to and including their CR LF, so the window never sees half a line.
  const std::u16string_view pending(pendingLog_, pendingLength_);
  std::size_t cut = 0;
  while (cut < atLeast) {
    const std::size_t end = pending.find(kLineEnd, cut);
    if (end == std::u16string_view::npos) {
      cut = pendingLength_;
      break;
    }
    cut = end + 2;
  }
  const std::size_t kept = pendingLength_ - cut;
  // Forward copy to the front of the same buffer: the target starts before the source.
  std::copy(pending.begin() + static_cast<std::ptrdiff_t>(cut), pending.end(), pendingLog_);
  pendingLength_ = kept;
  pendingLog_[pendingLength_] = u'\0';
}

}  // namespace drovn::core
