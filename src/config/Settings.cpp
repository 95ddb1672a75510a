#include "config/Settings.h"

#include <array>
#include <charconv>
#include <cstring>
#include <memory>
#include <span>

#include "platform/Network.h"

namespace drovn::config {

namespace {

// One stored value: a flag or a text of the record.
struct Field {
  std::string_view name;
  bool Settings::*flag;
  SettingsText Settings::*text;
};

constexpr Field flagField(std::string_view name, bool Settings::*flag) {
  return Field{name, flag, nullptr};
}
constexpr Field textField(std::string_view name, SettingsText Settings::*text) {
  return Field{name, nullptr, text};
}

// The stored order: loading and saving both go through the values in this order; saving stops
// after the first kSettingCount.
constexpr std::array<Field, kSettingCount + kLoadOnlySettingCount> kFields{{
    flagField("auth_Anonymous", &Settings::auth_Anonymous),
    textField("auth_anonyRoot", &Settings::auth_anonyRoot),
    flagField("auth_enable1", &Settings::auth_enable1),
    textField("auth_user1", &Settings::auth_user1),
    textField("auth_pwd1", &Settings::auth_pwd1),
    textField("auth_root1", &Settings::auth_root1),
    flagField("auth_enable2", &Settings::auth_enable2),
    textField("auth_user2", &Settings::auth_user2),
    textField("auth_pwd2", &Settings::auth_pwd2),
    textField("auth_root2", &Settings::auth_root2),
    flagField("use_manualip", &Settings::use_manualip),
    textField("bind_manualip", &Settings::bind_manualip),
    textField("bind_manualport", &Settings::bind_manualport),
    flagField("opt_keepLightOn", &Settings::opt_keepLightOn),
    flagField("opt_enableUtf8", &Settings::opt_enableUtf8),
    flagField("opt_modernClients", &Settings::opt_modernClients),
    flagField("auth_readOnly1", &Settings::auth_readOnly1),
    flagField("auth_readOnly2", &Settings::auth_readOnly2),
    flagField("auth_readOnlyAnonymous", &Settings::auth_readOnlyAnonymous),
    textField("pasv_portRange", &Settings::pasv_portRange),
    textField("bind_listenIp", &Settings::bind_listenIp),
    flagField("tls_enable", &Settings::tls_enable),
    textField("tls_certFile", &Settings::tls_certFile),
    textField("tls_keyFile", &Settings::tls_keyFile),
    flagField("tls_require", &Settings::tls_require),
}};
constexpr std::span<const Field> kStoredFields(kFields.data(), kSettingCount);

// A value is read into a buffer of this size; a longer one is ignored.
constexpr uint32_t kValueBufferSize = 2048;
static_assert(kValueBufferSize > SettingsText::kCapacity);

void applyText(Settings& s, const Field& f, std::string_view text) {
  if (f.flag) {
    s.*f.flag = text == "1";
  } else {
    (void)(s.*f.text).assign(text);  // cut to the field: callers check the length first
  }
}

}  // namespace

SettingKind settingKind(std::string_view name) {
  for (const Field& f : kFields) {
    if (f.name == name) return f.flag ? SettingKind::Flag : SettingKind::Text;
  }
  return SettingKind::Unknown;
}

void setDefaultSettings(Settings& s) {
  s.auth_Anonymous = true;
  s.auth_anonyRoot.assign("/");
  s.auth_enable1 = false;
  s.auth_user1.assign("admin");
  s.auth_pwd1.clear();
  s.auth_root1.assign("/");
  s.auth_enable2 = false;
  s.auth_user2.assign("guest");
  s.auth_pwd2.clear();
  s.auth_root2.assign("/");
  s.use_manualip = false;
  s.bind_manualip.assign("192.168.1.101");
  s.bind_manualport.assign("21");
  s.opt_keepLightOn = false;
  s.opt_enableUtf8 = false;
  s.opt_modernClients = false;
  s.auth_readOnly1 = false;
  s.auth_readOnly2 = false;
  s.auth_readOnlyAnonymous = false;
  s.pasv_portRange.clear();
  s.bind_listenIp.clear();
}

void loadSettings(platform::Registry& registry, Settings& s) {
  setDefaultSettings(s);
  std::unique_ptr<platform::RegistryKey> key;
  if (registry.createKey(kSettingsKey, platform::Registry::Access::Read, key) || !key) return;

  // One byte more than is ever queried, so the data can always be terminated.
  std::array<uint8_t, kValueBufferSize + 1> buf;
  for (const Field& f : kFields) {
    uint32_t type = 0;
    uint32_t size = kValueBufferSize;
    if (key->queryValue(f.name, type, buf.data(), size) || size > kValueBufferSize) continue;
    buf[size] = 0;
    const std::string_view text(reinterpret_cast<const char*>(buf.data()),
                                std::strlen(reinterpret_cast<const char*>(buf.data())));
    // A text longer than its field is ignored rather than cut: a cut path or password would be
    // a different one, and a cut may split a double-byte character.
    if (f.text && text.size() > SettingsText::kCapacity) continue;
    applyText(s, f, text);
  }
}

void saveSettings(platform::Registry& registry, const Settings& s) {
  std::unique_ptr<platform::RegistryKey> key;
  if (registry.createKey(kSettingsKey, platform::Registry::Access::Write, key) || !key) return;
  for (const Field& f : kStoredFields) {
    std::string_view data;
    if (f.flag) {
      // auth_Anonymous has always been stored with its terminator, the other flags without.
      data = s.*f.flag ? std::string_view("1", 2) : std::string_view("0", 2);
      if (f.name != "auth_Anonymous") data.remove_suffix(1);
    } else {
      data = (s.*f.text).view();
    }
    // A value that cannot be set is skipped; the others are still written.
    (void)key->setValue(f.name, platform::kRegSz, reinterpret_cast<const uint8_t*>(data.data()),
                        static_cast<uint32_t>(data.size()));
  }
}

bool setSettingByName(Settings& s, std::string_view name, std::string_view codePageText) {
  for (const Field& f : kFields) {
    if (f.name == name) {
      applyText(s, f, codePageText);
      return true;
    }
  }
  return false;
}

namespace {

// A port number in decimal: digits only, no leading zero, 1 to 65535.
std::optional<uint16_t> parsePort(std::string_view text) {
  if (text.empty() || text.front() == '0' ||
      text.find_first_not_of("0123456789") != std::string_view::npos) {
    return std::nullopt;
  }
  unsigned value = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size() || value == 0 || value > 65535) {
    return std::nullopt;
  }
  return static_cast<uint16_t>(value);
}

}  // namespace

