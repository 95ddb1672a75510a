#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/LinuxRegistry.h"

namespace drovn::platform {
namespace {

namespace fs = std::filesystem;

class TempDir {
 public:
  TempDir() {
    std::random_device rd;
    for (int attempt = 0; attempt < 100 && path_.empty(); ++attempt) {
      auto candidate = fs::temp_directory_path() / ("drovn-registry-" + std::to_string(rd()));
      if (fs::create_directory(candidate)) path_ = candidate;
    }
    if (path_.empty()) throw std::runtime_error("no temporary directory");
  }
  ~TempDir() {
    std::error_code ec;
    fs::remove_all(path_, ec);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const fs::path& path() const noexcept { return path_; }

 private:
  fs::path path_;
};

std::optional<std::string> readFile(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  if (!in) return std::nullopt;
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

void writeFile(const fs::path& p, std::string_view text) {
  std::ofstream out(p, std::ios::binary | std::ios::trunc);
  out << text;
  ASSERT_TRUE(out.good());
}

std::vector<std::string> folderEntries(const fs::path& dir) {
  std::vector<std::string> names;
  for (const auto& e : fs::directory_iterator(dir)) names.push_back(e.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

constexpr std::string_view kKey = "Software\\Drovnel";

class LinuxRegistryTest : public ::testing::Test {
 protected:
  fs::path file() const { return dir.path() / "registry.reg"; }

  std::unique_ptr<RegistryKey> open(Registry::Access access) {
    std::unique_ptr<RegistryKey> key;
    EXPECT_EQ(registry.createKey(kKey, access, key), 0u);
    EXPECT_NE(key, nullptr);
    return key;
  }

  void set(RegistryKey& key, std::string_view name, std::string_view data, uint32_t type = 1) {
    EXPECT_EQ(key.setValue(name, type, reinterpret_cast<const uint8_t*>(data.data()),
                           static_cast<uint32_t>(data.size())),
              0u);
  }

  // The value's data; nullopt when the query fails.
  std::optional<std::string> query(std::string_view name, uint32_t* typeOut = nullptr) {
    auto key = open(Registry::Access::Read);
    if (!key) return std::nullopt;
    std::vector<uint8_t> buf(8192);
    uint32_t type = 0;
    uint32_t size = static_cast<uint32_t>(buf.size());
    if (key->queryValue(name, type, buf.data(), size) != 0) return std::nullopt;
    if (typeOut) *typeOut = type;
    return std::string(buf.begin(), buf.begin() + size);
  }

  TempDir dir;
  LinuxTextCodec codec;
  LinuxRegistry registry{file().string(), codec};
};

TEST_F(LinuxRegistryTest, MissingFileIsAnEmptyKeyAndNothingIsWritten) {
  auto key = open(Registry::Access::Read);
  ASSERT_NE(key, nullptr);
  uint8_t buf[8] = {};
  uint32_t type = 77;
  uint32_t size = sizeof buf;
  EXPECT_EQ(key->queryValue("auth_user1", type, buf, size), 2u);
  EXPECT_EQ(type, 77u);
  EXPECT_EQ(size, sizeof buf);
  key.reset();
  // A write key that sets nothing writes nothing either.
  open(Registry::Access::Write).reset();
  EXPECT_TRUE(folderEntries(dir.path()).empty());
}

TEST_F(LinuxRegistryTest, SavedValuesReadBackWithTheirTypesAndBytes) {
  {
    auto key = open(Registry::Access::Write);
    set(*key, "auth_Anonymous", std::string_view("1\0", 2));
    set(*key, "auth_pwd1", "");
    set(*key, "blob", std::string_view("\x00\xff\x80", 3), 3);
    // Nothing is saved before the key is closed.
    EXPECT_FALSE(fs::exists(file()));
  }
  EXPECT_EQ(readFile(file()),
            "REGEDIT4\n"
            "\n"
            "[HKEY_LOCAL_MACHINE\\Software\\Drovnel]\n"
            "\"auth_Anonymous\"=hex(1):31,00\n"
            "\"auth_pwd1\"=hex(1):\n"
            "\"blob\"=hex(3):00,ff,80\n");
  uint32_t type = 0;
  EXPECT_EQ(query("auth_Anonymous", &type), std::string("1\0", 2));
  EXPECT_EQ(type, 1u);
  EXPECT_EQ(query("auth_pwd1"), "");
  EXPECT_EQ(query("blob", &type), std::string("\x00\xff\x80", 3));
  EXPECT_EQ(type, 3u);
  EXPECT_EQ(query("AUTH_ANONYMOUS"), std::string("1\0", 2));  // names ignore ASCII case
}

TEST_F(LinuxRegistryTest, QueryCopiesNothingWhenTheDataDoNotFit) {
  {
    auto key = open(Registry::Access::Write);
    set(*key, "v", "abcde");
  }
  auto key = open(Registry::Access::Read);
  ASSERT_NE(key, nullptr);
  std::vector<uint8_t> buf(8, 0x77);
  uint32_t type = 0;
  uint32_t size = 4;
  EXPECT_EQ(key->queryValue("v", type, buf.data(), size), 234u);
  EXPECT_EQ(size, 5u);  // the length needed
  EXPECT_EQ(buf, std::vector<uint8_t>(8, 0x77));
  size = 5;
  EXPECT_EQ(key->queryValue("v", type, buf.data(), size), 0u);
  EXPECT_EQ(size, 5u);
  EXPECT_EQ(std::string(buf.begin(), buf.begin() + 6), "abcde\x77");
}

TEST_F(LinuxRegistryTest, AccessIsChecked) {
  auto reader = open(Registry::Access::Read);
  ASSERT_NE(reader, nullptr);
  const uint8_t one = '1';
  EXPECT_EQ(reader->setValue("v", 1, &one, 1), 5u);
  auto writer = open(Registry::Access::Write);
  ASSERT_NE(writer, nullptr);
  uint8_t buf[4];
  uint32_t type = 0;
  uint32_t size = sizeof buf;
  EXPECT_EQ(writer->queryValue("v", type, buf, size), 5u);
  // A name with a line break would end the value's line in the file.
  EXPECT_EQ(writer->setValue("a\nb", 1, &one, 1), 87u);
  EXPECT_EQ(writer->setValue("a\rb", 1, &one, 1), 87u);
  EXPECT_EQ(writer->setValue("v", 1, nullptr, 1), 87u);
  std::unique_ptr<RegistryKey> none;
  EXPECT_EQ(registry.createKey("", Registry::Access::Read, none), 87u);
  EXPECT_EQ(registry.createKey("Software\nX", Registry::Access::Write, none), 87u);
  EXPECT_EQ(none, nullptr);
}

TEST_F(LinuxRegistryTest, ReadsTheStringFormInTheCodePage) {
  writeFile(file(),
            "REGEDIT4\n[HKEY_LOCAL_MACHINE\\Software\\Drovnel]\n"
            "\"auth_root1\"=\"C:\\\\My \\\"dir\\\"\"\n"
            "\"auth_user1\"=\"\u7ba1\u7406\u5458\"\n"
            "\"auth_root2\"=\"\\\\\u5b58\u50a8\u5361\\\\\\\"\u7167\u7247\\\"\"\n"
            "\"auth_user2\"=\"caf\u00e9 \U0001F600\"\n"
            "\"auth_pwd1\"=\"\"\n");
  EXPECT_EQ(query("auth_root1"), "C:\\My \"dir\"");
  EXPECT_EQ(query("auth_user1"), "\xB9\xDC\xC0\xED\xD4\xB1");
  EXPECT_EQ(query("auth_root2"), "\\\xB4\xE6\xB4\xA2\xBF\xA8\\\"\xD5\xD5\xC6\xAC\"");
  // Character by character, not byte by byte: "é" is two bytes of UTF-8 and two of the code
  // page, and a character the code page lacks is one '?'.
  EXPECT_EQ(query("auth_user2"), "caf\xA8\xA6 ?");
  EXPECT_EQ(query("auth_pwd1"), "");
}

TEST_F(LinuxRegistryTest, KeyNamesMatchWithoutCaseAndKeepTheirSpelling) {
  writeFile(file(), "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\DROVNEL]\n\"v\"=hex(1):61\n");
  EXPECT_EQ(query("v"), "a");
  {
    auto key = open(Registry::Access::Write);
    set(*key, "w", "b");
  }
  EXPECT_EQ(readFile(file()),
            "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\DROVNEL]\n\"w\"=hex(1):62\n"
            "\"v\"=hex(1):61\n");
}

TEST_F(LinuxRegistryTest, OtherKeysAndValuesSurviveASave) {
  writeFile(file(),
            "REGEDIT4\r\n"
            "; kept by hand\r\n"
            "\r\n"
            "[HKEY_LOCAL_MACHINE\\Software\\Before]\r\n"
            "\"first\"=\"one\"\r\n"
            "\r\n"
            "[HKEY_LOCAL_MACHINE\\Software\\Drovnel]\r\n"
            "\"extra\"=hex(1):78\r\n"
            "\"auth_user2\"=hex(1):6f,6c,64\r\n"
            "\"auth_user1\"=hex(1):6f,6c,64\r\n"
            "\"later\"=dword:00000001\r\n"
            "\r\n"
            "[HKEY_LOCAL_MACHINE\\Software\\After]\r\n"
            "\"last\"=hex(3):01\r\n");
  {
    auto key = open(Registry::Access::Write);
    set(*key, "auth_user1", "admin");
    set(*key, "auth_user2", "guest");
    set(*key, "AUTH_USER1", "root");  // a value set twice keeps its first place
  }
  // The values set come first, in their order; the rest keep theirs. Comments and the string
  // form are not kept: the file is written in one form.
  EXPECT_EQ(readFile(file()),
            "REGEDIT4\n"
            "\n"
            "[HKEY_LOCAL_MACHINE\\Software\\Before]\n"
            "\"first\"=hex(1):6f,6e,65\n"
            "\n"
            "[HKEY_LOCAL_MACHINE\\Software\\Drovnel]\n"
            "\"AUTH_USER1\"=hex(1):72,6f,6f,74\n"
            "\"auth_user2\"=hex(1):67,75,65,73,74\n"
            "\"extra\"=hex(1):78\n"
            "\"later\"=hex(4):01,00,00,00\n"
            "\n"
            "[HKEY_LOCAL_MACHINE\\Software\\After]\n"
            "\"last\"=hex(3):01\n");
}

TEST_F(LinuxRegistryTest, AnUnparsableFileReadsEmptyAndIsKeptAsBadWhenReplaced) {
  const std::string broken = "REGEDIT4\n[HKEY_LOCAL_MACHINE\\Software\\Drovnel]\n\"v\"=hex(1):6";
  writeFile(file(), broken);
  EXPECT_EQ(query("v"), std::nullopt);
  EXPECT_FALSE(fs::exists(dir.path() / "registry.reg.bad"));  // reading alone moves nothing
  {
    auto key = open(Registry::Access::Write);
    set(*key, "v", "a");
  }
  EXPECT_EQ(readFile(dir.path() / "registry.reg.bad"), broken);
  EXPECT_EQ(query("v"), "a");
  EXPECT_EQ(folderEntries(dir.path()),
            (std::vector<std::string>{"registry.reg", "registry.reg.bad"}));
}

TEST_F(LinuxRegistryTest, AFileThatIsNotAFileCannotBeOpened) {
  fs::create_directory(file());
  std::unique_ptr<RegistryKey> key;
  EXPECT_NE(registry.createKey(kKey, Registry::Access::Read, key), 0u);
  EXPECT_EQ(key, nullptr);
  EXPECT_NE(registry.createKey(kKey, Registry::Access::Write, key), 0u);
  EXPECT_EQ(key, nullptr);
  fs::remove(file());
  ASSERT_EQ(::mkfifo(file().c_str(), 0600), 0);  // must not block the reader
  EXPECT_EQ(registry.createKey(kKey, Registry::Access::Read, key), 5u);
}

TEST(LinuxRegistryFolder, IsCreatedOnTheFirstSaveAndPrivate) {
  TempDir dir;
  LinuxTextCodec codec;
  const fs::path file = dir.path() / "a" / "b" / "registry.reg";
  LinuxRegistry registry(file.string(), codec);
  std::unique_ptr<RegistryKey> key;
  ASSERT_EQ(registry.createKey(kKey, Registry::Access::Read, key), 0u);
  key.reset();
  EXPECT_FALSE(fs::exists(dir.path() / "a"));
  ASSERT_EQ(registry.createKey(kKey, Registry::Access::Write, key), 0u);
  const uint8_t one = '1';
  ASSERT_EQ(key->setValue("v", 1, &one, 1), 0u);
  key.reset();
  ASSERT_TRUE(fs::is_regular_file(file));
  EXPECT_EQ(fs::status(dir.path() / "a" / "b").permissions(), fs::perms::owner_all);
  EXPECT_EQ(fs::status(file).permissions(), fs::perms::owner_read | fs::perms::owner_write);
  EXPECT_EQ(folderEntries(file.parent_path()), std::vector<std::string>{"registry.reg"});
}

TEST(LinuxRegistryFolder, ThatCannotBeCreatedMakesTheSaveDoNothing) {
  TempDir dir;
  LinuxTextCodec codec;
  writeFile(dir.path() / "plain", "not a folder");
  LinuxRegistry registry((dir.path() / "plain" / "registry.reg").string(), codec);
  std::unique_ptr<RegistryKey> key;
  // There is no such file, so the key reads empty.
  ASSERT_EQ(registry.createKey(kKey, Registry::Access::Read, key), 0u);
  uint8_t buf[4];
  uint32_t type = 0;
  uint32_t size = sizeof buf;
  EXPECT_EQ(key->queryValue("v", type, buf, size), 2u);
  ASSERT_EQ(registry.createKey(kKey, Registry::Access::Write, key), 0u);
  const uint8_t one = '1';
  ASSERT_EQ(key->setValue("v", 1, &one, 1), 0u);
  key.reset();  // the save fails silently
  EXPECT_EQ(readFile(dir.path() / "plain"), "not a folder");
  EXPECT_EQ(folderEntries(dir.path()), std::vector<std::string>{"plain"});
}

constexpr std::string_view kOldFile =
    "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\Software\\Drovnel]\n\"v\"=hex(1):6f,6c,64\n";

TEST_F(LinuxRegistryTest, TheNewFileIsWrittenBesideTheOldOne) {
  writeFile(file(), kOldFile);
  // Something in the way of FILE.tmp in the same folder stops the save before the old file is
  // touched.
  fs::create_directory(dir.path() / "registry.reg.tmp");
  {
    auto key = open(Registry::Access::Write);
    set(*key, "v", "new");
  }
  EXPECT_EQ(readFile(file()), kOldFile);
  fs::remove(dir.path() / "registry.reg.tmp");

  // A temporary file left by a crash is neither read nor left behind.
  writeFile(dir.path() / "registry.reg.tmp", "torn garb");
  EXPECT_EQ(query("v"), "old");
  {
    auto key = open(Registry::Access::Write);
    set(*key, "v", "new");
  }
  EXPECT_EQ(query("v"), "new");
  EXPECT_EQ(folderEntries(dir.path()), std::vector<std::string>{"registry.reg"});
}

TEST_F(LinuxRegistryTest, AFailedWriteLeavesTheOldFileAndNoTemporary) {
  writeFile(file(), kOldFile);
  auto key = open(Registry::Access::Write);
  ASSERT_NE(key, nullptr);
  set(*key, "v", std::string(4096, 'x'));
  // Files of this process may grow to 64 bytes only: the write of the new file fails half way.
  rlimit old{};
  ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &old), 0);
  struct sigaction ignore {};
  struct sigaction before {};
  ignore.sa_handler = SIG_IGN;
  ASSERT_EQ(::sigaction(SIGXFSZ, &ignore, &before), 0);
  rlimit small = old;
  small.rlim_cur = 64;
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
  key.reset();
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &old), 0);
  ASSERT_EQ(::sigaction(SIGXFSZ, &before, nullptr), 0);

