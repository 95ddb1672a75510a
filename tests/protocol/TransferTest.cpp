// File transfers over real data connections in both modes: reply order, restart offsets, byte
// exactness around the block size, failures of the file and of the connection, files shared
// between sessions, special files, confinement and a service that stops mid-transfer.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <ostream>
#include <random>
#include <string>
#include <string_view>
#include <thread>
#include <tuple>
#include <vector>

#include "ProtocolTestSupport.h"
#include "platform/ErrorCodes.h"
#include "platform/FileSystem.h"
#include "protocol/Transfer.h"

namespace drovn::protocol::test {
namespace {

namespace fs = std::filesystem;
using platform::OpenMode;

constexpr char kActiveOpening[] = "150 Opening data connection...\r\n";
constexpr char kPassiveOpened[] = "125 Connection transfer starting...\r\n";
constexpr char kCompleted[] = "226 Transfer completed.\r\n";
constexpr char kAborted[] = "426 Connection transfer aborted.\r\n";
constexpr char kPortOk[] = "200 PORT command ok.\r\n";
constexpr char kNoopOk[] = "200 OK \r\n";
constexpr std::size_t kBlock = 458752;
// Larger than anything loopback buffers hold while the client reads nothing, so a download of
// it stays in progress until the client reads.
constexpr std::size_t kLargeFile = 32u << 20;

enum class Mode { Active, Passive };

std::string modeName(Mode m) {
  return m == Mode::Active ? "Active" : "Passive";
}

void PrintTo(Mode m, std::ostream* os) {
  *os << modeName(m);
}

// Bytes of every value in an order fixed by the seed: CR, LF and NUL among them, so any
// translation of line ends would show.
std::string patterned(std::size_t n, uint32_t seed) {
  std::mt19937_64 gen(seed);
  std::string bytes(n, '\0');
  for (std::size_t i = 0; i < n; i += 8) {
    const uint64_t word = gen();
    for (std::size_t k = 0; k < 8 && i + k < n; ++k) {
      bytes[i + k] = static_cast<char>((word >> (8 * k)) & 0xFF);
    }
  }
  return bytes;
}

// A large file's bytes: a patterned mebibyte repeated, each copy stamped with its number, so
// a copy out of place would show.
std::string largeContent(uint32_t seed) {
  const std::string unit = patterned(1u << 20, seed);
  std::string all;
  all.reserve(kLargeFile);
  for (uint32_t copy = 0; all.size() < kLargeFile; ++copy) {
    const std::size_t at = all.size();
    all += unit;
    for (std::size_t k = 0; k < 4; ++k) all[at + k] = static_cast<char>((copy >> (8 * k)) & 0xFF);
  }
  return all;
}

std::string restReply(long long value) {
  return "350 REST from " + std::to_string(value) + "\r\n";
}

// The device path of an ASCII name of the store.
std::u16string storePath(std::string_view name) {
  std::u16string path = u"\\";
  for (char c : name) path += static_cast<char16_t>(c == '/' ? '\\' : c);
  return path;
}

template <typename Pred>
bool eventually(Pred pred, std::chrono::milliseconds timeout = 10s) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!pred()) {
    if (std::chrono::steady_clock::now() > deadline) return pred();
    std::this_thread::sleep_for(10ms);
  }
  return true;
}

// What a large download carried, compared block by block with what was expected.
struct Drained {
  std::size_t size = 0;
  bool matches = true;  // every byte equal to the expected one at its offset
  bool closed = false;  // the server closed the connection
  bool ended = false;   // closed or reset
};

// The anonymous account, whose root is the whole store.
class TransferTest : public ProtocolTest {
 protected:
  TransferTest() = default;
  explicit TransferTest(drovn::test::HarnessOptions options) : ProtocolTest(std::move(options)) {}

  void SetUp() override {
    ProtocolTest::SetUp();
    if (HasFatalFailure()) return;
    client = connectAndLogin();
    ASSERT_NE(client, nullptr);
  }

  // Sends the transfer command after PORT (to a new listening peer) or PASV and opens the test's
  // end of its data connection. Gives it once the mode's preliminary reply has arrived; null,
  // with a failure recorded, when either does not happen.
  std::unique_ptr<DataPeer> begin(FtpClient& c, Mode mode, const std::string& line) {
    auto peer = std::make_unique<DataPeer>(harness.network());
    if (mode == Mode::Active) {
      const std::string argument = peer->listen();
      if (argument.empty() || ask(c, "PORT " + argument) != kPortOk || !c.send(line + "\r\n")) {
        ADD_FAILURE() << "no active data connection prepared for " << line;
        return nullptr;
      }
      // The preliminary reply comes before the server connects.
      const auto first = c.readLine(10s);
      if (first != kActiveOpening || !peer->accept(10s)) {
        ADD_FAILURE() << line << " got " << testing::PrintToString(first);
        return nullptr;
      }
      return peer;
    }
    const uint16_t port = passivePort(ask(c, "PASV"));
    if (port == 0 || !c.send(line + "\r\n") || !peer->connectTo(port)) {
      ADD_FAILURE() << "no passive data connection for " << line;
      return nullptr;
    }
    const auto first = c.readLine(10s);
    if (first != kPassiveOpened) {
      ADD_FAILURE() << line << " got " << testing::PrintToString(first);
      return nullptr;
    }
    return peer;
  }

  struct Download {
    std::string data;
    std::string reply;
  };
  // A whole download: the data until the server closes the connection, then the final reply.
  Download download(FtpClient& c, Mode mode, const std::string& line) {
    auto peer = begin(c, mode, line);
    if (!peer) return {"", "<not started>"};
    Download d;
    d.data = peer->readAll(30s).value_or("<data connection not closed>");
    d.reply = c.readLine(10s).value_or("<no reply>");
    return d;
  }
  // A whole upload: the bytes, an orderly close, and the final reply.
  std::string upload(FtpClient& c, Mode mode, const std::string& line, std::string_view bytes) {
    auto peer = begin(c, mode, line);
    if (!peer) return "<not started>";
    if (!bytes.empty() && !peer->send(bytes)) return "<not sent>";
    peer->close();
    return c.readLine(10s).value_or("<no reply>");
  }

