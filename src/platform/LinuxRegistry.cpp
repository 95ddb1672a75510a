#include "platform/LinuxRegistry.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>
#include <utility>
#include <vector>

#include "platform/ErrorCodes.h"
#include "platform/RegistryFile.h"
#include "platform/UniqueFd.h"

namespace drovn::platform {

namespace {

constexpr std::string_view kRootKey = "HKEY_LOCAL_MACHINE\\";

int openRetrying(const char* path, int flags, mode_t mode = 0) noexcept {
  int fd;
  do {
    fd = ::open(path, flags | O_CLOEXEC, mode);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

bool hasLineBreak(std::string_view s) noexcept {
  return s.find_first_of(std::string_view("\r\n\0", 3)) != std::string_view::npos;
}

// The file's bytes; `missing` when there is no such file, which is no error.
std::error_code readWholeFile(const std::string& path, std::string& out, bool& missing) {
  missing = false;
  out.clear();
  // O_NONBLOCK: a FIFO put in the file's place must not hang the program; it is refused below.
  UniqueFd fd(openRetrying(path.c_str(), O_RDONLY | O_NONBLOCK));
  if (!fd.valid()) {
    // ENOTDIR: a part of the folder is a file, so there is no such file either; the first save
    // then fails to make the folder, and says nothing.
    if (errno == ENOENT || errno == ENOTDIR) {
      missing = true;
      return {};
    }
    return errnoError(errno);
  }
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0) return errnoError(errno);
  if (!S_ISREG(st.st_mode)) return errnoError(EACCES);
  char buf[16384];
  for (;;) {
    const ssize_t n = ::read(fd.get(), buf, sizeof buf);
    if (n < 0) {
      if (errno == EINTR) continue;
      return errnoError(errno);
    }
    if (n == 0) return {};
    out.append(buf, static_cast<std::size_t>(n));
  }
}

std::string parentFolder(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

// mkdir -p, the folders made private: the file holds the passwords.
std::error_code makeFolders(const std::string& folder) {
  for (std::size_t at = 1; at <= folder.size(); ++at) {
    if (at != folder.size() && folder[at] != '/') continue;
    const std::string prefix = folder.substr(0, at);
    if (::mkdir(prefix.c_str(), 0700) != 0 && errno != EEXIST) return errnoError(errno);
  }
  struct stat st {};
  if (::stat(folder.c_str(), &st) != 0) return errnoError(errno);
  return S_ISDIR(st.st_mode) ? std::error_code() : errnoError(ENOTDIR);
}

std::error_code writeAll(int fd, std::string_view data) noexcept {
  while (!data.empty()) {
    const ssize_t n = ::write(fd, data.data(), data.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return errnoError(errno);
    }
    data.remove_prefix(static_cast<std::size_t>(n));
  }
  return {};
}

// Writes text to path + ".tmp", flushes it and renames it over path. With keepOld, the file
// found at path is first moved to path + ".bad". On failure nothing has changed and the
// temporary file is gone.
std::error_code replaceFile(const std::string& path, std::string_view text, bool keepOld) {
  const std::string folder = parentFolder(path);
  if (const std::error_code err = makeFolders(folder)) return err;

  const std::string temp = path + ".tmp";
  // O_NOFOLLOW: a link planted at the temporary name must not redirect the write.
  UniqueFd fd(openRetrying(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW, 0600));
  if (!fd.valid()) return errnoError(errno);
  std::error_code err = writeAll(fd.get(), text);
  if (!err && ::fsync(fd.get()) != 0) err = errnoError(errno);
  if (fd.close() != 0 && !err) err = errnoError(errno);

  const std::string bad = path + ".bad";
  bool moved = false;
  if (!err && keepOld) {
    if (::rename(path.c_str(), bad.c_str()) == 0) {
      moved = true;
    } else if (errno != ENOENT) {
      err = errnoError(errno);
    }
  }
  if (!err && ::rename(temp.c_str(), path.c_str()) != 0) {
    err = errnoError(errno);
    // Put the old file back; the unparsable file read as empty, and so does no file, so even
    // if this fails the next start sees what it saw before.
    if (moved) (void)::rename(bad.c_str(), path.c_str());
  }
  if (err) {
    (void)::unlink(temp.c_str());  // it may not exist; either way there is no temporary left
    return err;
  }

  // The rename itself is durable only once the folder is flushed. The new file is in place
  // whatever this gives, so a failure is not the save's failure.
  UniqueFd dir(openRetrying(folder.c_str(), O_RDONLY | O_DIRECTORY));
  if (dir.valid()) (void)::fsync(dir.get());
  return {};
}

const RegistryValue* findValue(const std::vector<RegistryValue>& values, std::string_view name) {
  for (const auto& v : values) {
    if (equalsIgnoringAsciiCase(v.name, name)) return &v;
  }
  return nullptr;
}

class ReadKey final : public RegistryKey {
 public:
  explicit ReadKey(std::vector<RegistryValue> values) : values_(std::move(values)) {}

  std::error_code queryValue(std::string_view name, uint32_t& type, uint8_t* data,
                             uint32_t& size) override {
    const RegistryValue* v = findValue(values_, name);
    if (!v) return errnoError(ENOENT);
    const std::size_t length = v->data.size();
    if (length > size) {
      size = static_cast<uint32_t>(length);
      return errnoError(EOVERFLOW);
    }
    if (length) std::memcpy(data, v->data.data(), length);
    type = v->type;
    size = static_cast<uint32_t>(length);
    return {};
  }

  std::error_code setValue(std::string_view, uint32_t, const uint8_t*, uint32_t) override {
    return errnoError(EACCES);
  }

 private:
  std::vector<RegistryValue> values_;
};

class WriteKey final : public RegistryKey {
 public:
  WriteKey(std::string file, RegistryDocument doc, std::string key, bool fileWasBad)
      : file_(std::move(file)),
        doc_(std::move(doc)),
        key_(std::move(key)),
        fileWasBad_(fileWasBad) {}

  ~WriteKey() override {
    if (set_.empty()) return;
    try {
      save();
    } catch (...) {
      // Out of memory while building the text: the old file stays, as for any failed save.
    }
  }

  std::error_code queryValue(std::string_view, uint32_t&, uint8_t*, uint32_t&) override {
    return errnoError(EACCES);
  }

  std::error_code setValue(std::string_view name, uint32_t type, const uint8_t* data,
                           uint32_t size) override {
    if (hasLineBreak(name) || (size && !data)) return errnoError(EINVAL);
    try {
      RegistryValue value{std::string(name), type, std::vector<uint8_t>(data, data + size)};
      for (auto& v : set_) {
        if (equalsIgnoringAsciiCase(v.name, name)) {
          v = std::move(value);
          return {};
        }
      }
      set_.push_back(std::move(value));
      return {};
    } catch (const std::bad_alloc&) {
      return errnoError(ENOMEM);
    }
  }

 private:
  void save() {
    RegistrySection& section = doc_.findOrAdd(key_);
    std::vector<RegistryValue> values = std::move(set_);
    for (auto& old : section.values) {
      if (!findValue(values, old.name)) values.push_back(std::move(old));
    }
    section.values = std::move(values);
    (void)replaceFile(file_, formatRegistry(doc_), fileWasBad_);  // a failed save is silent
  }

  std::string file_;
  RegistryDocument doc_;
  std::string key_;
  bool fileWasBad_;
  std::vector<RegistryValue> set_;
};

}  // namespace

LinuxRegistry::LinuxRegistry(std::string path, TextCodec& codec)
    : path_(std::move(path)), codec_(codec) {}

std::error_code LinuxRegistry::createKey(std::string_view path, Access access,
                                         std::unique_ptr<RegistryKey>& out) {
  out.reset();
  if (path.empty() || hasLineBreak(path)) return errnoError(EINVAL);
  try {
    std::string text;
    bool missing = false;
    if (const std::error_code err = readWholeFile(path_, text, missing)) return err;

    const TextToData toData = [this](std::string_view utf8) {
      // A character never takes more bytes in the code page than in UTF-8.
      std::vector<char> bytes(utf8.size() + 1);
      const std::size_t n = codec_.utf8ToCodePage(bytes.data(), bytes.size(), utf8);
      return std::vector<uint8_t>(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(n));
    };
    RegistryDocument doc;
    const bool bad = !missing && !parseRegistry(text, toData, doc);

    std::string key(kRootKey);
    key.append(path);
    if (access == Access::Read) {
      RegistrySection* section = doc.find(key);
      out = std::make_unique<ReadKey>(section ? std::move(section->values)
                                              : std::vector<RegistryValue>{});
    } else {
      out = std::make_unique<WriteKey>(path_, std::move(doc), std::move(key), bad);
    }
    return {};
  } catch (const std::bad_alloc&) {
    return errnoError(ENOMEM);
  }
}

std::string defaultRegistryPath() {
  constexpr std::string_view kTail = "/drovn/registry.reg";
  const char* config = std::getenv("XDG_CONFIG_HOME");
  if (config && *config) return std::string(config) + std::string(kTail);
  std::string home;
  if (const char* h = std::getenv("HOME"); h && *h) {
    home = h;
  } else {
    std::vector<char> buf(16384);
    passwd pw{};
    passwd* found = nullptr;
    if (::getpwuid_r(::getuid(), &pw, buf.data(), buf.size(), &found) == 0 && found &&
        found->pw_dir)
      home = found->pw_dir;
  }
  return home + "/.config" + std::string(kTail);
}

}  // namespace drovn::platform
