// The real file system under confinement, and the real network on 127.0.0.1: file blocks moved
// both ways, and a thread following its peer's processor.
#include <fcntl.h>
#include <sched.h>
#include <sys/stat.h>

#include <future>
#include <thread>
#include <vector>

#include "platform/ErrorCodes.h"
#include "platform/LinuxFileSystem.h"
#include "platform/Network.h"
#include "support/Files.h"

namespace drovn::platform {
namespace {
using namespace drovn::test;

// base/secret and base/outside/secret beside the store, store/Other/secret beside the account
// root store/Card, which holds links of every kind.
class Files : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const fs::path& d : {card / "sub", store / "Other", base.path / "outside"})
      fs::create_directories(d);
    for (const char* name : {"secret", "outside/secret", "store/Other/secret", "store/Card/sub/in"})
      writeFile(base.path / name, name);
    for (auto [target, link] : std::initializer_list<std::pair<fs::path, const char*>>{
             {store / "Other/secret", "linkAbs"},
             {"../Other/secret", "linkRel"},
             {"../../secret", "linkUp"},
             {"../Other", "linkDirRel"},
             {base.path / "outside", "linkDirAbs"},
             {"sub/in", "inLink"},
             {"sub", "inDir"},
             {"missing", "dangling"},
             {"../inDir/in", "sub/upLink"}})
      fs::create_symlink(target, card / link);
  }

  std::unique_ptr<FileHandle> open(std::string_view path, OpenMode mode, int want = 0) {
    std::unique_ptr<FileHandle> h;
    EXPECT_EQ(files.openFile("/Card", path, mode, h).value(), want) << path;
    return h;
  }

  TempDir base;
  fs::path store = base.path / "store", card = store / "Card";
  LinuxFileSystem files{(fs::create_directories(card), store.string())};
};

// A path, and whether it reads sub/in; otherwise every call is refused.
using PathCase = std::pair<const char*, bool>;

class Confinement : public Files, public ::testing::WithParamInterface<PathCase> {};

TEST_P(Confinement, InsideWorksAndWhatLeavesTheRootIsRefused) {
  const auto [path, inside] = GetParam();
  char buf[32] = {};
  auto h = open(path, OpenMode::ReadExisting, inside ? 0 : EACCES);
  EXPECT_EQ(std::string(buf, h ? h->read(buf, 32) : 0), inside ? "store/Card/sub/in" : "");
  if (inside) return;
  EntryKind kind{};
  EXPECT_EQ(files.kindOf("/Card", path, kind), std::errc::permission_denied);
  open(path, OpenMode::WriteNew, EACCES);
  open(path, OpenMode::AppendOrCreate, EACCES);
  for (const char* name : {"secret", "outside/secret", "store/Other/secret"})  // untouched
    EXPECT_EQ(readFile(base.path / name), name);
  EXPECT_EQ(entries(base.path) + entries(base.path / "outside") + entries(store / "Other"), 5);
}

INSTANTIATE_TEST_SUITE_P(
    Paths, Confinement,
    ::testing::Values(PathCase{"/Card/./sub/in", true}, PathCase{"Card/inDir/../sub/in", true},
                      PathCase{"/Card/inLink", true}, PathCase{"//Card//sub/upLink", true},
                      PathCase{"/Card/../../secret", false},
                      PathCase{"/Card/sub/../../Other/secret", false}, PathCase{"/Card/..", false},
                      PathCase{"/Card/linkAbs", false}, PathCase{"/Card/linkRel", false},
                      PathCase{"/Card/linkUp", false}, PathCase{"/Card/linkDirRel/secret", false},
                      PathCase{"/Card/linkDirAbs/secret", false}, PathCase{"/Other/secret", false},
                      PathCase{"/Cardx/sub/in", false}));

TEST_F(Files, NamesTheKernelRefusesAndADanglingLink) {
  std::string chinese;  // 86 characters of three bytes: past the kernel's 255 bytes for one name
  for (int i = 0; i < 86; ++i) chinese += "中";
  for (const std::string& name : {chinese, std::string(256, 'a')})
    open("/Card/" + name, OpenMode::WriteNew, ENAMETOOLONG);
  EXPECT_NE(open("/Card/" + chinese.substr(3), OpenMode::WriteNew), nullptr);  // 255
  open("/Card/dangling", OpenMode::ReadExisting, ENOENT);
}

