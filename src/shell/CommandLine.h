// The program's command line, through which scripts and tests drive it:
//
//   drovn [--headless] [--store DIR] [--registry FILE] [--set NAME=VALUE]... [--port N]
//   drovn --help | --version
//
// Parsing checks the form of every option; preparing the overlays converts their texts to the
// code page and checks their length. Both give a message for the operator on failure.
#pragma once

#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "config/Settings.h"
#include "platform/TextCodec.h"

namespace drovn::shell {

// Exit status for a command line that cannot be run.
inline constexpr int kUsageExit = 2;

// A setting given on the command line for this run only, its value as typed (UTF-8).
struct SettingOverlay {
  std::string name;
  std::string value;
};

struct CommandLine {
  enum class Action { Run, Help, Version };
  Action action = Action::Run;
  bool headless = false;
  std::string storeDir = ".";
  std::string registryPath;  // empty: the default registry file
  std::vector<SettingOverlay> overlays;
};

// An overlay ready to apply: the value in code-page bytes.
struct PreparedOverlay {
  std::string name;
  config::SettingsText codePageValue;
};

// args without the program name. False with a message when the line is not valid.
bool parseCommandLine(std::span<const std::string_view> args, CommandLine& out, std::string& error);
// The store directory must exist and be a directory.
bool validateStoreDir(const std::string& dir, std::string& error);
// Converts every overlay value to the code page; a text longer than a setting holds is refused.
bool prepareOverlays(const std::vector<SettingOverlay>& overlays, platform::TextCodec& codec,
                     std::vector<PreparedOverlay>& out, std::string& error);
// In command-line order, so a later overlay of the same setting wins.
void applyOverlays(const std::vector<PreparedOverlay>& overlays, config::Settings& settings);
// False with a message naming the setting, its value and what it must hold when the service
// could not start with these settings (from the file or the command line).
bool checkStartSettings(const config::Settings& settings, platform::TextCodec& codec,
                        std::string& error);

std::string usageText();
inline constexpr std::string_view kVersionText = "drovn 2.2";
// What --version prints: the version, then the TLS library the build uses (or none).
std::string versionText();
// The folder of the registry file, where a self-signed TLS certificate is made.
std::string certificateFolder(const std::string& registryPath);

}  // namespace drovn::shell