  EXPECT_EQ(readFile(file()), kOldFile);
  EXPECT_EQ(folderEntries(dir.path()), std::vector<std::string>{"registry.reg"});
}

TEST_F(LinuxRegistryTest, AReaderSeesTheOldFileOrTheNewOneNeverAPart) {
  const std::string a(3000, 'a');
  const std::string b(5000, 'b');
  {
    auto key = open(Registry::Access::Write);
    set(*key, "v", a);
  }
  std::atomic<bool> done{false};
  std::thread writer([&] {
    LinuxTextCodec writerCodec;
    LinuxRegistry writerRegistry(file().string(), writerCodec);
    for (int i = 0; i < 200; ++i) {
      std::unique_ptr<RegistryKey> key;
      if (writerRegistry.createKey(kKey, Registry::Access::Write, key) != 0) break;
      const std::string& data = i % 2 ? a : b;
      (void)key->setValue("v", 1, reinterpret_cast<const uint8_t*>(data.data()),
                          static_cast<uint32_t>(data.size()));
    }
    done = true;
  });
  int reads = 0;
  int torn = 0;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (!done && std::chrono::steady_clock::now() < deadline) {
    const std::optional<std::string> v = query("v");
    ++reads;
    if (!v || (*v != a && *v != b)) ++torn;
  }
  writer.join();
  EXPECT_GT(reads, 0);
  EXPECT_EQ(torn, 0);
  EXPECT_EQ(query("v"), a);
  EXPECT_EQ(folderEntries(dir.path()), std::vector<std::string>{"registry.reg"});
}

// The environment of the process, put back after each case.
class DefaultRegistryPath : public ::testing::Test {
 protected:
  void SetUp() override {
    save("XDG_CONFIG_HOME", xdg_);
    save("HOME", home_);
  }
  void TearDown() override {
    restore("XDG_CONFIG_HOME", xdg_);
    restore("HOME", home_);
  }

