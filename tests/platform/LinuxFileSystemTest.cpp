#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <future>
#include <map>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "platform/ErrorCodes.h"
#include "platform/LinuxFileSystem.h"
#include "platform/Utf8.h"

namespace drovn::platform {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// The account root of most tests: the folder Card of the store.
constexpr const char16_t* kRoot = u"\\Card";

std::string readAll(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

void writeAll(const fs::path& p, std::string_view text) {
  std::ofstream out(p, std::ios::binary | std::ios::trunc);
  out << text;
}

std::string utf8(std::u16string_view s) {
  return utf16ToUtf8(s);
}

// Parameters print as their names.
template <typename Case>
void printCase(const Case& c, std::ostream* os) {
  *os << c.name;
}

fs::path makeBase() {
  std::random_device rd;
  for (int attempt = 0; attempt < 100; ++attempt) {
    auto candidate = fs::temp_directory_path() / ("drovn-files-" + std::to_string(rd()));
    if (fs::create_directory(candidate)) return candidate;
  }
  throw std::runtime_error("no temporary directory");
}

// base/                      secret.txt, outside/secret.txt: beside the store
// base/store/                the store
//   Other/secret.txt         a sibling of the account root
//   Card/                    the account root, with links of every kind
//   RootOut, RootOutRel      links leading out of the store (absolute, relative)
//   RootIn, RootInAbs        links to Card (relative, absolute)
class LinuxFileSystemTest : public ::testing::Test {
 protected:
  void SetUp() override {
    base_ = makeBase();
    store_ = base_ / "store";
    card_ = store_ / "Card";
    fs::create_directories(card_ / "sub");
    fs::create_directories(card_ / "empty");
    fs::create_directories(store_ / "Other");
    fs::create_directories(base_ / "outside");
    writeAll(base_ / "secret.txt", "beside the store");
    writeAll(base_ / "outside" / "secret.txt", "outside the store");
    writeAll(store_ / "Other" / "secret.txt", "in a sibling");
    writeAll(card_ / "file.txt", "hello");
    writeAll(card_ / "sub" / "inner.txt", "inner");

    fs::create_symlink(store_ / "Other" / "secret.txt", card_ / "linkAbs");
    fs::create_symlink("../Other/secret.txt", card_ / "linkRel");
    fs::create_symlink("../../secret.txt", card_ / "linkUp");
    fs::create_symlink("../Other", card_ / "linkDirRel");
    fs::create_symlink(base_ / "outside", card_ / "linkDirAbs");
    fs::create_symlink("../..", card_ / "linkDirUp");
    fs::create_symlink("sub/inner.txt", card_ / "inLink");
    fs::create_symlink("sub", card_ / "inDir");
    fs::create_symlink("missing.txt", card_ / "dangling");
    fs::create_symlink("../file.txt", card_ / "sub" / "upLink");
    fs::create_symlink(base_ / "outside", store_ / "RootOut");
    fs::create_symlink("../outside", store_ / "RootOutRel");
    fs::create_symlink("Card", store_ / "RootIn");
    fs::create_symlink(card_, store_ / "RootInAbs");

    files_ = std::make_unique<LinuxFileSystem>(store_.string());
  }

  void TearDown() override {
    files_.reset();
    std::error_code ec;
    fs::remove_all(base_, ec);
  }

  LinuxFileSystem& files() { return *files_; }

  // Everything outside the account root is as SetUp left it.
  void expectOutsideUntouched() {
    EXPECT_EQ(readAll(base_ / "secret.txt"), "beside the store");
    EXPECT_EQ(readAll(base_ / "outside" / "secret.txt"), "outside the store");
    EXPECT_EQ(readAll(store_ / "Other" / "secret.txt"), "in a sibling");
    EXPECT_EQ(entries(base_), (std::vector<std::string>{"outside", "secret.txt", "store"}));
    EXPECT_EQ(entries(base_ / "outside"), std::vector<std::string>{"secret.txt"});
    EXPECT_EQ(entries(store_ / "Other"), std::vector<std::string>{"secret.txt"});
    EXPECT_EQ(entries(store_), (std::vector<std::string>{"Card", "Other", "RootIn", "RootInAbs",
                                                         "RootOut", "RootOutRel"}));
  }

  static std::vector<std::string> entries(const fs::path& dir) {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(dir)) names.push_back(e.path().filename());
    std::sort(names.begin(), names.end());
    return names;
  }

  // Every entry of a search, by UTF-8 name; err gets findFirst's result.
  std::map<std::string, FindData> list(const char16_t* root, const char16_t* pattern,
                                       uint32_t& err, FindDetail detail = FindDetail::Full) {
    std::map<std::string, FindData> found;
    std::unique_ptr<DirSearch> search;
    FindData entry;
    err = files().findFirst(root, pattern, search, entry, detail);
    if (err != 0) return found;
    for (int i = 0; i < 10000; ++i) {
      found[utf8(entry.name.view())] = entry;
      if (!search->next(entry)) break;
    }
    return found;
  }

  std::string readThrough(const char16_t* root, const char16_t* path) {
    std::unique_ptr<FileHandle> h;
    if (files().openFile(root, path, OpenMode::ReadExisting, h) != 0) return "<not opened>";
    std::string all;
    char buf[64];
    for (std::size_t n = h->read(buf, sizeof buf); n > 0; n = h->read(buf, sizeof buf)) {
      all.append(buf, n);
    }
    return all;
  }

  fs::path base_, store_, card_;
  std::unique_ptr<LinuxFileSystem> files_;
};

// ---- confinement ----

struct Escape {
  const char* name;
  const char16_t* path;
};

void PrintTo(const Escape& c, std::ostream* os) {
  printCase(c, os);
}

// Paths that leave the account root before or at their last component, or are not under it.
const Escape kEscapes[] = {
    {"DotDotToBesideStore", u"\\Card\\..\\..\\secret.txt"},
    {"DotDotToSibling", u"\\Card\\..\\Other\\secret.txt"},
    {"DotDotAfterSubdirectory", u"\\Card\\sub\\..\\..\\Other\\secret.txt"},
    {"DotCountedAsLevel", u"\\Card\\.\\..\\Other\\secret.txt"},
    {"SlashForm", u"/Card/../Other/secret.txt"},
    {"MixedSeparators", u"\\Card/..\\Other/secret.txt"},
    {"DoubledSeparators", u"\\\\Card\\\\..\\\\Other\\secret.txt"},
    {"SiblingItself", u"\\Card\\..\\Other"},
    {"ParentOfRoot", u"\\Card\\.."},
    {"ParentOfRootThroughSub", u"\\Card\\sub\\..\\.."},
    {"RelativeDirLinkToSibling", u"\\Card\\linkDirRel\\secret.txt"},
    {"AbsoluteDirLinkOutOfStore", u"\\Card\\linkDirAbs\\secret.txt"},
    {"DirLinkAboveStore", u"\\Card\\linkDirUp\\secret.txt"},
    {"NotUnderRoot", u"\\Other\\secret.txt"},
    {"RootNameWithSuffix", u"\\Cardx\\file.txt"},
    {"RootNameInOtherCase", u"\\CARD\\file.txt"},
    {"StoreItself", u"\\"},
};

class Confinement : public LinuxFileSystemTest, public ::testing::WithParamInterface<Escape> {};

TEST_P(Confinement, EveryCallIsRefusedAndNothingOutsideChanges) {
  const char16_t* path = GetParam().path;
  uint32_t attributes = 0xdead;
  FindData found;
  found.size = 77;
  EXPECT_EQ(files().attributes(kRoot, path, attributes), kErrorAccessDenied);
  EXPECT_EQ(attributes, 0xdeadu);
  EXPECT_EQ(files().lookup(kRoot, path, found), kErrorAccessDenied);
  EXPECT_EQ(found.size, 77u);
  for (OpenMode mode : {OpenMode::ReadExisting, OpenMode::WriteNew, OpenMode::AppendOrCreate}) {
    std::unique_ptr<FileHandle> h;
    EXPECT_EQ(files().openFile(kRoot, path, mode, h), kErrorAccessDenied);
    EXPECT_EQ(h, nullptr);
  }
  EXPECT_EQ(files().deleteFile(kRoot, path), kErrorAccessDenied);
  EXPECT_EQ(files().removeDirectory(kRoot, path), kErrorAccessDenied);
  EXPECT_EQ(files().createDirectory(kRoot, path), kErrorAccessDenied);
  EXPECT_EQ(files().moveFile(kRoot, path, u"\\Card\\moved"), kErrorAccessDenied);
  EXPECT_EQ(files().moveFile(kRoot, u"\\Card\\file.txt", path), kErrorAccessDenied);
  std::u16string pattern(path);
  pattern += u"\\*.*";
  uint32_t err = 0;
  EXPECT_TRUE(list(kRoot, pattern.c_str(), err).empty());
  EXPECT_EQ(err, kErrorAccessDenied);

  expectOutsideUntouched();
  EXPECT_EQ(readAll(card_ / "file.txt"), "hello");
  EXPECT_FALSE(fs::exists(card_ / "moved"));
}

INSTANTIATE_TEST_SUITE_P(Escapes, Confinement, ::testing::ValuesIn(kEscapes),
                         [](const ::testing::TestParamInfo<Escape>& p) { return p.param.name; });

struct LeadingLink {
  const char* name;
  const char16_t* path;
  const char* disk;
};

void PrintTo(const LeadingLink& c, std::ostream* os) {
  printCase(c, os);
}

const LeadingLink kLeadingLinks[] = {
    {"AbsoluteToSibling", u"\\Card\\linkAbs", "linkAbs"},
    {"RelativeToSibling", u"\\Card\\linkRel", "linkRel"},
    {"RelativeAboveStore", u"\\Card\\linkUp", "linkUp"},
    {"DirectoryOutOfStore", u"\\Card\\linkDirAbs", "linkDirAbs"},
};

class LinkOutOfRoot : public LinuxFileSystemTest,
                      public ::testing::WithParamInterface<LeadingLink> {};

// A link inside the root that names a place outside it cannot be followed. The calls that act
// on a name act on the link itself, which lies inside the root, and never on its target.
TEST_P(LinkOutOfRoot, IsNeverFollowedAndNameCallsTouchOnlyTheLink) {
  const char16_t* path = GetParam().path;
  uint32_t attributes = 0;
  FindData found;
  EXPECT_EQ(files().attributes(kRoot, path, attributes), kErrorAccessDenied);
  EXPECT_EQ(files().lookup(kRoot, path, found), kErrorAccessDenied);
  for (OpenMode mode : {OpenMode::ReadExisting, OpenMode::WriteNew, OpenMode::AppendOrCreate}) {
    std::unique_ptr<FileHandle> h;
    EXPECT_EQ(files().openFile(kRoot, path, mode, h), kErrorAccessDenied);
  }
  EXPECT_EQ(files().createDirectory(kRoot, path), kErrorAlreadyExists);
  EXPECT_EQ(files().removeDirectory(kRoot, path), kErrorPathNotFound);  // a link, not a directory
  EXPECT_EQ(files().moveFile(kRoot, u"\\Card\\file.txt", path), kErrorAlreadyExists);
  expectOutsideUntouched();

  EXPECT_EQ(files().moveFile(kRoot, path, u"\\Card\\renamed"), 0u);
  EXPECT_TRUE(fs::is_symlink(card_ / "renamed"));
  EXPECT_EQ(files().attributes(kRoot, u"\\Card\\renamed", attributes), kErrorAccessDenied);
  EXPECT_EQ(files().deleteFile(kRoot, u"\\Card\\renamed"), 0u);
  EXPECT_FALSE(fs::is_symlink(card_ / "renamed"));
  expectOutsideUntouched();
}

INSTANTIATE_TEST_SUITE_P(Links, LinkOutOfRoot, ::testing::ValuesIn(kLeadingLinks),
                         [](const ::testing::TestParamInfo<LeadingLink>& p) {
                           return p.param.name;
                         });

TEST_F(LinuxFileSystemTest, RootThatIsALinkOutOfTheStoreIsRefused) {
  for (const char16_t* root : {u"\\RootOut", u"\\RootOutRel"}) {
    const std::u16string rootText(root);
    const std::u16string secret = rootText + u"\\secret.txt";
    const std::u16string fresh = rootText + u"\\fresh";
    uint32_t attributes = 0;
    EXPECT_EQ(files().attributes(root, root, attributes), kErrorAccessDenied);
    EXPECT_EQ(files().attributes(root, secret.c_str(), attributes), kErrorAccessDenied);
    std::unique_ptr<FileHandle> h;
    EXPECT_EQ(files().openFile(root, secret.c_str(), OpenMode::WriteNew, h), kErrorAccessDenied);
    EXPECT_EQ(files().openFile(root, fresh.c_str(), OpenMode::AppendOrCreate, h),
              kErrorAccessDenied);
    EXPECT_EQ(files().deleteFile(root, secret.c_str()), kErrorAccessDenied);
    EXPECT_EQ(files().createDirectory(root, fresh.c_str()), kErrorAccessDenied);
    EXPECT_EQ(files().moveFile(root, secret.c_str(), fresh.c_str()), kErrorAccessDenied);
    uint32_t err = 0;
    EXPECT_TRUE(list(root, (rootText + u"\\*.*").c_str(), err).empty());
    EXPECT_EQ(err, kErrorAccessDenied);
  }
  expectOutsideUntouched();
}

TEST_F(LinuxFileSystemTest, RootThatIsARelativeLinkInsideTheStoreWorks) {
  EXPECT_EQ(readThrough(u"\\RootIn", u"\\RootIn\\file.txt"), "hello");
  // An absolute link never resolves beneath anything, even when it names a place inside.
  uint32_t attributes = 0;
  EXPECT_EQ(files().attributes(u"\\RootInAbs", u"\\RootInAbs\\file.txt", attributes),
            kErrorAccessDenied);
}

struct Inside {
  const char* name;
  const char16_t* path;
  const char* content;
};

void PrintTo(const Inside& c, std::ostream* os) {
  printCase(c, os);
}

const Inside kInside[] = {
    {"Plain", u"\\Card\\file.txt", "hello"},
    {"Dot", u"\\Card\\.\\file.txt", "hello"},
    {"DotDotBackInside", u"\\Card\\sub\\..\\file.txt", "hello"},
    {"DotThenDotDot", u"\\Card\\sub\\.\\..\\sub\\inner.txt", "inner"},
    {"SlashForm", u"/Card/sub/inner.txt", "inner"},
    {"TrailingSeparator", u"\\Card\\file.txt\\", "hello"},
    {"LinkInside", u"\\Card\\inLink", "inner"},
    {"LinkClimbingToRoot", u"\\Card\\sub\\upLink", "hello"},
    {"DirectoryLinkInside", u"\\Card\\inDir\\inner.txt", "inner"},
};

class StaysInside : public LinuxFileSystemTest, public ::testing::WithParamInterface<Inside> {};

TEST_P(StaysInside, Works) {
  uint32_t attributes = 0;
  EXPECT_EQ(files().attributes(kRoot, GetParam().path, attributes), 0u);
  EXPECT_EQ(attributes, kAttributeNormal);
  FindData found;
  EXPECT_EQ(files().lookup(kRoot, GetParam().path, found), 0u);
  EXPECT_EQ(found.size, std::string_view(GetParam().content).size());
  EXPECT_EQ(readThrough(kRoot, GetParam().path), GetParam().content);
}

INSTANTIATE_TEST_SUITE_P(Paths, StaysInside, ::testing::ValuesIn(kInside),
                         [](const ::testing::TestParamInfo<Inside>& p) { return p.param.name; });

TEST_F(LinuxFileSystemTest, DirectoriesAndTheRootItself) {
  uint32_t attributes = 0;
  for (const char16_t* path : {u"\\Card", u"\\Card\\", u"\\Card\\sub", u"\\Card\\sub\\.",
                               u"\\Card\\sub\\..", u"\\Card\\inDir"}) {
    attributes = 0;
    EXPECT_EQ(files().attributes(kRoot, path, attributes), 0u) << utf8(path);
    EXPECT_EQ(attributes, kAttributeDirectory) << utf8(path);
  }
  // The store as the account root, in both spellings.
  for (const char16_t* root : {u"", u"\\"}) {
    EXPECT_EQ(files().attributes(root, u"\\", attributes), 0u);
    EXPECT_EQ(attributes, kAttributeDirectory);
    EXPECT_EQ(files().attributes(root, u"\\Card\\file.txt", attributes), 0u);
    EXPECT_EQ(attributes, kAttributeNormal);
    EXPECT_EQ(files().attributes(root, u"\\..\\secret.txt", attributes), kErrorAccessDenied);
  }
  FindData found;
  EXPECT_EQ(files().lookup(kRoot, kRoot, found), 0u);
  EXPECT_EQ(utf8(found.name.view()), "Card");
  EXPECT_EQ(found.attributes, kAttributeDirectory);
  EXPECT_EQ(found.size, 0u);

  // A directory made through ".." that stays inside lands inside.
  EXPECT_EQ(files().createDirectory(kRoot, u"\\Card\\sub\\..\\made"), 0u);
  EXPECT_TRUE(fs::is_directory(card_ / "made"));
  // The root itself and "." or ".." as the last name are never the object of a name call.
  for (const char16_t* path : {u"\\Card", u"\\Card\\sub\\.", u"\\Card\\sub\\..\\sub\\.."}) {
    EXPECT_EQ(files().removeDirectory(kRoot, path), kErrorAccessDenied);
    EXPECT_EQ(files().deleteFile(kRoot, path), kErrorAccessDenied);
    EXPECT_EQ(files().createDirectory(kRoot, path), kErrorAccessDenied);
    EXPECT_EQ(files().moveFile(kRoot, path, u"\\Card\\elsewhere"), kErrorAccessDenied);
  }
  EXPECT_TRUE(fs::is_directory(card_ / "sub"));
}

// ---- error numbers ----

enum class Call { Attributes, Read, Write, Delete, MakeDir, RemoveDir, MoveFrom, MoveTo, Find };

struct ErrorCase {
  const char* name;
  Call call;
  const char16_t* path;
  uint32_t expected;
};

void PrintTo(const ErrorCase& c, std::ostream* os) {
  printCase(c, os);
}

const ErrorCase kErrors[] = {
    {"AttributesOfMissingFile", Call::Attributes, u"\\Card\\nope", kErrorFileNotFound},
    {"AttributesInMissingDir", Call::Attributes, u"\\Card\\nodir\\x", kErrorPathNotFound},
    {"AttributesBelowAFile", Call::Attributes, u"\\Card\\file.txt\\x", kErrorPathNotFound},
    {"AttributesOfDanglingLink", Call::Attributes, u"\\Card\\dangling", kErrorFileNotFound},
    {"AttributesOfLongName", Call::Attributes,
     u"\\Card\\"
     u"aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa"
     u"aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa"
     u"aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa",
     kErrorFilenameTooLong},
    {"ReadMissingFile", Call::Read, u"\\Card\\nope", kErrorFileNotFound},
    {"ReadInMissingDir", Call::Read, u"\\Card\\nodir\\x", kErrorPathNotFound},
    {"ReadDirectory", Call::Read, u"\\Card\\sub", kErrorAccessDenied},
    {"WriteDirectory", Call::Write, u"\\Card\\sub", kErrorAccessDenied},
    {"WriteInMissingDir", Call::Write, u"\\Card\\nodir\\x", kErrorPathNotFound},
    {"DeleteMissingFile", Call::Delete, u"\\Card\\nope", kErrorFileNotFound},
    {"DeleteInMissingDir", Call::Delete, u"\\Card\\nodir\\x", kErrorPathNotFound},
    {"DeleteDirectory", Call::Delete, u"\\Card\\empty", kErrorAccessDenied},
    {"MakeExistingDir", Call::MakeDir, u"\\Card\\sub", kErrorAlreadyExists},
    {"MakeDirOverFile", Call::MakeDir, u"\\Card\\file.txt", kErrorAlreadyExists},
    {"MakeDirInMissingDir", Call::MakeDir, u"\\Card\\nodir\\x", kErrorPathNotFound},
    {"RemoveNonEmptyDir", Call::RemoveDir, u"\\Card\\sub", kErrorDirNotEmpty},
    {"RemoveMissingDir", Call::RemoveDir, u"\\Card\\nope", kErrorFileNotFound},
    {"RemoveFileAsDir", Call::RemoveDir, u"\\Card\\file.txt", kErrorPathNotFound},
    {"MoveOntoExisting", Call::MoveTo, u"\\Card\\sub\\inner.txt", kErrorAlreadyExists},
    {"MoveOntoExistingDir", Call::MoveTo, u"\\Card\\empty", kErrorAlreadyExists},
    {"MoveOntoItself", Call::MoveTo, u"\\Card\\file.txt", kErrorAlreadyExists},
    {"MoveIntoMissingDir", Call::MoveTo, u"\\Card\\nodir\\x", kErrorPathNotFound},
    {"MoveMissingSource", Call::MoveFrom, u"\\Card\\nope", kErrorFileNotFound},
    {"MoveDirIntoItself", Call::MoveFrom, u"\\Card\\sub", kErrorInvalidParameter},
    {"FindInMissingDir", Call::Find, u"\\Card\\nodir\\*.*", kErrorPathNotFound},
    {"FindWithOtherPattern", Call::Find, u"\\Card\\*.txt", kErrorInvalidParameter},
    {"FindWithoutPattern", Call::Find, u"\\Card", kErrorInvalidParameter},
};

class ErrorNumbers : public LinuxFileSystemTest, public ::testing::WithParamInterface<ErrorCase> {};

TEST_P(ErrorNumbers, AreTheDevices) {
  const ErrorCase& c = GetParam();
  uint32_t attributes = 0;
  std::unique_ptr<FileHandle> h;
  std::unique_ptr<DirSearch> search;
  FindData found;
  uint32_t got = 0;
  switch (c.call) {
    case Call::Attributes:
      got = files().attributes(kRoot, c.path, attributes);
      break;
    case Call::Read:
      got = files().openFile(kRoot, c.path, OpenMode::ReadExisting, h);
      break;
    case Call::Write:
      got = files().openFile(kRoot, c.path, OpenMode::WriteNew, h);
      break;
    case Call::Delete:
      got = files().deleteFile(kRoot, c.path);
      break;
    case Call::MakeDir:
      got = files().createDirectory(kRoot, c.path);
      break;
    case Call::RemoveDir:
      got = files().removeDirectory(kRoot, c.path);
      break;
    case Call::MoveFrom:
      got = files().moveFile(kRoot, c.path, u"\\Card\\sub\\deeper");
      break;
    case Call::MoveTo:
      got = files().moveFile(kRoot, u"\\Card\\file.txt", c.path);
      break;
    case Call::Find:
      got = files().findFirst(kRoot, c.path, search, found, FindDetail::Full);
      break;
  }
  EXPECT_EQ(got, c.expected);
  // A refused call leaves the tree as it was.
  EXPECT_EQ(readAll(card_ / "file.txt"), "hello");
  EXPECT_EQ(readAll(card_ / "sub" / "inner.txt"), "inner");
  EXPECT_TRUE(fs::is_directory(card_ / "empty"));
  EXPECT_FALSE(fs::exists(card_ / "sub" / "deeper"));
}

INSTANTIATE_TEST_SUITE_P(Cases, ErrorNumbers, ::testing::ValuesIn(kErrors),
                         [](const ::testing::TestParamInfo<ErrorCase>& p) { return p.param.name; });

TEST_F(LinuxFileSystemTest, RenameAndDirectoryCallsThatSucceed) {
  EXPECT_EQ(files().moveFile(kRoot, u"\\Card\\file.txt", u"\\Card\\sub\\moved.txt"), 0u);
  EXPECT_EQ(readAll(card_ / "sub" / "moved.txt"), "hello");
  EXPECT_FALSE(fs::exists(card_ / "file.txt"));
  EXPECT_EQ(files().moveFile(kRoot, u"\\Card\\sub", u"\\Card\\empty\\sub2"), 0u);
  EXPECT_EQ(readAll(card_ / "empty" / "sub2" / "moved.txt"), "hello");
  EXPECT_EQ(files().removeDirectory(kRoot, u"\\Card\\empty"), kErrorDirNotEmpty);
  EXPECT_EQ(files().deleteFile(kRoot, u"\\Card\\empty\\sub2\\moved.txt"), 0u);
  EXPECT_EQ(files().deleteFile(kRoot, u"\\Card\\empty\\sub2\\inner.txt"), 0u);
  EXPECT_EQ(files().deleteFile(kRoot, u"\\Card\\empty\\sub2\\upLink"), 0u);
  EXPECT_EQ(files().removeDirectory(kRoot, u"\\Card\\empty\\sub2"), 0u);
  EXPECT_EQ(files().removeDirectory(kRoot, u"\\Card\\empty"), 0u);
  EXPECT_FALSE(fs::exists(card_ / "empty"));
  EXPECT_EQ(files().createDirectory(kRoot, u"\\Card\\empty"), 0u);
  EXPECT_EQ(files().createDirectory(kRoot, u"\\Card\\empty"), kErrorAlreadyExists);
}

TEST_F(LinuxFileSystemTest, FullDiskGives112) {
  // A private mount namespace with a 64 KiB tmpfs, in a child process so nothing else sees it.
  constexpr int kNoMount = 200;
  const fs::path small = base_ / "small";
  fs::create_directory(small);
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    int code = kNoMount;
    if ((::unshare(CLONE_NEWNS) == 0 || ::unshare(CLONE_NEWUSER | CLONE_NEWNS) == 0) &&
        ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
        ::mount("tmpfs", small.c_str(), "tmpfs", 0, "size=64k") == 0) {
      try {
        LinuxFileSystem tiny(small.string());
        std::unique_ptr<FileHandle> h;
        code = static_cast<int>(tiny.openFile(u"\\", u"\\full.bin", OpenMode::WriteNew, h));
        if (code == 0) {
          const std::vector<char> block(1 << 20, 'x');
          h->write(block.data(), block.size());
          code = 1;  // a megabyte went into 64 KiB without complaint
        }
      } catch (const PlatformError& e) {
        code = static_cast<int>(e.code & 0xff);
      } catch (...) {
        code = 2;
      }
    }
    ::_exit(code);
  }
  int status = 0;
  pid_t done = 0;
  for (int i = 0; i < 1000 && done == 0; ++i) {
    done = ::waitpid(child, &status, WNOHANG);
    if (done == 0) std::this_thread::sleep_for(10ms);
  }
  if (done == 0) {
    ::kill(child, SIGKILL);
    ::waitpid(child, &status, 0);
    FAIL() << "the child did not end";
  }
  ASSERT_TRUE(WIFEXITED(status));
  if (WEXITSTATUS(status) == kNoMount) GTEST_SKIP() << "no private mount namespace here";
  EXPECT_EQ(static_cast<uint32_t>(WEXITSTATUS(status)), kErrorDiskFull);
}

