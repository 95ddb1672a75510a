#include "shell/CommandLine.h"

#include <charconv>
#include <filesystem>
#include <system_error>

#include "platform/Tls.h"

namespace drovn::shell {

namespace {

bool addSetting(std::string_view assignment, CommandLine& out, std::string& error) {
  const std::size_t eq = assignment.find('=');
  if (eq == std::string_view::npos || eq == 0) {
    error = "--set takes NAME=VALUE, not '" + std::string(assignment) + "'";
    return false;
  }
  const std::string_view name = assignment.substr(0, eq);
  const std::string_view value = assignment.substr(eq + 1);
  const config::SettingKind kind = config::settingKind(name);
  if (kind == config::SettingKind::Unknown) {
    error = "unknown setting '" + std::string(name) + "'";
    return false;
  }
  if (kind == config::SettingKind::Flag && value != "1" && value != "0") {
    error = "setting '" + std::string(name) + "' takes 1 or 0, not '" + std::string(value) + "'";
    return false;
  }
  out.overlays.push_back({std::string(name), std::string(value)});
  return true;
}

bool addPort(std::string_view text, CommandLine& out, std::string& error) {
  unsigned port = 0;
  const char* end = text.data() + text.size();
  const auto [ptr, ec] = std::from_chars(text.data(), end, port);
  const bool digitsOnly = text.find_first_not_of("0123456789") == std::string_view::npos;
  if (text.empty() || !digitsOnly || ec != std::errc() || ptr != end || port > 65535) {
    error = "--port takes a number from 0 to 65535, not '" + std::string(text) + "'";
    return false;
  }
  out.overlays.push_back({"use_manualip", "1"});
  out.overlays.push_back({"bind_manualip", ""});
  out.overlays.push_back({"bind_manualport", std::to_string(port)});
  return true;
}

}  // namespace

bool parseCommandLine(std::span<const std::string_view> args, CommandLine& out,
                      std::string& error) {
  out = CommandLine{};
  for (std::size_t i = 0; i < args.size(); ++i) {
    std::string_view option = args[i];
    if (option == "--help" || option == "-h") {
      out.action = CommandLine::Action::Help;
      return true;
    }
    if (option == "--version") {
      out.action = CommandLine::Action::Version;
      return true;
    }
    if (option == "--headless") {
      out.headless = true;
      continue;
    }
    // The options with a value take it as the next argument or after '='.
    std::string_view value;
    bool inlineValue = false;
    if (option.starts_with("--")) {
      const std::size_t eq = option.find('=');
      if (eq != std::string_view::npos) {
        value = option.substr(eq + 1);
        option = option.substr(0, eq);
        inlineValue = true;
      }
    }
    if (option != "--store" && option != "--registry" && option != "--set" && option != "--port") {
      error = "unknown option '" + std::string(args[i]) + "'";
      return false;
    }
    if (!inlineValue) {
      if (i + 1 >= args.size()) {
        error = "option '" + std::string(option) + "' needs a value";
        return false;
      }
      value = args[++i];
    }
    if (option == "--store") {
      out.storeDir.assign(value);
    } else if (option == "--registry") {
      if (value.empty()) {
        error = "option '--registry' needs a file name";
        return false;
      }
      out.registryPath.assign(value);
    } else if (option == "--set") {
      if (!addSetting(value, out, error)) return false;
    } else if (!addPort(value, out, error)) {
      return false;
    }
  }
  return true;
}

bool validateStoreDir(const std::string& dir, std::string& error) {
  std::error_code ec;
  if (dir.empty()) {
    error = "the store directory must not be empty";
    return false;
  }
  const auto status = std::filesystem::status(dir, ec);
  if (ec || !std::filesystem::exists(status)) {
    error = "store directory '" + dir + "' does not exist";
    return false;
  }
  if (!std::filesystem::is_directory(status)) {
    error = "store '" + dir + "' is not a directory";
    return false;
  }
  return true;
}

bool prepareOverlays(const std::vector<SettingOverlay>& overlays, platform::TextCodec& codec,
                     std::vector<PreparedOverlay>& out, std::string& error) {
  out.clear();
  for (const SettingOverlay& o : overlays) {
    // A character never takes more code-page bytes than UTF-8 bytes; one more byte shows an
    // overlong text.
    std::string bytes(o.value.size() + 2, '\0');
    const std::size_t n = codec.utf8ToCodePage(bytes.data(), bytes.size(), o.value);
    bytes.resize(n);
    PreparedOverlay prepared{o.name, {}};
    if (!prepared.codePageValue.assign(bytes)) {
      error = "the value of setting '" + o.name + "' is longer than " +
              std::to_string(config::SettingsText::kCapacity) + " bytes in the code page";
      return false;
    }
    out.push_back(std::move(prepared));
  }
  return true;
}

void applyOverlays(const std::vector<PreparedOverlay>& overlays, config::Settings& settings) {
  for (const PreparedOverlay& o : overlays) {
    // Names were checked while parsing, so every overlay finds its setting.
    static_cast<void>(config::setSettingByName(settings, o.name, o.codePageValue.view()));
  }
}

bool checkStartSettings(const config::Settings& settings, platform::TextCodec& codec,
                        std::string& error) {
  const auto unusable = config::findUnusableSetting(settings);
  if (!unusable) return true;
  // Each code-page byte takes at most three UTF-8 bytes (a stray one becomes U+FFFD).
  std::string value(unusable->value.size() * 3 + 1, '\0');
  value.resize(codec.codePageToUtf8(value.data(), value.size(), unusable->value));
  error = "setting '" + std::string(unusable->name) + "' is '" + value + "': expected " +
          std::string(unusable->expected);
  return false;
}

std::string versionText() {
  return std::string(kVersionText) + "\nTLS: " + platform::tlsLibraryVersion() + "\n";
}

std::string certificateFolder(const std::string& registryPath) {
  const std::size_t slash = registryPath.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : registryPath.substr(0, slash);
}

std::string usageText() {
  return "Usage: drovn [--headless] [--store DIR] [--registry FILE] [--set NAME=VALUE]... "
         "[--port N]\n"
         "       drovn --help | --version\n"
         "\n"
         "An FTP server for the directory DIR. On a terminal it runs as a console: the log\n"
         "list, F1 for the menu (start, stop, options, about), F2 to close, Ctrl+A for about.\n"
         "Otherwise the log is written to standard output, one line per event.\n"
         "\n"
         "  --headless         no terminal console: print the log lines only (so does a run\n"
         "                     whose standard input or output is not a terminal)\n"
         "  --store DIR        the directory the file store's root maps to (default: the\n"
         "                     current directory)\n"
         "  --registry FILE    the settings file (default: $XDG_CONFIG_HOME/drovn/registry.reg,\n"
         "                     else ~/.config/drovn/registry.reg)\n"
         "  --set NAME=VALUE   use VALUE for the setting NAME in this run only (repeatable);\n"
         "                     a flag takes 1 or 0, a text any UTF-8 text (may be empty)\n"
         "  --port N           listen on port N: --set use_manualip=1 --set bind_manualip=\n"
         "                     --set bind_manualport=N\n"
         "  --help             show this text\n"
         "  --version          show the version\n"
         "\n"
         "Settings: auth_Anonymous auth_anonyRoot auth_enable1 auth_user1 auth_pwd1 auth_root1\n"
         "          auth_enable2 auth_user2 auth_pwd2 auth_root2 use_manualip bind_manualip\n"
         "          bind_manualport opt_keepLightOn opt_enableUtf8\n"
         "\n"
         "Read from the file or given with --set, never written by drovn (all off or empty):\n"
         "  opt_modernClients       flag: the standard command extensions (FEAT, EPSV/EPRT,\n"
         "                          MDTM/MFMT, MLSD/MLST, SIZE, REST STREAM, QUIT 221, ls-style\n"
         "                          LIST/NLST with options, file paths, patterns and six-month\n"
         "                          dates, HELP/STRU/MODE/ALLO/CLNT, XMKD/XRMD/XCWD/XCUP,\n"
         "                          OPTS UTF8 ON)\n"
         "  auth_readOnly1          flag: account 1 may list and download but not STOR, APPE,\n"
         "                          DELE, MKD, RMD, RNFR/RNTO or MFMT (550 Access denied!)\n"
         "  auth_readOnly2          flag: the same for account 2\n"
         "  auth_readOnlyAnonymous  flag: the same for the anonymous account\n"
         "  pasv_portRange          text LOW-HIGH: passive listeners take a free port from it\n"
         "  bind_listenIp           text: the address the control listener binds (empty: all)\n"
         "  tls_enable              flag: FTP over TLS (AUTH TLS, PBSZ, PROT P/C)\n"
         "  tls_certFile            text: the certificate (PEM); with tls_keyFile also empty, a\n"
         "                          self-signed one is made beside the settings file\n"
         "  tls_keyFile             text: its private key (PEM)\n"
         "  tls_require             flag: accounts 1 and 2 must log in and move data under TLS\n";
}

}  // namespace drovn::shell