// The UTC fields of a file's last write: either side of 1970, a leap day, the last second of
// year 9999. A time the file system cannot hold (ext4 stops in 2446) is checked against what
// gmtime_r makes of the time it kept.
TEST_F(Files, LastWriteTimesInUtcFields) {
  writeFile(card / "t", "t");
  const struct {
    int64_t seconds;
    std::vector<int> want;
  } cases[] = {{0, {1970, 1, 1, 0, 0, 0}},
               {-1, {1969, 12, 31, 23, 59, 59}},
               {1709251199, {2024, 2, 29, 23, 59, 59}},
               {1765275300, {2025, 12, 9, 10, 15, 0}},
               {253402300799, {9999, 12, 31, 23, 59, 59}}};
  for (const auto& c : cases) {
    const struct timespec times[2] = {{0, UTIME_OMIT}, {static_cast<time_t>(c.seconds), 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, (card / "t").c_str(), times, 0), 0) << c.seconds;
    struct stat st {};
    ASSERT_EQ(::stat((card / "t").c_str(), &st), 0);
    std::vector<int> want = c.want;
    if (st.st_mtime != c.seconds) {
      struct tm f {};
      ASSERT_NE(::gmtime_r(&st.st_mtime, &f), nullptr);
      want = {f.tm_year + 1900, f.tm_mon + 1, f.tm_mday, f.tm_hour, f.tm_min, f.tm_sec};
    }
    Entry e;
    ASSERT_FALSE(files.lookup("/Card", "/Card/t", e));
    const CalendarTime& t = e.lastWrite;
    EXPECT_EQ(std::vector<int>({t.year, t.month, t.day, t.hour, t.minute, t.second}), want)
        << c.seconds;
  }
}

TEST_F(Files, OpenModesSeekTruncateAndASparseFileOfFiveGibibytes) {
  EXPECT_EQ(open("/Card/f", OpenMode::WriteNew)->write("one", 3), 3u);
  auto h = open("/Card/f", OpenMode::AppendOrCreate);
  EXPECT_EQ(h->write("two", 3), 3u);  // at the end
  h->seek(2);                         // a resumed upload: seek, cut there, go on
  h->truncateAt(2);
  EXPECT_EQ(h->write("NE", 2), 2u);
  h->truncateAt(7);  // extends with zeros
  h.reset();
  EXPECT_EQ(readFile(card / "f"), std::string("onNE\0\0\0", 7));
  EXPECT_EQ(open("/Card/f", OpenMode::WriteNew)->size(), 0u);  // emptied
  constexpr uint64_t kSize = 5ull << 30;
  fs::resize_file(card / "f", kSize);
  Entry found;
  EXPECT_TRUE(!files.lookup("/Card", "/Card/f", found) && found.size == kSize);
  EXPECT_EQ(open("/Card/f", OpenMode::AppendOrCreate)->write("end", 3), 3u);
  h = open("/Card/f", OpenMode::ReadExisting);
  EXPECT_EQ(h->size(), kSize + 3);
  h->seek(static_cast<int64_t>(kSize) - 1);
  char buf[8];
  EXPECT_EQ(std::string(buf, h->read(buf, sizeof buf)), std::string("\0end", 4));  // then the end
  EXPECT_THROW(h->write("x", 1), PlatformError);
}

// The network: a client connected to a server socket on 127.0.0.1.
constexpr std::size_t kBlock = 458752;  // the block of the server's transfers

class Net : public Files {
 protected:
  Net() {
    at.address = hostToNet32(0x7F000001);
    EXPECT_FALSE(net.openTcp(listener) || net.bind(listener, at) || net.listen(listener, 4) ||
                 net.localAddress(listener, at));  // each gives no error on success
    connect(client, server);
    for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 7 + i / 251);
  }

  void connect(Socket& c, Socket& s) {
    SocketAddress peer;
    EXPECT_FALSE(net.openTcp(c) || net.connect(c, at) || net.accept(listener, s, peer));
  }

  LinuxNetwork net;
  SocketAddress at;
  Socket listener, client, server;
  std::error_code error;
  std::string data = std::string(8 * kBlock + 17, '\0'), block = std::string(kBlock, '\0');
};

