// Carries log texts from every thread to the main window. writeLog converts a code-page text to
// UTF-8 and appends it with CR LF to one pending buffer under a lock, then posts LogTextReady;
// the main window takes the whole pending text out later. A writer waits only for the lock.
#pragma once

#include <atomic>
#include <cstddef>
#include <string>
#include <string_view>

#include "platform/FixedText.h"
#include "platform/MessageQueue.h"
#include "platform/Mutex.h"
#include "platform/TextCodec.h"

namespace drovn::core {

inline constexpr std::size_t kLogTextSize = 2048;
// A code-page byte becomes at most three UTF-8 bytes, so this holds at least as many entries as
// the same text took in any other form of at most one unit per byte.
inline constexpr std::size_t kPendingLogBytes = 3 * 102400;

class LogChannel {
 public:
  LogChannel(platform::TextCodec& codec, platform::MessageQueue& window);

  // Any thread. The text is cut to 2047 bytes, trimmed of blanks at both ends (unless it is all
  // blanks), converted, and appended. When the pending text is full, the oldest entries are
  // dropped to make room, so the newest always arrive. Never throws.
  void writeLog(const char* codePageText) noexcept;
  // As writeLog, but the window is not told yet: the next writeLog or announcePending (from any
  // thread) tells it about this text too. A session logs its command line this way, so the
  // window's wake-up comes with the reply's line, after the client has its answer.
  void writeLogUnannounced(const char* codePageText) noexcept;
  // Tells the window about text written unannounced, if any is still untold. Cheap when none.
  void announcePending() noexcept;
  // Operator messages are written in the source as UTF-8 and logged as they are: cut at a
  // character boundary where their code-page form would pass 2047 bytes, then trimmed as
  // writeLog trims. An invalid sequence becomes U+FFFD, so the pending text is always UTF-8.
  void writeUtf8(const char* utf8Text) noexcept;

  // Main thread: appends all pending text (UTF-8, of any length) to out and empties it.
  void takePending(std::string& out);

 private:
  enum class Source { CodePage, Utf8 };
  // Cuts, trims, converts and appends under logLock_; false when the text could not be
  // converted.
  bool append(const char* text, Source source) noexcept;
  // Posts LogTextReady; false when the post failed (the text stays pending).
  bool postReady() noexcept;
  void appendEntry(std::string_view text) noexcept REQUIRES(logLock_);
  void dropOldest(std::size_t atLeast) noexcept REQUIRES(logLock_);

  platform::TextCodec& codec_;
  platform::MessageQueue& window_;
  platform::Mutex logLock_;
  FixedText<kLogTextSize> logNarrow_ GUARDED_BY(logLock_);
  // Three UTF-8 bytes for each of the 2047 code-page bytes at most, and the terminator.
  FixedText<3 * (kLogTextSize - 1) + 1> logUtf8_ GUARDED_BY(logLock_);
  // Not cleared: only the first pendingLength_ bytes are ever read, and pages never written cost
  // an idle process no memory.
  char pendingLog_[kPendingLogBytes] GUARDED_BY(logLock_);
  std::size_t pendingLength_ GUARDED_BY(logLock_) = 0;
  // Set after an unannounced append, cleared by whoever posts next.
  std::atomic<bool> unannounced_{false};
};

}  // namespace drovn::core