  // Reads a download to its end (or a time-out), comparing it with expected as it arrives.
  Drained drain(DataPeer& peer, std::string_view expected, std::chrono::milliseconds timeout) {
    platform::Network& net = harness.network();
    Drained d;
    std::vector<char> chunk(1 << 20);
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline) {
      uint32_t error = 0;
      const int ready = net.waitReadable(peer.connection(), 100, error);
      if (ready < 0) break;
      if (ready == 0) continue;
      const long long n = net.receive(peer.connection(), chunk.data(), chunk.size(), error);
      if (n <= 0) {
        d.closed = n == 0;
        d.ended = true;
        break;
      }
      const auto got = static_cast<std::size_t>(n);
      if (d.size + got > expected.size() ||
          std::memcmp(chunk.data(), expected.data() + d.size, got) != 0) {
        d.matches = false;
      }
      d.size += got;
    }
    return d;
  }

  // True once the server has sent something on the data connection: a download has its file
  // open by then.
  bool dataArrives(DataPeer& peer) {
    uint32_t error = 0;
    return harness.network().waitReadable(peer.connection(), 10000, error) == 1;
  }

  // One more open of a file of the store for writing, as another session would make it: 0, or
  // 32 while a transfer holds the file. It appends nothing, so it changes no file it reaches.
  uint32_t writerOpen(std::string_view name) {
    std::unique_ptr<platform::FileHandle> handle;
    return harness.platform().files.openFile(u"\\", storePath(name).c_str(),
                                             OpenMode::AppendOrCreate, handle);
  }

  std::unique_ptr<FtpClient> client;
};

// ---- Reply order ----

enum class Command { Retr, Stor, Appe };

const char* word(Command c) {
  switch (c) {
    case Command::Retr:
      return "RETR";
    case Command::Stor:
      return "STOR";
    case Command::Appe:
      return "APPE";
  }
  return "?";
}

void PrintTo(Command c, std::ostream* os) {
  *os << word(c);
}

class ReplyOrderTest : public TransferTest,
                       public testing::WithParamInterface<std::tuple<Mode, Command>> {};

// The preliminary reply of the mode, the data, and "226" only once the data connection is
// closed; the log has them in the same order.
TEST_P(ReplyOrderTest, PreliminaryDataCompleted) {
  const auto [mode, command] = GetParam();
  const std::string content = patterned(3000, 7);
  const std::string sent = patterned(2000, 8);
  writeFile(store() / "f.bin", content);
  const std::string line = std::string(word(command)) + " f.bin";

  DataPeer peer(harness.network());
  if (mode == Mode::Active) {
    const std::string argument = peer.listen();
    ASSERT_EQ(ask(*client, "PORT " + argument), kPortOk);
    ASSERT_TRUE(client->send(line + "\r\n"));
    // 150 comes before the server connects: nothing has been accepted yet.
    EXPECT_EQ(client->readLine(5s), kActiveOpening);
    ASSERT_TRUE(peer.accept(5s));
  } else {
    const uint16_t port = passivePort(ask(*client, "PASV"));
    ASSERT_NE(port, 0);
    ASSERT_TRUE(client->send(line + "\r\n"));
    // 125 comes only once the client has connected.
    EXPECT_EQ(client->readFor(300ms), "");
    ASSERT_TRUE(peer.connectTo(port));
    EXPECT_EQ(client->readLine(5s), kPassiveOpened);
  }
  if (command == Command::Retr) {
    // The final reply is read first: by then the whole file is there and the connection closed.
    EXPECT_EQ(client->readLine(10s), kCompleted);
    EXPECT_EQ(peer.readAll(1s), content);
  } else {
    ASSERT_TRUE(peer.send(sent));
    // No final reply while the data connection is still open.
    EXPECT_EQ(client->readFor(300ms), "");
    peer.close();
    EXPECT_EQ(client->readLine(10s), kCompleted);
    EXPECT_EQ(readFile(store() / "f.bin"), command == Command::Stor ? sent : content + sent);
  }
  // The session logs each reply after sending it; its next reply comes after that.
  EXPECT_EQ(ask(*client, "NOOP"), kNoopOk);
  const int commandAt = harness.find("#1>" + line);
  const int preliminaryAt =
      harness.find(mode == Mode::Active ? "150 Opening data connection..."
                                        : "125 Connection transfer starting...",
                   static_cast<std::size_t>(std::max(commandAt, 0)));
  ASSERT_GE(commandAt, 0);
  ASSERT_GT(preliminaryAt, commandAt);
  EXPECT_GT(harness.find("226 Transfer completed.", static_cast<std::size_t>(preliminaryAt)),
            preliminaryAt);
}

INSTANTIATE_TEST_SUITE_P(BothModes, ReplyOrderTest,
                         testing::Combine(testing::Values(Mode::Active, Mode::Passive),
                                          testing::Values(Command::Retr, Command::Stor,
                                                          Command::Appe)),
                         [](const testing::TestParamInfo<std::tuple<Mode, Command>>& i) {
                           return modeName(std::get<0>(i.param)) + word(std::get<1>(i.param));
                         });

// ---- Restart offsets and the kinds of upload, in both modes ----

class TransferModeTest : public TransferTest, public testing::WithParamInterface<Mode> {
 protected:
  Mode mode() const { return GetParam(); }
};

TEST_P(TransferModeTest, EmptyFileSendsAnEmptyStream) {
  writeFile(store() / "empty.bin", "");
  const Download d = download(*client, mode(), "RETR empty.bin");
  EXPECT_EQ(d.data, "");
  EXPECT_EQ(d.reply, kCompleted);
}

TEST_P(TransferModeTest, RestartedDownloadSendsTheRestOnce) {
  const std::string content = patterned(250, 1);
  writeFile(store() / "f.bin", content);
  EXPECT_EQ(ask(*client, "REST 100"), restReply(100));
  Download d = download(*client, mode(), "RETR f.bin");
  EXPECT_EQ(d.data, content.substr(100));
  EXPECT_EQ(d.reply, kCompleted);
  // The offset was used up.
  d = download(*client, mode(), "RETR f.bin");
  EXPECT_EQ(d.data, content);
  EXPECT_EQ(d.reply, kCompleted);
}

TEST_P(TransferModeTest, RestartPastTheEndSendsNothingAndCompletes) {
  const std::string content = patterned(50, 2);
  writeFile(store() / "f.bin", content);
  EXPECT_EQ(ask(*client, "REST 100"), restReply(100));
  Download d = download(*client, mode(), "RETR f.bin");
  EXPECT_EQ(d.data, "");
  EXPECT_EQ(d.reply, kCompleted);
  d = download(*client, mode(), "RETR f.bin");
  EXPECT_EQ(d.data, content);
}

