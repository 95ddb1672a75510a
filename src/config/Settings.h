// What the operator configures: two named accounts, the anonymous account, the announced address
// and port, and two options. Loaded from the registry key Software\Drovnel at start-up and
// written back when the operator confirms the options. A few more values, for the standard
// command extensions, read-only accounts, the listening addresses and TLS, are read but never
// written.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "platform/FixedText.h"
#include "platform/Mutex.h"
#include "platform/Registry.h"

namespace drovn::config {

// A settings text: code-page bytes, at most 511 of them.
using SettingsText = FixedText<512>;

struct Settings {
  bool auth_Anonymous = true;
  SettingsText auth_anonyRoot;
  bool auth_enable1 = false;
  SettingsText auth_user1;
  SettingsText auth_pwd1;
  SettingsText auth_root1;
  bool auth_enable2 = false;
  SettingsText auth_user2;
  SettingsText auth_pwd2;
  SettingsText auth_root2;
  bool use_manualip = false;
  SettingsText bind_manualip;
  SettingsText bind_manualport;
  bool opt_keepLightOn = false;
  bool opt_enableUtf8 = false;
  // Beyond the fifteen: read when present, never written by the program, off or empty by
  // default, so a registry without them behaves as before. They are set in the registry file
  // by hand or with --set.
  bool opt_modernClients = false;       // the standard command extensions
  bool auth_readOnly1 = false;          // account 1 may list and download only
  bool auth_readOnly2 = false;          // account 2 likewise
  bool auth_readOnlyAnonymous = false;  // the anonymous account likewise
  SettingsText pasv_portRange;          // "LOW-HIGH" for passive listeners, or empty: any port
  SettingsText bind_listenIp;           // the control listener's address, or empty: all
  bool tls_enable = false;              // AUTH TLS, PBSZ and PROT (explicit FTPS)
  SettingsText tls_certFile;            // PEM certificate (chain); empty with tls_keyFile: a
  SettingsText tls_keyFile;             // self-signed pair made beside the registry file
  bool tls_require = false;             // named accounts must use TLS for everything
};

// The virtual name under which every account's root directory is mounted.
inline constexpr std::string_view rootMountName = "/";
inline constexpr std::string_view kSettingsKey = "Software\\Drovnel";
// The values the Options form edits and saveSettings writes, in their stored order.
inline constexpr std::size_t kSettingCount = 15;
// The values after them, which are only read.
inline constexpr std::size_t kLoadOnlySettingCount = 10;

void setDefaultSettings(Settings& s);
// Defaults, then whatever the registry holds. Never fails visibly: a key that cannot be opened
// leaves the defaults, a value that is missing or longer than 2048 bytes leaves its field. A
// value reads up to its first zero byte; a flag is true only for exactly "1"; a text longer than
// its field's 511 bytes is ignored (the field keeps its default).
void loadSettings(platform::Registry& registry, Settings& s);
// Writes the fifteen values, changed or not, in the stored order, as REG_SZ: texts as their
// code-page bytes without terminator, flags as "1" or "0" (auth_Anonymous with its terminating
// zero byte). A value that cannot be written is skipped. The values after the fifteen are never
// written, so a file keeps whatever the operator put there by hand.
void saveSettings(platform::Registry& registry, const Settings& s);

// Sets the field stored under `name` (exactly as stored, case included) from code-page text: a
// flag takes exactly "1" as true and anything else as false; a text is cut to 511 bytes (the
// caller checks the length). False when no setting has that name.
bool setSettingByName(Settings& s, std::string_view name, std::string_view codePageText);

// What kind of value the setting stored under `name` holds; Unknown when none has that name.
enum class SettingKind { Unknown, Flag, Text };
SettingKind settingKind(std::string_view name);

// A range of ports, both ends included.
struct PortRange {
  uint16_t low = 0;
  uint16_t high = 0;
};
// pasv_portRange: "LOW-HIGH" in decimal, 1 <= LOW <= HIGH <= 65535, and nothing else (no spaces,
// signs or leading zeros). The empty text is no range: true with out empty. False, with out
// untouched, for any other text.
bool parsePortRange(std::string_view text, std::optional<PortRange>& out);
// bind_listenIp: empty, or a dotted IPv4 address of four decimal parts 0 to 255 without leading
// zeros (which other programs read as octal).
bool validListenAddress(std::string_view text);

// A setting whose text the service cannot start with.
struct UnusableSetting {
  std::string_view name;
  std::string_view value;  // code-page bytes, a view into the record that was checked
  // What it must hold: in English for standard error, in Chinese (UTF-8) for the operator log.
  std::string_view expected;
  std::string_view expectedForLog;
};
// The first of pasv_portRange and bind_listenIp that fails its check above, if any.
std::optional<UnusableSetting> findUnusableSetting(const Settings& s);

// The process's settings: written by the main thread, read by the service threads. Readers take
// a copy, so a reader never sees a half-written record.
class SettingsStore {
 public:
  SettingsStore() { setDefaultSettings(settings_); }
  Settings snapshot() const {
    platform::MutexLock lock(m_);
    return settings_;
  }
  void replace(const Settings& s) {
    platform::MutexLock lock(m_);
    settings_ = s;
  }

 private:
  mutable platform::Mutex m_;
  Settings settings_ GUARDED_BY(m_);
};

}  // namespace drovn::config
