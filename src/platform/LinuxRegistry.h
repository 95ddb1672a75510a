// The registry kept in one file (see RegistryFile.h). Every createKey reads the file afresh.
// Reading a missing file gives empty keys; a file that cannot be parsed also reads as empty, and
// is kept beside the file as FILE.bad when a save replaces it. A key opened for writing is saved
// when it is closed, if anything was set through it: the whole file is written to FILE.tmp in the
// same folder (mode 0600: the passwords are in it), flushed to disk and renamed over the old one,
// and the folder is flushed, so a crash leaves the old file or the new one, never a torn one. A
// save that fails (folder cannot be created, disk full) changes nothing and leaves no FILE.tmp.
// Keys and values the program does not know are kept. One process writes the file, from one
// thread at a time.
#pragma once

#include <string>

#include "platform/Registry.h"
#include "platform/TextCodec.h"

namespace drovn::platform {

class LinuxRegistry final : public Registry {
 public:
  LinuxRegistry(std::string path, TextCodec& codec);
  // Read: a missing key is an empty key, nothing is written. Write: the key collects its values
  // and is saved when closed; the values set come first in the key, in the order they were set,
  // then its other values in their old order. Errors: EINVAL for an empty path or one with a
  // line break, otherwise the file's read error (EACCES, ...); a missing file is no error.
  std::error_code createKey(std::string_view path, Access access,
                            std::unique_ptr<RegistryKey>& out) override;
  const std::string& path() const noexcept { return path_; }

 private:
  std::string path_;
  TextCodec& codec_;
};

// The default registry file: $XDG_CONFIG_HOME/drovn/registry.reg when XDG_CONFIG_HOME is set and
// not empty, else $HOME/.config/drovn/registry.reg (the password database's home directory when
// HOME is not set).
std::string defaultRegistryPath();

}  // namespace drovn::platform