TEST_P(TransferModeTest, RestartedUploadKeepsTheHeadAndCutsTheTail) {
  const std::string old = patterned(250, 3);
  const std::string added = patterned(50, 4);
  writeFile(store() / "f.bin", old);
  EXPECT_EQ(ask(*client, "REST 100"), restReply(100));
  EXPECT_EQ(upload(*client, mode(), "STOR f.bin", added), kCompleted);
  EXPECT_EQ(readFile(store() / "f.bin"), old.substr(0, 100) + added);
  // The offset was used up: the next upload replaces the file.
  EXPECT_EQ(upload(*client, mode(), "STOR f.bin", "new"), kCompleted);
  EXPECT_EQ(readFile(store() / "f.bin"), "new");
}

TEST_P(TransferModeTest, RestartedUploadCreatesAMissingFile) {
  const std::string added = patterned(50, 5);
  EXPECT_EQ(ask(*client, "REST 100"), restReply(100));
  EXPECT_EQ(upload(*client, mode(), "STOR missing.bin", added), kCompleted);
  // The file was extended to the offset before the upload: a hole reads as zero bytes.
  EXPECT_EQ(readFile(store() / "missing.bin"), std::string(100, '\0') + added);
}

TEST_P(TransferModeTest, AppendIgnoresTheOffsetAndLeavesItForTheDownload) {
  const std::string old = patterned(250, 6);
  const std::string added = patterned(30, 7);
  writeFile(store() / "f.bin", old);
  EXPECT_EQ(ask(*client, "REST 100"), restReply(100));
  EXPECT_EQ(upload(*client, mode(), "APPE f.bin", added), kCompleted);
  EXPECT_EQ(readFile(store() / "f.bin"), old + added);
  const Download d = download(*client, mode(), "RETR f.bin");
  EXPECT_EQ(d.data, (old + added).substr(100));
  EXPECT_EQ(d.reply, kCompleted);
}

TEST_P(TransferModeTest, StoreReplacesAndAppendCreates) {
  writeFile(store() / "f.bin", patterned(250, 8));
  EXPECT_EQ(upload(*client, mode(), "STOR f.bin", "short"), kCompleted);
  EXPECT_EQ(readFile(store() / "f.bin"), "short");
  EXPECT_EQ(upload(*client, mode(), "STOR empty.bin", ""), kCompleted);
  EXPECT_TRUE(fs::is_regular_file(store() / "empty.bin"));
  EXPECT_EQ(fs::file_size(store() / "empty.bin"), 0u);
  EXPECT_EQ(upload(*client, mode(), "APPE new.bin", "one"), kCompleted);
  EXPECT_EQ(upload(*client, mode(), "APPE new.bin", "two"), kCompleted);
  EXPECT_EQ(readFile(store() / "new.bin"), "onetwo");
}

// The end of the stream is the end of the file: a client that stops sending half-way, in the
// middle of a block, gets 226 and the file holds what arrived.
TEST_P(TransferModeTest, UploadCutShortByTheClientCompletesWithWhatArrived) {
  writeFile(store() / "f.bin", patterned(2 * kBlock, 9));
  const std::string planned = patterned(2 * kBlock, 10);
  const std::string part = planned.substr(0, kBlock + 1000);
  auto peer = begin(*client, mode(), "STOR f.bin");
  ASSERT_NE(peer, nullptr);
  ASSERT_TRUE(peer->send(std::string_view(part).substr(0, kBlock)));
  ASSERT_TRUE(eventually([&] { return fs::file_size(store() / "f.bin") == kBlock; }));
  ASSERT_TRUE(peer->send(std::string_view(part).substr(kBlock)));
  peer->close();
  EXPECT_EQ(client->readLine(10s), kCompleted);
  EXPECT_EQ(readFile(store() / "f.bin"), part);
}

TEST_P(TransferModeTest, NegativeOffsetIsSkippedByDownloadsAndAppendsOnUpload) {
  const std::string old = patterned(250, 11);
  writeFile(store() / "f.bin", old);
  EXPECT_EQ(ask(*client, "REST -5"), restReply(-5));
  const Download d = download(*client, mode(), "RETR f.bin");
  EXPECT_EQ(d.data, old);
  EXPECT_EQ(d.reply, kCompleted);
  // The download left the offset set; the upload takes it as a restart that names no place, so
  // the file stays whole and the data goes to its end. Then the offset is gone.
  EXPECT_EQ(upload(*client, mode(), "STOR f.bin", "tail"), kCompleted);
  EXPECT_EQ(readFile(store() / "f.bin"), old + "tail");
  EXPECT_EQ(upload(*client, mode(), "STOR f.bin", "new"), kCompleted);
  EXPECT_EQ(readFile(store() / "f.bin"), "new");
}

// A resumed download of a file past 4 GiB starts exactly where it was asked to: the offset is
// not cut to 32 bits. The file is sparse, with marks around the offset and at its end.
TEST_P(TransferModeTest, ResumeFarIntoAFileLargerThan32Bits) {
  constexpr std::size_t kOffset = 3000000000u;
  constexpr std::size_t kSize = 3u << 30;
  const fs::path file = store() / "big.bin";
  const std::string mark = patterned(4096, 3);
  {
    std::ofstream out(file, std::ios::binary);
    out.seekp(static_cast<std::streamoff>(kOffset - 100));
    out.write(mark.data(), static_cast<std::streamsize>(mark.size()));
    out.seekp(static_cast<std::streamoff>(kSize - mark.size()));
    out.write(mark.data(), static_cast<std::streamsize>(mark.size()));
  }
  ASSERT_EQ(fs::file_size(file), kSize);
  EXPECT_EQ(ask(*client, "SIZE big.bin"), "213 3221225472\r\n");
  EXPECT_EQ(ask(*client, "REST 3000000000"), "350 REST from 3000000000\r\n");
  const Download d = download(*client, mode(), "RETR big.bin");
  EXPECT_EQ(d.reply, kCompleted);
  ASSERT_EQ(d.data.size(), kSize - kOffset);
  // The bytes from the offset on: the rest of the first mark, a hole, the last mark.
  std::string expected(kSize - kOffset, '\0');
  expected.replace(0, mark.size() - 100, mark.substr(100));
  expected.replace(expected.size() - mark.size(), mark.size(), mark);
  EXPECT_TRUE(d.data == expected);
}