 private:
  static void save(const char* name, std::optional<std::string>& slot) {
    if (const char* v = std::getenv(name)) slot = v;
  }
  static void restore(const char* name, const std::optional<std::string>& slot) {
    if (slot) {
      ::setenv(name, slot->c_str(), 1);
    } else {
      ::unsetenv(name);
    }
  }
  std::optional<std::string> xdg_;
  std::optional<std::string> home_;
};

TEST_F(DefaultRegistryPath, FollowsXdgConfigHomeThenHome) {
  ::setenv("HOME", "/home/op", 1);
  ::setenv("XDG_CONFIG_HOME", "/cfg", 1);
  EXPECT_EQ(defaultRegistryPath(), "/cfg/drovn/registry.reg");
  ::setenv("XDG_CONFIG_HOME", "", 1);
  EXPECT_EQ(defaultRegistryPath(), "/home/op/.config/drovn/registry.reg");
  ::unsetenv("XDG_CONFIG_HOME");
  EXPECT_EQ(defaultRegistryPath(), "/home/op/.config/drovn/registry.reg");
  ::unsetenv("HOME");
  const std::string fallback = defaultRegistryPath();
  EXPECT_TRUE(fallback.ends_with("/.config/drovn/registry.reg")) << fallback;
}

}  // namespace
}  // namespace drovn::platform