// ---- open modes and handles ----

TEST_F(LinuxFileSystemTest, OpenModes) {
  std::unique_ptr<FileHandle> h;
  // WriteNew creates, and empties an existing file.
  ASSERT_EQ(files().openFile(kRoot, u"\\Card\\new.bin", OpenMode::WriteNew, h), 0u);
  EXPECT_EQ(h->write("abc", 3), 3u);
  h.reset();
  EXPECT_EQ(readAll(card_ / "new.bin"), "abc");
  ASSERT_EQ(files().openFile(kRoot, u"\\Card\\file.txt", OpenMode::WriteNew, h), 0u);
  EXPECT_EQ(h->size(), 0u);
  h.reset();
  EXPECT_EQ(readAll(card_ / "file.txt"), "");

  // AppendOrCreate creates, or keeps the content and writes at the end.
  ASSERT_EQ(files().openFile(kRoot, u"\\Card\\log.txt", OpenMode::AppendOrCreate, h), 0u);
  EXPECT_EQ(h->write("one", 3), 3u);
  h.reset();
  ASSERT_EQ(files().openFile(kRoot, u"\\Card\\log.txt", OpenMode::AppendOrCreate, h), 0u);
  EXPECT_EQ(h->write("two", 3), 3u);
  h.reset();
  EXPECT_EQ(readAll(card_ / "log.txt"), "onetwo");

  // A resumed upload: seek, cut there, continue.
  ASSERT_EQ(files().openFile(kRoot, u"\\Card\\log.txt", OpenMode::AppendOrCreate, h), 0u);
  h->seek(2);
  h->truncateAt(2);
  EXPECT_EQ(h->size(), 2u);
  EXPECT_EQ(h->write("NE", 2), 2u);
  h->seek(-1);  // refused without effect: the next write continues where the last ended
  h->truncateAt(-1);
  EXPECT_EQ(h->write("!", 1), 1u);
  // Extending by truncation fills with zeros.
  h->truncateAt(8);
  EXPECT_EQ(h->write("#", 1), 1u);
  h.reset();
  EXPECT_EQ(readAll(card_ / "log.txt"), std::string("onNE!\0\0\0#", 9));

  // A read handle reads from a position and says 0 at the end; writing through it fails.
  ASSERT_EQ(files().openFile(kRoot, u"\\Card\\sub\\inner.txt", OpenMode::ReadExisting, h), 0u);
  char buf[16] = {};
  h->seek(2);
  EXPECT_EQ(h->read(buf, sizeof buf), 3u);
  EXPECT_EQ(std::string(buf, 3), "ner");
  EXPECT_EQ(h->read(buf, sizeof buf), 0u);
  h->seek(100);
  EXPECT_EQ(h->read(buf, sizeof buf), 0u);
  try {
    h->write("x", 1);
    ADD_FAILURE() << "a read handle wrote";
  } catch (const PlatformError& e) {
    EXPECT_EQ(e.code, kErrorInvalidHandle);
  }
}