// A refused download opens no data connection: in active mode the server never connects, in
// passive mode the listener still waits for the next transfer.
TEST_P(TransferModeTest, DirectoryOrMissingFileIsRefusedWithoutADataConnection) {
  fs::create_directory(store() / "sub");
  writeFile(store() / "a.txt", "hello");
  DataPeer peer(harness.network());
  uint16_t port = 0;
  if (mode() == Mode::Active) {
    ASSERT_EQ(ask(*client, "PORT " + peer.listen()), kPortOk);
  } else {
    port = passivePort(ask(*client, "PASV"));
    ASSERT_NE(port, 0);
  }
  expectExchanges(*client, {{"RETR sub", kAccessDenied},
                            {"RETR missing.txt", kAccessDenied},
                            {"RETR /", kAccessDenied},
                            {"RETR sub/missing.txt", kAccessDenied}});
  if (mode() == Mode::Active) {
    EXPECT_FALSE(peer.accept(300ms));
    return;
  }
  ASSERT_TRUE(client->send("RETR a.txt\r\n"));
  ASSERT_TRUE(peer.connectTo(port));
  EXPECT_EQ(client->readLine(5s), kPassiveOpened);
  EXPECT_EQ(peer.readAll(5s), "hello");
  EXPECT_EQ(client->readLine(5s), kCompleted);
}

// STOR opens its data connection before the file, so a file that cannot be made is refused
// after the preliminary reply and the connection is closed; APPE opens the file first.
TEST_P(TransferModeTest, UploadWhoseFileCannotBeOpened) {
  writeFile(store() / "sub" / "kept.txt", "kept");
  for (const std::string target : {"nodir/x.bin", "sub"}) {
    SCOPED_TRACE(target);
    auto peer = begin(*client, mode(), "STOR " + target);
    ASSERT_NE(peer, nullptr);
    EXPECT_EQ(client->readLine(5s), kAccessDenied);
    EXPECT_EQ(peer->readAll(5s), "");
    EXPECT_EQ(ask(*client, "APPE " + target), kAccessDenied);
  }
  EXPECT_FALSE(fs::exists(store() / "nodir"));
  EXPECT_EQ(readFile(store() / "sub" / "kept.txt"), "kept");
  EXPECT_EQ(ask(*client, "NOOP"), kNoopOk);
}

INSTANTIATE_TEST_SUITE_P(BothModes, TransferModeTest, testing::Values(Mode::Active, Mode::Passive),
                         [](const testing::TestParamInfo<Mode>& i) { return modeName(i.param); });

// ---- File names in either client encoding ----

// A Chinese name, written by its UTF-8 bytes in a UTF-8 session and by its code-page-936 bytes
// in any other; the logged path reads the same for both.
class ChineseNameTest : public TransferTest {
 protected:
  void configure(config::Settings& s) override { s.opt_enableUtf8 = true; }
};

TEST_F(ChineseNameTest, TransfersInEitherEncoding) {
  const std::string utf8Name = std::string(kChineseUtf8) + ".txt";
  const std::string gbkName = std::string(kChineseGbk) + ".txt";
  EXPECT_EQ(ask(*client, "OPTS UTF8 ON"), "200 Option UTF8 is on.\r\n");
  EXPECT_EQ(upload(*client, Mode::Passive, "STOR " + utf8Name, "abc"), kCompleted);
  EXPECT_EQ(readFile(store() / fs::u8path(utf8Name)), "abc");

  auto gbkClient = connectAndLogin();
  ASSERT_NE(gbkClient, nullptr);
  EXPECT_EQ(upload(*gbkClient, Mode::Active, "APPE " + gbkName, "def"), kCompleted);
  const Download d = download(*gbkClient, Mode::Passive, "RETR " + gbkName);
  EXPECT_EQ(d.data, "abcdef");
  EXPECT_EQ(d.reply, kCompleted);

  // An APPE without a data connection logs its path: from each session in readable form.
  const uint16_t nobody = drovn::test::ServiceHarness::findFreePort(harness.network());
  for (FtpClient* c : {client.get(), gbkClient.get()}) {
    ASSERT_EQ(ask(*c, "PORT " + portArgument(nobody)), kPortOk);
    EXPECT_EQ(ask(*c, std::string("APPE ") + (c == client.get() ? utf8Name : gbkName)),
              kActiveOpening);
    EXPECT_EQ(c->readLine(5s), kAborted);
    EXPECT_EQ(ask(*c, "NOOP"), kNoopOk);
  }
  EXPECT_EQ(harness.count("\\" + utf8Name), 2);
  EXPECT_EQ(readFile(store() / fs::u8path(utf8Name)), "abcdef");
}

// ---- REST replies ----

struct RestCase {
  const char* argument;
  long long stored;
};

class RestReplyTest : public TransferTest, public testing::WithParamInterface<RestCase> {};

TEST_P(RestReplyTest, ShowsTheStoredOffset) {
  EXPECT_EQ(ask(*client, std::string("REST ") + GetParam().argument), restReply(GetParam().stored));
}

INSTANTIATE_TEST_SUITE_P(
    Arguments, RestReplyTest,
    testing::Values(RestCase{"abc", 0}, RestCase{"0", 0}, RestCase{"100", 100}, RestCase{"+42", 42},
                    RestCase{"-5", -5}, RestCase{"12abc", 12}, RestCase{"7 8", 7},
                    RestCase{"--5", 0}, RestCase{"-", 0}, RestCase{"2147483648", 2147483648LL},
                    RestCase{"3000000000", 3000000000LL},
                    RestCase{"9223372036854775807", INT64_MAX},
                    RestCase{"99999999999999999999999", INT64_MAX},
                    RestCase{"-2147483649", -2147483649LL},
                    RestCase{"-99999999999999999999", -INT64_MAX}));

// ---- Before login ----

class NotLoggedInTest : public ProtocolTest {};

TEST_F(NotLoggedInTest, EveryTransferCommandAsksForTheLogin) {
  writeFile(store() / "a.txt", "hello");
  auto client = connect();
  ASSERT_NE(client, nullptr);
  expectExchanges(*client, {{"REST 3", kPleaseLogIn},
                            {"RETR a.txt", kPleaseLogIn},
                            {"STOR new.txt", kPleaseLogIn},
                            {"APPE new.txt", kPleaseLogIn},
                            {"STOR a.txt", kPleaseLogIn}});
  EXPECT_FALSE(fs::exists(store() / "new.txt"));
  EXPECT_EQ(readFile(store() / "a.txt"), "hello");
  // The refused REST stored nothing: after the login the whole file comes.
  login(*client);
  DataPeer peer(harness.network());
  ASSERT_EQ(ask(*client, "PORT " + peer.listen()), kPortOk);
  EXPECT_EQ(ask(*client, "RETR a.txt"), kActiveOpening);
  ASSERT_TRUE(peer.accept(5s));
  EXPECT_EQ(peer.readAll(5s), "hello");
  EXPECT_EQ(client->readLine(5s), kCompleted);
}