bool parsePortRange(std::string_view text, std::optional<PortRange>& out) {
  if (text.empty()) {
    out.reset();
    return true;
  }
  const std::size_t dash = text.find('-');
  if (dash == std::string_view::npos) return false;
  const auto low = parsePort(text.substr(0, dash));
  const auto high = parsePort(text.substr(dash + 1));
  if (!low || !high || *low > *high) return false;
  out = PortRange{*low, *high};
  return true;
}

bool validListenAddress(std::string_view text) {
  if (text.empty()) return true;
  // The platform's reading takes short, octal and hex forms too; an address is taken only when
  // it reads back as the same four decimal parts, so what the operator wrote is what is bound.
  FixedText<16> typed;
  if (!typed.assign(text) || typed.view() != text) return false;
  FixedText<16> canonical;
  platform::inetNtoa(platform::inetAddr(typed.c_str()), canonical);
  return canonical.view() == text;
}

std::optional<UnusableSetting> findUnusableSetting(const Settings& s) {
  std::optional<PortRange> range;
  if (!parsePortRange(s.pasv_portRange.view(), range)) {
    return UnusableSetting{"pasv_portRange", s.pasv_portRange.view(),
                           "LOW-HIGH with 1 <= LOW <= HIGH <= 65535, or empty",
                           "LOW-HIGH (1 <= LOW <= HIGH <= 65535) 或空"};
  }
  if (!validListenAddress(s.bind_listenIp.view())) {
    return UnusableSetting{"bind_listenIp", s.bind_listenIp.view(),
                           "an IPv4 address such as 192.168.1.10, or empty",
                           "IPv4 地址 (如 192.168.1.10) 或空"};
  }
  return std::nullopt;
}

}  // namespace drovn::config
