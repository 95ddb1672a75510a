// The registry kept in one file. Reading a missing file gives empty keys; a file that cannot be
// parsed also reads as empty, and is kept beside the file as FILE.bad before a save replaces
// it. A key opened for writing is saved when it is closed: the whole file is written to a
// temporary file in the same folder, flushed to disk and renamed over the old one, so a crash
// leaves the old file or the new one, never a torn one. Values and keys the program does not
// know are kept.
#pragma once

#include <string>

#include "platform/Registry.h"
#include "platform/TextCodec.h"

namespace drovn::platform {

class LinuxRegistry final : public Registry {
 public:
  LinuxRegistry(std::string path, TextCodec& codec);
  uint32_t createKey(std::string_view path, Access access,
                     std::unique_ptr<RegistryKey>& out) override;
  const std::string& path() const noexcept { return path_; }

 private:
  std::string path_;
  TextCodec& codec_;
};

// The default registry file: $XDG_CONFIG_HOME/drovn/registry.reg, else
// ~/.config/drovn/registry.reg.
std::string defaultRegistryPath();

}  // namespace drovn::platform