// ---- Byte-exact round trips around the block size ----

class RoundTripTest : public TransferTest,
                      public testing::WithParamInterface<std::tuple<Mode, std::size_t, int32_t>> {};

TEST_P(RoundTripTest, Download) {
  const auto [mode, size, rest] = GetParam();
  const std::string content = patterned(size, static_cast<uint32_t>(size));
  writeFile(store() / "f.bin", content);
  // The ASCII type changes no byte.
  EXPECT_EQ(ask(*client, "TYPE A"), "200 Type is set to 'A'.\r\n");
  if (rest != 0) {
    EXPECT_EQ(ask(*client, "REST " + std::to_string(rest)), restReply(rest));
  }
  const Download d = download(*client, mode, "RETR f.bin");
  const std::size_t from = std::min(static_cast<std::size_t>(rest), size);
  EXPECT_EQ(d.reply, kCompleted);
  ASSERT_EQ(d.data.size(), size - from);
  EXPECT_TRUE(d.data == std::string_view(content).substr(from)) << "the bytes differ";
}

// With an offset the upload resumes a file whose first part is there already, followed by
// bytes that must go; the offset may lie past what is there.
TEST_P(RoundTripTest, Upload) {
  const auto [mode, size, rest] = GetParam();
  const std::string content = patterned(size, static_cast<uint32_t>(size) + 1);
  const std::size_t offset = static_cast<std::size_t>(rest);
  const std::size_t present = std::min(offset, size);
  const std::string before = content.substr(0, present) + patterned(300, 99);
  writeFile(store() / "f.bin", before);
  EXPECT_EQ(ask(*client, "TYPE A"), "200 Type is set to 'A'.\r\n");
  if (rest != 0) {
    EXPECT_EQ(ask(*client, "REST " + std::to_string(rest)), restReply(rest));
  }
  const std::string sent = content.substr(present);
  EXPECT_EQ(upload(*client, mode, "STOR f.bin", sent), kCompleted);
  std::string expected = before.substr(0, std::min(offset, before.size()));
  expected.resize(offset, '\0');
  expected += sent;
  const std::string stored = readFile(store() / "f.bin");
  ASSERT_EQ(stored.size(), expected.size());
  EXPECT_TRUE(stored == expected) << "the bytes differ";
}

INSTANTIATE_TEST_SUITE_P(
    BlockSizes, RoundTripTest,
    testing::Combine(testing::Values(Mode::Active, Mode::Passive),
                     testing::Values(std::size_t{0}, std::size_t{1}, kBlock - 1, kBlock,
                                     kBlock + 1),
                     testing::Values(int32_t{0}, int32_t{100}, static_cast<int32_t>(kBlock))),
    [](const testing::TestParamInfo<std::tuple<Mode, std::size_t, int32_t>>& i) {
      return modeName(std::get<0>(i.param)) + "Size" + std::to_string(std::get<1>(i.param)) +
             "Rest" + std::to_string(std::get<2>(i.param));
    });

// ---- Failures during the transfer ----

// Lowers the largest file this process may write, with SIGXFSZ ignored so that a write past it
// fails (EFBIG) instead of ending the process. Both come back when the guard ends.
class FileSizeLimit {
 public:
  explicit FileSizeLimit(rlim_t bytes) {
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    if (::sigaction(SIGXFSZ, &ignore, &oldAction_) != 0) return;
    actionSaved_ = true;
    if (::getrlimit(RLIMIT_FSIZE, &oldLimit_) != 0) return;
    limitSaved_ = true;
    struct rlimit lowered = oldLimit_;
    lowered.rlim_cur = bytes;
    active_ = ::setrlimit(RLIMIT_FSIZE, &lowered) == 0;
  }
  ~FileSizeLimit() { restore(); }
  FileSizeLimit(const FileSizeLimit&) = delete;
  FileSizeLimit& operator=(const FileSizeLimit&) = delete;

  bool active() const { return active_; }
  void restore() {
    if (limitSaved_) (void)::setrlimit(RLIMIT_FSIZE, &oldLimit_);  // the limit we saw before
    if (actionSaved_) (void)::sigaction(SIGXFSZ, &oldAction_, nullptr);
    limitSaved_ = actionSaved_ = active_ = false;
  }

 private:
  struct sigaction oldAction_ {};
  struct rlimit oldLimit_ {};
  bool actionSaved_ = false;
  bool limitSaved_ = false;
  bool active_ = false;
};

class WriteFailureTest : public TransferTest,
                         public testing::WithParamInterface<std::tuple<Mode, Command>> {};

// A write that fails mid-upload aborts the command: "Unknown error" and the path in the log,
// 426, both the connection and the file closed. It is no bad command, and what was written
// before the failure stays.
TEST_P(WriteFailureTest, AbortsKeepsWhatWasWrittenAndTheSessionGoesOn) {
  const auto [mode, command] = GetParam();
  constexpr std::size_t kLimit = (1u << 20) + 100;  // not on a block boundary
  const std::string head = command == Command::Appe ? patterned(1000, 20) : "";
  const std::string sent = patterned(3u << 20, 21);
  writeFile(store() / "f.bin", command == Command::Appe ? head : patterned(5000, 22));
  const std::string line = std::string(word(command)) + " f.bin";
  {
    FileSizeLimit limit(kLimit);
    ASSERT_TRUE(limit.active());
    auto peer = begin(*client, mode, line);
    ASSERT_NE(peer, nullptr);
    // The server stops reading and closes its end part-way; the send then fails.
    (void)peer->send(sent);
    EXPECT_EQ(client->readLine(10s), kAborted);
    // Closed with data still unread, so the end may come as a reset.
    EXPECT_TRUE(drain(*peer, "", 10s).ended);
  }
  const std::string expected = head + sent.substr(0, kLimit - head.size());
  const std::string stored = readFile(store() / "f.bin");
  ASSERT_EQ(stored.size(), kLimit);
  EXPECT_TRUE(stored == expected) << "the bytes written before the failure differ";

  EXPECT_EQ(ask(*client, "NOOP"), kNoopOk);
  // The file was closed: another session may write it.
  EXPECT_EQ(writerOpen("f.bin"), 0u);
  const Download d = download(*client, mode, "RETR f.bin");
  EXPECT_EQ(d.reply, kCompleted);
  EXPECT_TRUE(d.data == expected);

  const int errorAt = harness.find("Unknown error");
  ASSERT_GE(errorAt, 0);
  EXPECT_EQ(harness.find("\\f.bin", static_cast<std::size_t>(errorAt)), errorAt + 1);
  EXPECT_EQ(harness.find("426 Connection transfer aborted.", static_cast<std::size_t>(errorAt)),
            errorAt + 2);
  EXPECT_EQ(harness.count("Failed to process"), 0);
}