TEST_F(LinuxFileSystemTest, LargeWritesGoOutWhole) {
  std::unique_ptr<FileHandle> h;
  ASSERT_EQ(files().openFile(kRoot, u"\\Card\\big.bin", OpenMode::WriteNew, h), 0u);
  std::vector<char> block(3 * 458752 + 17);
  for (std::size_t i = 0; i < block.size(); ++i) block[i] = static_cast<char>(i * 7);
  EXPECT_EQ(h->write(block.data(), block.size()), block.size());
  h.reset();
  ASSERT_EQ(files().openFile(kRoot, u"\\Card\\big.bin", OpenMode::ReadExisting, h), 0u);
  std::vector<char> back(block.size() + 10);
  std::size_t got = 0;
  for (int i = 0; i < 100; ++i) {
    const std::size_t n = h->read(back.data() + got, back.size() - got);
    if (n == 0) break;
    got += n;
  }
  back.resize(got);
  EXPECT_EQ(back, block);
}

TEST_F(LinuxFileSystemTest, SparseFileOfFiveGibibytes) {
  constexpr uint64_t kSize = 5ull << 30;
  writeAll(card_ / "huge.bin", "");
  fs::resize_file(card_ / "huge.bin", kSize);
  FindData found;
  ASSERT_EQ(files().lookup(kRoot, u"\\Card\\huge.bin", found), 0u);
  EXPECT_EQ(found.size, kSize);
  EXPECT_EQ(found.attributes, kAttributeNormal);
  EXPECT_EQ(utf8(found.name.view()), "huge.bin");
  uint32_t err = 0;
  EXPECT_EQ(list(kRoot, u"\\Card\\*.*", err)["huge.bin"].size, kSize);

  std::unique_ptr<FileHandle> h;
  ASSERT_EQ(files().openFile(kRoot, u"\\Card\\huge.bin", OpenMode::AppendOrCreate, h), 0u);
  EXPECT_EQ(h->size(), kSize);
  EXPECT_EQ(h->write("end", 3), 3u);  // positioned at the end, past 4 GiB
  h->truncateAt(static_cast<int64_t>(kSize) + 1);
  h.reset();
  ASSERT_EQ(files().openFile(kRoot, u"\\Card\\huge.bin", OpenMode::ReadExisting, h), 0u);
  EXPECT_EQ(h->size(), kSize + 1);
  h->seek(static_cast<int64_t>(kSize) - 1);
  char buf[8] = {};
  EXPECT_EQ(h->read(buf, sizeof buf), 2u);
  EXPECT_EQ(std::string(buf, 2), std::string("\0e", 2));
}