TEST_F(Net, FileBlocksUpAndDownHoldEveryByteUpToTheBlockSizeAndStallsFail) {
  auto sender = std::async(std::launch::async, [&] {
    std::error_code e;
    const long long n = net.send(client, data.data(), data.size(), e);
    return client.shutdownAndClose(), n;
  });
  auto file = open("/Card/up", OpenMode::WriteNew);
  EXPECT_FALSE(net.peerClosed(server));  // the client cannot be done before all is received
  int full = 0;
  long long n = 1;
  for (int i = 0; i < 1000000 && n > 0; ++i) {
    n = net.receiveFileBlock(server, *file, block.data(), kBlock, error);
    full += n == static_cast<long long>(kBlock);
  }
  EXPECT_TRUE(n == 0 && net.peerClosed(server)) << error;
  EXPECT_EQ(sender.get(), static_cast<long long>(data.size()));
  EXPECT_GT(full, 0) << "no block filled up: the boundary was not exercised";
  file.reset();
  EXPECT_TRUE(readFile(card / "up") == data);

  Socket downClient, downServer;  // the file back: whole blocks, the short last one, then 0
  connect(downClient, downServer);
  net.setStallLimit(downServer, 200);  // and before that, a client that sends nothing stalls
  EXPECT_TRUE(net.receive(downServer, &block[0], 1, error) == -1 && error == std::errc::timed_out);
  net.setStallLimit(downServer, 0);  // no limit again
  auto reader = std::async(std::launch::async, [&] {
    std::string all, buf(65536, '\0');
    std::error_code e;
    for (long long part; (part = net.receive(downClient, buf.data(), buf.size(), e)) > 0;)
      all.append(buf, 0, static_cast<std::size_t>(part));
    return all;
  });
  file = open("/Card/up", OpenMode::ReadExisting);
  std::vector<long long> blocks, want(8, static_cast<long long>(kBlock));
  for (int i = 0; i < 10; ++i)
    blocks.push_back(net.sendFileBlock(downServer, *file, block.data(), kBlock, error));
  downServer.shutdownAndClose();
  want.insert(want.end(), {17, 0});
  EXPECT_EQ(blocks, want);
  EXPECT_TRUE(reader.get() == data);
}

TEST_F(Net, AThreadFollowsTheProcessorOfItsPeersBytesUntilReleased) {
  cpu_set_t before, now;
  ASSERT_EQ(sched_getaffinity(0, sizeof before, &before), 0);
  if (CPU_COUNT(&before) < 2) GTEST_SKIP() << "one processor: there is nowhere to follow to";
  int away = 0;  // a processor this thread is not on, where the client sends from
  while (!CPU_ISSET(away, &before) || away == sched_getcpu()) ++away;
  std::thread([&] {
    cpu_set_t one;
    CPU_ZERO(&one);
    CPU_SET(away, &one);
    std::error_code e;
    EXPECT_TRUE(sched_setaffinity(0, sizeof one, &one) == 0 && net.send(client, "x", 1, e) == 1);
  }).join();
  EXPECT_EQ(net.receive(server, &block[0], 1, error), 1);
  EXPECT_TRUE(net.followPeer(server));
  EXPECT_EQ(sched_getcpu(), away);
  ASSERT_EQ(sched_getaffinity(0, sizeof now, &now), 0);
  EXPECT_TRUE(CPU_COUNT(&now) == 1 && CPU_ISSET(away, &now));
  net.releaseProcessor();
  ASSERT_EQ(sched_getaffinity(0, sizeof now, &now), 0);
  EXPECT_TRUE(CPU_EQUAL(&now, &before));
  Socket never;  // a socket with no peer names no processor and moves nothing
  EXPECT_FALSE(net.followPeer(never));
}

}  // namespace
}  // namespace drovn::platform