INSTANTIATE_TEST_SUITE_P(Uploads, WriteFailureTest,
                         testing::Combine(testing::Values(Mode::Active, Mode::Passive),
                                          testing::Values(Command::Stor, Command::Appe)),
                         [](const testing::TestParamInfo<std::tuple<Mode, Command>>& i) {
                           return modeName(std::get<0>(i.param)) + word(std::get<1>(i.param));
                         });

// A client that drops the data connection mid-download: the send fails and the download is
// aborted with the path in the log (no "Unknown error": that belongs to uploads).
TEST_F(TransferTest, ClientDroppingADownloadAbortsIt) {
  const std::string content = largeContent(30);
  writeFile(store() / "big.bin", content);
  auto peer = begin(*client, Mode::Active, "RETR big.bin");
  ASSERT_NE(peer, nullptr);
  ASSERT_TRUE(dataArrives(*peer));
  ASSERT_EQ(writerOpen("big.bin"), platform::kErrorSharingViolation);
  uint32_t error = 0;
  char some[4096];
  ASSERT_GT(harness.network().receive(peer->connection(), some, sizeof some, error), 0);
  // Closed with unread data: the server's end is reset.
  peer->connection().close();
  EXPECT_EQ(client->readLine(10s), kAborted);
  EXPECT_TRUE(harness.waitForLine("\\big.bin"));
  EXPECT_EQ(harness.count("Unknown error"), 0);
  EXPECT_EQ(ask(*client, "NOOP"), kNoopOk);
  EXPECT_EQ(writerOpen("big.bin"), 0u);
}

// In active mode with nobody listening at the PORT address: RETR and STOR end after the
// preliminary reply (STOR has not made its file yet); APPE, which opened its file first,
// answers 426 and logs the path and why.
TEST_F(TransferTest, NoDataConnection) {
  writeFile(store() / "a.txt", "hello");
  const uint16_t nobody = drovn::test::ServiceHarness::findFreePort(harness.network());
  ASSERT_EQ(ask(*client, "PORT " + portArgument(nobody)), kPortOk);
  EXPECT_EQ(ask(*client, "RETR a.txt"), kActiveOpening);
  EXPECT_EQ(client->readFor(300ms), "");
  EXPECT_EQ(ask(*client, "STOR new.txt"), kActiveOpening);
  EXPECT_EQ(client->readFor(300ms), "");
  EXPECT_FALSE(fs::exists(store() / "new.txt"));
  EXPECT_EQ(ask(*client, "APPE appended.txt"), kActiveOpening);
  EXPECT_EQ(client->readLine(5s), kAborted);
  EXPECT_TRUE(fs::is_regular_file(store() / "appended.txt"));
  EXPECT_EQ(fs::file_size(store() / "appended.txt"), 0u);
  // The handler closes the file after its reply; it is done once the next command is answered.
  EXPECT_EQ(ask(*client, "NOOP"), kNoopOk);
  EXPECT_EQ(writerOpen("appended.txt"), 0u);
  const int abortedAt = harness.find("426 Connection transfer aborted.");
  ASSERT_GE(abortedAt, 0);
  EXPECT_EQ(harness.find("\\appended.txt", static_cast<std::size_t>(abortedAt)), abortedAt + 1);
  EXPECT_EQ(harness.find("Failed to get data connection", static_cast<std::size_t>(abortedAt)),
            abortedAt + 2);
  EXPECT_EQ(harness.count("Failed to connect data socket: 10061"), 3);
}

// ---- Sharing between sessions ----

class SharingTest : public TransferTest, public testing::WithParamInterface<Command> {};

// While one session writes a file every other open of it fails: RETR after its preliminary
// reply with 426, STOR after its preliminary reply with 550, APPE with 550 before any data
// connection. Once the writer is done the file is free again.
TEST_P(SharingTest, AWrittenFileIsNobodyElses) {
  const Command writer = GetParam();
  const std::string old = patterned(700, 40);
  const std::string first = patterned(1000, 41);
  const std::string second = patterned(500, 42);
  writeFile(store() / "shared.bin", old);
  const std::string kept = writer == Command::Stor ? "" : old;

  auto writing = begin(*client, Mode::Active, std::string(word(writer)) + " shared.bin");
  ASSERT_NE(writing, nullptr);
  ASSERT_TRUE(writing->send(first));
  ASSERT_TRUE(eventually([&] { return readFile(store() / "shared.bin") == kept + first; }));

  auto other = connectAndLogin();
  ASSERT_NE(other, nullptr);
  auto peer = begin(*other, Mode::Active, "RETR shared.bin");
  ASSERT_NE(peer, nullptr);
  EXPECT_EQ(other->readLine(5s), kAborted);
  EXPECT_EQ(peer->readAll(5s), "");
  peer = begin(*other, Mode::Passive, "STOR shared.bin");
  ASSERT_NE(peer, nullptr);
  EXPECT_EQ(other->readLine(5s), kAccessDenied);
  EXPECT_EQ(peer->readAll(5s), "");
  DataPeer unused(harness.network());
  ASSERT_EQ(ask(*other, "PORT " + unused.listen()), kPortOk);
  EXPECT_EQ(ask(*other, "APPE shared.bin"), kAccessDenied);
  EXPECT_FALSE(unused.accept(300ms));
  EXPECT_EQ(readFile(store() / "shared.bin"), kept + first);

  ASSERT_TRUE(writing->send(second));
  writing->close();
  EXPECT_EQ(client->readLine(10s), kCompleted);
  EXPECT_EQ(ask(*client, "NOOP"), kNoopOk);  // the writer has closed the file by then
  const Download d = download(*other, Mode::Passive, "RETR shared.bin");
  EXPECT_EQ(d.data, kept + first + second);
  EXPECT_EQ(d.reply, kCompleted);
  EXPECT_EQ(upload(*other, Mode::Active, "APPE shared.bin", "!"), kCompleted);
  EXPECT_EQ(readFile(store() / "shared.bin"), kept + first + second + "!");
}