TEST_F(LinuxFileSystemTest, LastWriteTimeIsUtcCalendarFields) {
  const timespec times[2] = {{1614834367, 0}, {1614834367, 0}};  // 2021-03-04 05:06:07 UTC
  ASSERT_EQ(::utimensat(AT_FDCWD, (card_ / "file.txt").c_str(), times, 0), 0);
  FindData found;
  ASSERT_EQ(files().lookup(kRoot, u"\\Card\\file.txt", found), 0u);
  const CalendarTime& t = found.lastWrite;
  EXPECT_EQ((std::vector<int>{t.year, t.month, t.day, t.hour, t.minute, t.second}),
            (std::vector<int>{2021, 3, 4, 5, 6, 7}));
  uint32_t err = 0;
  EXPECT_EQ(list(kRoot, u"\\Card\\*", err)["file.txt"].lastWrite.hour, 5);
}

TEST_F(LinuxFileSystemTest, FifoIsRefusedAtOnce) {
  const fs::path fifo = card_ / "pipe";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  uint32_t attributes = 0;
  EXPECT_EQ(files().attributes(kRoot, u"\\Card\\pipe", attributes), 0u);
  EXPECT_EQ(attributes, kAttributeNormal);
  for (OpenMode mode : {OpenMode::ReadExisting, OpenMode::WriteNew, OpenMode::AppendOrCreate}) {
    std::promise<uint32_t> result;
    auto done = result.get_future();
    std::thread opener([&] {
      std::unique_ptr<FileHandle> h;
      result.set_value(files().openFile(kRoot, u"\\Card\\pipe", mode, h));
    });
    const bool finished = done.wait_for(5s) == std::future_status::ready;
    if (!finished) {
      // Opening a FIFO for reading and writing never waits, and releases a waiting opener.
      const int unblock = ::open(fifo.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
      opener.join();
      if (unblock >= 0) ::close(unblock);
      FAIL() << "the open waited for the other end";
    }
    opener.join();
    EXPECT_EQ(done.get(), kErrorAccessDenied);
  }
  EXPECT_TRUE(fs::is_fifo(fifo));
}

// ---- sharing ----

TEST_F(LinuxFileSystemTest, AWriterSharesWithNobody) {
  for (OpenMode writerMode : {OpenMode::WriteNew, OpenMode::AppendOrCreate}) {
    std::unique_ptr<FileHandle> writer;
    ASSERT_EQ(files().openFile(kRoot, u"\\Card\\sub\\inner.txt", writerMode, writer), 0u);
    for (OpenMode other : {OpenMode::WriteNew, OpenMode::ReadExisting, OpenMode::AppendOrCreate}) {
      std::unique_ptr<FileHandle> h;
      EXPECT_EQ(files().openFile(kRoot, u"\\Card\\sub\\inner.txt", other, h),
                kErrorSharingViolation);
      EXPECT_EQ(h, nullptr);
      // The same file by another name is the same file.
      EXPECT_EQ(files().openFile(kRoot, u"\\Card\\inLink", other, h), kErrorSharingViolation);
    }
    // Neither deleted nor renamed while open, as on the device.
    EXPECT_EQ(files().deleteFile(kRoot, u"\\Card\\sub\\inner.txt"), kErrorSharingViolation);
    EXPECT_EQ(files().moveFile(kRoot, u"\\Card\\sub\\inner.txt", u"\\Card\\x"),
              kErrorSharingViolation);
    // The link is a name of its own and may go.
    EXPECT_EQ(files().moveFile(kRoot, u"\\Card\\inLink", u"\\Card\\inLink2"), 0u);
    EXPECT_EQ(files().moveFile(kRoot, u"\\Card\\inLink2", u"\\Card\\inLink"), 0u);
    writer.reset();
    std::unique_ptr<FileHandle> after;
    EXPECT_EQ(files().openFile(kRoot, u"\\Card\\sub\\inner.txt", OpenMode::ReadExisting, after),
              0u);
  }
}

TEST_F(LinuxFileSystemTest, ReadersShareWithReadersOnly) {
  std::unique_ptr<FileHandle> first, second, h;
  ASSERT_EQ(files().openFile(kRoot, u"\\Card\\file.txt", OpenMode::ReadExisting, first), 0u);
  ASSERT_EQ(files().openFile(kRoot, u"\\Card\\file.txt", OpenMode::ReadExisting, second), 0u);
  // A refused WriteNew destroys nothing.
  EXPECT_EQ(files().openFile(kRoot, u"\\Card\\file.txt", OpenMode::WriteNew, h),
            kErrorSharingViolation);
  EXPECT_EQ(files().openFile(kRoot, u"\\Card\\file.txt", OpenMode::AppendOrCreate, h),
            kErrorSharingViolation);
  EXPECT_EQ(readAll(card_ / "file.txt"), "hello");
  char buf[8];
  EXPECT_EQ(first->read(buf, sizeof buf), 5u);
  EXPECT_EQ(second->read(buf, sizeof buf), 5u);
  first.reset();
  EXPECT_EQ(files().openFile(kRoot, u"\\Card\\file.txt", OpenMode::WriteNew, h),
            kErrorSharingViolation);
  second.reset();
  EXPECT_EQ(files().openFile(kRoot, u"\\Card\\file.txt", OpenMode::WriteNew, h), 0u);
}

TEST_F(LinuxFileSystemTest, AHandleMayOutliveItsFileSystem) {
  std::unique_ptr<FileHandle> h;
  ASSERT_EQ(files().openFile(kRoot, u"\\Card\\file.txt", OpenMode::AppendOrCreate, h), 0u);
  files_.reset();
  EXPECT_EQ(h->write("!", 1), 1u);
  h.reset();
  EXPECT_EQ(readAll(card_ / "file.txt"), "hello!");
}

TEST_F(LinuxFileSystemTest, SharingHoldsAcrossThreads) {
  constexpr int kThreads = 8;
  constexpr int kWanted = 25;            // successful opens each thread waits for
  constexpr int kMaxAttempts = 1000000;  // and a bound on its tries
  const auto deadline = std::chrono::steady_clock::now() + 20s;
  std::atomic<int> writers{0}, readers{0}, violations{0};
  std::vector<int> opened(kThreads, 0);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      const bool writing = t % 2 == 0;
      int& done = opened[static_cast<std::size_t>(t)];
      for (int i = 0; i < kMaxAttempts && done < kWanted; ++i) {
        if (std::chrono::steady_clock::now() > deadline) break;
        std::unique_ptr<FileHandle> h;
        const OpenMode mode = !writing       ? OpenMode::ReadExisting
                              : (i % 2 == 0) ? OpenMode::WriteNew
                                             : OpenMode::AppendOrCreate;
        const uint32_t err = files().openFile(kRoot, u"\\Card\\file.txt", mode, h);
        if (err == kErrorSharingViolation) {
          std::this_thread::yield();
          continue;
        }
        if (err != 0) {
          ++violations;
          continue;
        }
        // The counters change while the handle is held, so a second holder would see them.
        if (writing) {
          if (++writers != 1 || readers.load() != 0) ++violations;
          h->write("w", 1);
          --writers;
        } else {
          ++readers;
          if (writers.load() != 0) ++violations;
          char c;
          (void)h->read(&c, 1);  // what it reads does not matter, only that it may
          --readers;
        }
        ++done;
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(violations.load(), 0);
  EXPECT_EQ(opened, std::vector<int>(kThreads, kWanted));
  std::unique_ptr<FileHandle> h;
  EXPECT_EQ(files().openFile(kRoot, u"\\Card\\file.txt", OpenMode::WriteNew, h), 0u);
}

// ---- names and directory search ----

TEST_F(LinuxFileSystemTest, Utf8NamesRoundTrip) {
  ASSERT_EQ(files().createDirectory(kRoot, u"\\Card\\中文"), 0u);
  EXPECT_TRUE(fs::is_directory(card_ / "中文"));
  std::unique_ptr<FileHandle> h;
  ASSERT_EQ(files().openFile(kRoot, u"\\Card\\中文\\文件😀.txt", OpenMode::WriteNew, h), 0u);
  EXPECT_EQ(h->write("数据", 6), 6u);
  h.reset();
  EXPECT_EQ(readAll(card_ / "中文" / "文件😀.txt"), "数据");

  FindData found;
  ASSERT_EQ(files().lookup(kRoot, u"\\Card\\中文\\文件😀.txt", found), 0u);
  EXPECT_TRUE(found.name.view() == u"文件😀.txt");
  uint32_t err = 0;
  auto names = list(kRoot, u"\\Card\\中文\\*.*", err);
  ASSERT_EQ(err, 0u);
  EXPECT_EQ(names.count("文件😀.txt"), 1u);
  EXPECT_EQ(files().moveFile(kRoot, u"\\Card\\中文\\文件😀.txt", u"\\Card\\改名.txt"), 0u);
  EXPECT_EQ(readAll(card_ / "改名.txt"), "数据");
  EXPECT_EQ(files().removeDirectory(kRoot, u"\\Card\\中文"), 0u);

  // A root with such a name works the same.
  fs::create_directory(store_ / "卡");
  writeAll(store_ / "卡" / "ü.txt", "u");
  EXPECT_EQ(readThrough(u"\\卡", u"\\卡\\ü.txt"), "u");
}

TEST_F(LinuxFileSystemTest, SearchListsEveryEntryWithDotAndDotDot) {
  writeAll(card_ / "back\\slash", "unreachable by a device path");
  uint32_t err = 0;
  for (const char16_t* pattern : {u"\\Card\\*.*", u"\\Card\\*", u"/Card/*.*"}) {
    const auto names = list(kRoot, pattern, err);
    ASSERT_EQ(err, 0u) << utf8(pattern);
    std::vector<std::string> keys;
    for (const auto& [name, data] : names) keys.push_back(name);
    EXPECT_EQ(keys, (std::vector<std::string>{".", "..", "dangling", "empty", "file.txt", "inDir",
                                              "inLink", "linkAbs", "linkDirAbs", "linkDirRel",
                                              "linkDirUp", "linkRel", "linkUp", "sub"}))
        << utf8(pattern);
  }
  auto names = list(kRoot, u"\\Card\\*.*", err);
  EXPECT_EQ(names["."].attributes, kAttributeDirectory);
  EXPECT_EQ(names[".."].attributes, kAttributeDirectory);
  EXPECT_EQ(names["sub"].attributes, kAttributeDirectory);
  EXPECT_EQ(names["sub"].size, 0u);
  EXPECT_EQ(names["file.txt"].attributes, kAttributeNormal);
  EXPECT_EQ(names["file.txt"].size, 5u);
  // Links inside the root show what they lead to.
  EXPECT_EQ(names["inLink"].attributes, kAttributeNormal);
  EXPECT_EQ(names["inLink"].size, 5u);
  EXPECT_EQ(names["inDir"].attributes, kAttributeDirectory);
  // Links that lead outside or nowhere are files of size 0, whatever lies behind them.
  for (const char* name :
       {"dangling", "linkAbs", "linkRel", "linkUp", "linkDirAbs", "linkDirRel", "linkDirUp"}) {
    EXPECT_EQ(names[name].attributes, kAttributeNormal) << name;
    EXPECT_EQ(names[name].size, 0u) << name;
  }

  // Below the root, ".." is the directory above; an empty directory has only the two.
  names = list(kRoot, u"\\Card\\empty\\*.*", err);
  ASSERT_EQ(err, 0u);
  EXPECT_EQ(names.size(), 2u);
  EXPECT_EQ(names[".."].attributes, kAttributeDirectory);
  names = list(kRoot, u"\\Card\\sub\\..\\sub\\*.*", err);
  EXPECT_EQ(names.count("inner.txt"), 1u);
  EXPECT_EQ(names["upLink"].size, 5u);  // ../file.txt stays inside

  // The store as the root.
  names = list(u"\\", u"\\*.*", err);
  ASSERT_EQ(err, 0u);
  EXPECT_EQ(names.count("Card"), 1u);
  EXPECT_EQ(names.count("Other"), 1u);
  EXPECT_EQ(names["RootOut"].size, 0u);
  EXPECT_EQ(names["RootIn"].attributes, kAttributeDirectory);
}

// A search for kinds only names the same entries with the same kinds, links (followed beneath
// the root or not) and ".." included; only the details it was not asked for differ.
TEST_F(LinuxFileSystemTest, SearchForKindsAgreesWithTheFullSearch) {
  for (const char16_t* pattern : {u"\\Card\\*.*", u"\\Card\\sub\\*.*", u"\\*.*"}) {
    const char16_t* root = pattern[1] == u'*' ? u"\\" : kRoot;
    uint32_t fullErr = 1;
    uint32_t kindsErr = 1;
    const auto full = list(root, pattern, fullErr, FindDetail::Full);
    const auto kinds = list(root, pattern, kindsErr, FindDetail::Kinds);
    ASSERT_EQ(fullErr, 0u);
    ASSERT_EQ(kindsErr, 0u);
    ASSERT_EQ(full.size(), kinds.size()) << utf8(pattern);
    for (const auto& [name, data] : full) {
      ASSERT_EQ(kinds.count(name), 1u) << name;
      EXPECT_EQ(kinds.at(name).attributes, data.attributes) << name;
    }
  }
  uint32_t err = 1;
  const auto kinds = list(kRoot, u"\\Card\\*.*", err, FindDetail::Kinds);
  EXPECT_EQ(kinds.at("file.txt").size, 0u);  // not looked at
  EXPECT_EQ(kinds.at("inLink").size, 5u);    // a link is always looked at whole
}

// A directory whose entries take many reads from the kernel gives each of them exactly once.
TEST_F(LinuxFileSystemTest, SearchOfALargeDirectoryGivesEveryEntryOnce) {
  const fs::path big = card_ / "big";
  fs::create_directory(big);
  // Long names make long records: 900 of them fill the search's buffer about twice.
  constexpr int kEntries = 900;
  const std::string stem(240, 'n');
  for (int i = 0; i < kEntries; ++i) {
    const std::string path = (big / (std::to_string(10000 + i) + stem)).string();
    ASSERT_EQ(::close(::open(path.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0600)), 0);
  }
  std::unique_ptr<DirSearch> search;
  FindData entry;
  ASSERT_EQ(files().findFirst(kRoot, u"\\Card\\big\\*.*", search, entry, FindDetail::Kinds), 0u);
  std::map<std::string, int> seen;
  for (int i = 0; i < 2 * kEntries; ++i) {
    ++seen[utf8(entry.name.view())];
    if (!search->next(entry)) break;
  }
  EXPECT_EQ(seen.size(), static_cast<std::size_t>(kEntries + 2));  // with "." and ".."
  for (const auto& [name, count] : seen) EXPECT_EQ(count, 1) << name;
  EXPECT_EQ(seen.count("10000" + stem), 1u);
  EXPECT_EQ(seen.count(std::to_string(10000 + kEntries - 1) + stem), 1u);
}

TEST_F(LinuxFileSystemTest, StoreThatCannotBeOpenedIsRefusedAtConstruction) {
  EXPECT_THROW(LinuxFileSystem((base_ / "missing").string()), std::system_error);
  EXPECT_THROW(LinuxFileSystem((base_ / "secret.txt").string()), std::system_error);
}

}  // namespace
}  // namespace drovn::platform