INSTANTIATE_TEST_SUITE_P(Writers, SharingTest, testing::Values(Command::Stor, Command::Appe),
                         [](const testing::TestParamInfo<Command>& i) { return word(i.param); });

// Readers share: a second session downloads the whole file while the first download is still
// in progress, and both get every byte.
TEST_F(TransferTest, TwoDownloadsOfOneFileAtOnce) {
  const std::string content = largeContent(43);
  writeFile(store() / "big.bin", content);
  auto first = begin(*client, Mode::Active, "RETR big.bin");
  ASSERT_NE(first, nullptr);
  // The first download holds the file (a writer is refused) and waits for its client to read.
  ASSERT_TRUE(dataArrives(*first));
  ASSERT_EQ(writerOpen("big.bin"), platform::kErrorSharingViolation);

  auto other = connectAndLogin();
  ASSERT_NE(other, nullptr);
  auto second = begin(*other, Mode::Passive, "RETR big.bin");
  ASSERT_NE(second, nullptr);
  const Drained d2 = drain(*second, content, 60s);
  EXPECT_TRUE(d2.closed);
  EXPECT_EQ(d2.size, content.size());
  EXPECT_TRUE(d2.matches);
  EXPECT_EQ(other->readLine(10s), kCompleted);
  EXPECT_EQ(writerOpen("big.bin"), platform::kErrorSharingViolation);  // the first still reads

  const Drained d1 = drain(*first, content, 60s);
  EXPECT_TRUE(d1.closed);
  EXPECT_EQ(d1.size, content.size());
  EXPECT_TRUE(d1.matches);
  EXPECT_EQ(client->readLine(10s), kCompleted);
  EXPECT_EQ(ask(*client, "NOOP"), kNoopOk);
  EXPECT_EQ(writerOpen("big.bin"), 0u);
}

// ---- Special files ----

enum class Special { Fifo, Socket, Device };

const char* specialName(Special s) {
  switch (s) {
    case Special::Fifo:
      return "Fifo";
    case Special::Socket:
      return "Socket";
    case Special::Device:
      return "Device";
  }
  return "?";
}

void PrintTo(Special s, std::ostream* os) {
  *os << specialName(s);
}

// Makes the special file; false when this machine does not let the test make it.
bool makeSpecial(Special kind, const fs::path& path) {
  switch (kind) {
    case Special::Fifo:
      return ::mkfifo(path.c_str(), 0666) == 0;
    case Special::Device:
      // The null device: an open that is not refused would take any amount of data.
      return ::mknod(path.c_str(), S_IFCHR | 0666, makedev(1, 3)) == 0;
    case Special::Socket: {
      sockaddr_un address{};
      address.sun_family = AF_UNIX;
      const std::string text = path.string();
      if (text.size() >= sizeof address.sun_path) return false;
      std::copy(text.begin(), text.end(), address.sun_path);
      const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
      if (fd < 0) return false;
      const bool bound =
          ::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
      (void)::close(fd);  // the socket's name stays in the directory
      return bound;
    }
  }
  return false;
}

class SpecialFileTest : public TransferTest, public testing::WithParamInterface<Special> {};

// A FIFO, a socket or a device in the store is refused like a file that cannot be opened, and
// no command waits on it.
TEST_P(SpecialFileTest, RefusedWithoutWaiting) {
  const fs::path path = store() / "special";
  if (!makeSpecial(GetParam(), path)) GTEST_SKIP() << "cannot make the special file here";
  const fs::file_type type = fs::symlink_status(path).type();

  const auto started = std::chrono::steady_clock::now();
  auto peer = begin(*client, Mode::Active, "RETR special");
  ASSERT_NE(peer, nullptr);
  EXPECT_EQ(client->readLine(5s), kAborted);
  EXPECT_EQ(peer->readAll(5s), "");
  peer = begin(*client, Mode::Passive, "STOR special");
  ASSERT_NE(peer, nullptr);
  EXPECT_EQ(client->readLine(5s), kAccessDenied);
  EXPECT_EQ(peer->readAll(5s), "");
  DataPeer unused(harness.network());
  ASSERT_EQ(ask(*client, "PORT " + unused.listen()), kPortOk);
  EXPECT_EQ(ask(*client, "APPE special"), kAccessDenied);
  EXPECT_FALSE(unused.accept(300ms));
  EXPECT_EQ(ask(*client, "REST 5"), restReply(5));
  peer = begin(*client, Mode::Passive, "STOR special");
  ASSERT_NE(peer, nullptr);
  EXPECT_EQ(client->readLine(5s), kAccessDenied);
  EXPECT_EQ(ask(*client, "NOOP"), kNoopOk);
  EXPECT_LT(std::chrono::steady_clock::now() - started, 10s);
  EXPECT_EQ(fs::symlink_status(path).type(), type);
}

INSTANTIATE_TEST_SUITE_P(Kinds, SpecialFileTest,
                         testing::Values(Special::Fifo, Special::Socket, Special::Device),
                         [](const testing::TestParamInfo<Special>& i) {
                           return specialName(i.param);
                         });

// ---- Confinement ----

// Account 1 with its root in home/user1 of the store; home/user2 is a sibling and the store's
// own parent directory lies beside it.
class TransferConfinementTest : public TransferTest, public testing::WithParamInterface<Command> {
 protected:
  void configure(config::Settings& s) override {
    s.auth_enable1 = true;
    s.auth_user1.assign("user1");
    s.auth_pwd1.assign("pw");
    s.auth_root1.assign("/home/user1");
  }

  void SetUp() override {
    ProtocolTest::SetUp();
    if (HasFatalFailure()) return;
    root = store() / "home" / "user1";
    const fs::path sibling = store() / "home" / "user2";
    writeFile(root / "inside.txt", "inside");
    fs::create_directories(root / "sub");
    writeFile(sibling / "secret.txt", "secret sibling");
    beside = store().parent_path();
    const std::string stem = store().filename().string();
    besideSecret = stem + "-secret.txt";
    besideNew = stem + "-made.txt";
    writeFile(beside / besideSecret, "secret beside");
    fs::create_directory_symlink(sibling, root / "siblingDir");
    fs::create_directory_symlink("..", root / "upLink");
    fs::create_symlink("../user2/secret.txt", root / "siblingFile");
    fs::create_directory_symlink(beside, root / "besideDir");
    fs::create_symlink(beside / besideSecret, root / "besideFile");
    fs::create_symlink(beside / besideNew, root / "danglingOut");
    fs::create_symlink("../user2/new.txt", root / "danglingUp");
    fs::create_directory_symlink("sub", root / "inLink");
    client = connect();
    ASSERT_NE(client, nullptr);
    login(*client, "user1", "pw");
  }

  void TearDown() override {
    std::error_code ec;
    fs::remove(beside / besideSecret, ec);
    fs::remove(beside / besideNew, ec);
  }

  std::vector<std::string> targets() const {
    const std::string out = "../../../";  // from the root to beside the store
    return {"../user2/secret.txt",
            "/../user2/secret.txt",
            "sub/../../user2/secret.txt",
            "./../user2/secret.txt",
            "..\\user2\\secret.txt",
            "\\..\\user2\\secret.txt",
            "../user2/new.txt",
            out + besideSecret,
            out + besideNew,
            "siblingDir/secret.txt",
            "siblingDir/new.txt",
            "siblingFile",
            "upLink/user2/secret.txt",
            "upLink/user2/new.txt",
            "besideDir/" + besideSecret,
            "besideDir/" + besideNew,
            "besideFile",
            "danglingOut",
            "danglingUp"};
  }

  fs::path root;
  fs::path beside;
  std::string besideSecret;
  std::string besideNew;
};

// Every escape is refused with 550 before any data connection, and nothing outside the root
// is read, made or changed; links that stay inside keep working.
TEST_P(TransferConfinementTest, EscapesAreRefusedBeforeAnyDataConnection) {
  const std::string command = word(GetParam());
  const std::vector<std::string> storeBefore = snapshotTree(store());
  DataPeer peer(harness.network());
  ASSERT_EQ(ask(*client, "PORT " + peer.listen()), kPortOk);
  for (const std::string& target : targets()) {
    SCOPED_TRACE(target);
    EXPECT_EQ(ask(*client, command + " " + target), kAccessDenied);
  }
  EXPECT_FALSE(peer.accept(300ms));
  EXPECT_EQ(snapshotTree(store()), storeBefore);
  EXPECT_EQ(readFile(beside / besideSecret), "secret beside");
  EXPECT_FALSE(fs::exists(fs::symlink_status(beside / besideNew)));

  switch (GetParam()) {
    case Command::Retr: {
      const Download d = download(*client, Mode::Passive, "RETR inLink/../inside.txt");
      EXPECT_EQ(d.data, "inside");
      EXPECT_EQ(d.reply, kCompleted);
      break;
    }
    case Command::Stor:
    case Command::Appe:
      EXPECT_EQ(upload(*client, Mode::Passive, command + " inLink/made.txt", "made"), kCompleted);
      EXPECT_EQ(readFile(root / "sub" / "made.txt"), "made");
      break;
  }
}

INSTANTIATE_TEST_SUITE_P(Commands, TransferConfinementTest,
                         testing::Values(Command::Retr, Command::Stor, Command::Appe),
                         [](const testing::TestParamInfo<Command>& i) { return word(i.param); });

// ---- The service stops mid-transfer ----

// A slower clock gives the session a grace period of 800 ms real time to end when the service
// stops, long enough for the client side to let the transfer in progress move on, so the
// session ends by itself and its log stays visible.
class ServiceStopTest : public TransferTest {
 protected:
  ServiceStopTest() : TransferTest(slowClock()) {}

  static drovn::test::HarnessOptions slowClock() {
    drovn::test::HarnessOptions options;
    options.clockSpeed = 10;
    return options;
  }

  // Stops the service while clientSide runs on a thread of its own: it first waits for the
  // control connection to be closed, which happens once the session has been told to close.
  template <typename ClientSide>
  void stopWhile(ClientSide clientSide) {
    std::jthread side([&] {
      EXPECT_TRUE(client->waitClosed(10s));
      clientSide();
    });
    harness.service().stopService();
  }

  void expectEndedWithoutFinalReply() {
    EXPECT_TRUE(harness.waitForLine("#1>Disconnected."));
    EXPECT_EQ(harness.count("#1>Force killed"), 0);
    EXPECT_EQ(harness.count("226 Transfer completed."), 0);
    EXPECT_EQ(harness.count("426 Connection transfer aborted."), 0);
    EXPECT_EQ(client->readFor(100ms), "");
  }
};

// The session is told to close while its download waits for the client: the block in progress
// is finished, then the connection and the file are closed and no final reply is sent.
TEST_F(ServiceStopTest, DownloadEndsAfterTheBlockInProgress) {
  const std::string content = largeContent(50);
  writeFile(store() / "big.bin", content);
  auto peer = begin(*client, Mode::Active, "RETR big.bin");
  ASSERT_NE(peer, nullptr);
  ASSERT_TRUE(dataArrives(*peer));
  ASSERT_EQ(writerOpen("big.bin"), platform::kErrorSharingViolation);
  Drained d;
  stopWhile([&] { d = drain(*peer, content, 30s); });
  EXPECT_TRUE(d.closed);
  EXPECT_TRUE(d.matches);
  EXPECT_GT(d.size, 0u);
  EXPECT_LT(d.size, content.size());
  EXPECT_TRUE(eventually([&] { return writerOpen("big.bin") == 0; }));
  expectEndedWithoutFinalReply();
}

// The same for an upload: the stop shuts the data connection down (a client that sends
// nothing more must not hold the stop), the file keeps everything written before, and no
// final reply is sent.
TEST_F(ServiceStopTest, UploadEndsAfterTheBlockInProgress) {
  const std::string first = patterned(1000, 51);
  auto peer = begin(*client, Mode::Passive, "STOR up.bin");
  ASSERT_NE(peer, nullptr);
  ASSERT_TRUE(peer->send(first));
  ASSERT_TRUE(eventually([&] { return readFile(store() / "up.bin") == first; }));
  std::optional<std::string> after;
  stopWhile([&] {
    // The server closes the data connection itself.
    after = peer->readAll(10s);
  });
  EXPECT_EQ(after, "");
  EXPECT_TRUE(eventually([&] { return writerOpen("up.bin") == 0; }));
  EXPECT_EQ(readFile(store() / "up.bin"), first);
  expectEndedWithoutFinalReply();
}

}  // namespace
}  // namespace drovn::protocol::test
