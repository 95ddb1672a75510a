// File transfers over real data connections in both modes: byte exactness around the block
// size, restart offsets, failures of the file, and a session told to close mid-transfer.
#include <algorithm>
#include <string>
#include <vector>

#include "ProtocolTestSupport.h"
#include "platform/ErrorCodes.h"

namespace drovn::protocol::test {
namespace {

using drovn::test::FileCall;

std::string restReply(std::size_t offset) {
  return "350 REST from " + std::to_string(offset) + "\r\n";
}

class TransferTest : public ProtocolTest, public testing::WithParamInterface<Mode> {
 protected:
  void SetUp() override {
    ProtocolTest::SetUp();
    if (HasFatalFailure()) return;
    client = connectAndLogin();
    ASSERT_NE(client, nullptr);
  }
  Mode mode() const { return GetParam(); }
  std::unique_ptr<FtpClient> client;
};

// A download sends the file from the offset on; an upload with an offset keeps the bytes
// before it and cuts the rest, and one past the end of the file leaves a hole of zero bytes.
TEST_P(TransferTest, RoundTripsAroundTheBlockSize) {
  const std::string f = (store() / "f.bin").string();
  for (const std::size_t size : {std::size_t{0}, std::size_t{1}, kBlock - 1, kBlock, kBlock + 1,
                                 4 * kBlock + 3}) {
    for (const std::size_t offset : {std::size_t{0}, std::size_t{100}, kBlock}) {
      SCOPED_TRACE("size " + std::to_string(size) + " offset " + std::to_string(offset));
      const std::string content = patterned(size, static_cast<uint32_t>(size + offset));
      const std::size_t present = std::min(offset, size);
      writeFile(f, content);
      EXPECT_EQ(ask(*client, "REST " + std::to_string(offset)), restReply(offset));
      std::string reply;
      const std::string data = download(*client, mode(), "RETR f.bin", reply);
      EXPECT_EQ(reply, kCompleted);
      EXPECT_TRUE(data == content.substr(present)) << data.size() << " bytes";

      const std::string before = content.substr(0, present) + patterned(300, 99);
      writeFile(f, before);
      EXPECT_EQ(ask(*client, "REST " + std::to_string(offset)), restReply(offset));
      EXPECT_EQ(upload(*client, mode(), "STOR f.bin", content.substr(present)), kCompleted);
      std::string expected = before.substr(0, std::min(offset, before.size()));
      expected.resize(offset, '\0');
      const std::string stored = readFile(f);
      EXPECT_TRUE(stored == expected + content.substr(present)) << stored.size() << " bytes";
    }
  }
}

// APPE adds at the end whatever the offset, which stays for the next download.
TEST_P(TransferTest, AppendIgnoresTheOffset) {
  const std::string old = patterned(250, 6), added = patterned(30, 7);
  writeFile(store() / "f.bin", old);
  EXPECT_EQ(ask(*client, "REST 100"), restReply(100));
  EXPECT_EQ(upload(*client, mode(), "APPE f.bin", added), kCompleted);
  EXPECT_EQ(readFile(store() / "f.bin"), old + added);
  std::string reply;
  EXPECT_EQ(download(*client, mode(), "RETR f.bin", reply), (old + added).substr(100));
  EXPECT_EQ(reply, kCompleted);
  EXPECT_EQ(upload(*client, mode(), "APPE new.bin", "one"), kCompleted);
  EXPECT_EQ(readFile(store() / "new.bin"), "one");
}

INSTANTIATE_TEST_SUITE_P(BothModes, TransferTest, testing::Values(Mode::Active, Mode::Passive),
                         [](const testing::TestParamInfo<Mode>& i) { return modeName(i.param); });

// A file call that fails mid-transfer aborts it with 426 and these log lines in a row; the
// session goes on, and what was written before the failure stays.
struct FaultCase {
  const char* name;
  Mode mode;
  const char* line;
  FileCall call;
  int nth;
  uint32_t code;
  std::vector<std::string> log;
};

class FaultTest : public ProtocolTest, public testing::WithParamInterface<FaultCase> {};

TEST_P(FaultTest, AbortsAndTheSessionGoesOn) {
  const FaultCase& c = GetParam();
  const std::string old = patterned(3000, 1), sent = patterned(3u << 20, 2);
  const bool upload = c.call == FileCall::Write;
  writeFile(store() / "f.bin", old);
  auto client = connectAndLogin();
  ASSERT_NE(client, nullptr);
  files().atCall(c.call, c.nth, c.code);
  auto peer = begin(*client, c.mode, c.line);
  ASSERT_NE(peer, nullptr);
  if (upload) (void)peer->send(sent);  // the server stops reading part-way
  const auto data = peer->readAll();
  EXPECT_EQ(client->readLine(), kAborted);
  EXPECT_EQ(ask(*client, "NOOP"), kNoop);
  const int at = harness.find(c.log[0]);
  ASSERT_GE(at, 0);
  for (std::size_t i = 1; i < c.log.size(); ++i) {
    EXPECT_EQ(harness.find(c.log[i], static_cast<std::size_t>(at)), at + static_cast<int>(i));
  }
  EXPECT_EQ(harness.count("Failed to process"), 0);
  const std::string stored = readFile(store() / "f.bin");
  if (!upload) {
    EXPECT_EQ(data, old);  // the first block, read before the failure
    return;
  }
  const std::string head = std::string(c.line).starts_with("APPE") ? old : "";
  ASSERT_GE(stored.size(), head.size());
  EXPECT_LT(stored.size(), head.size() + sent.size());
  EXPECT_TRUE(stored == head + sent.substr(0, stored.size() - head.size()));
}

const std::vector<std::string> kUploadLog = {"Unknown error", "\\f.bin",
                                             "426 Connection transfer aborted."};

INSTANTIATE_TEST_SUITE_P(
    Calls, FaultTest,
    testing::Values(
        FaultCase{"DiskFullInStor", Mode::Passive, "STOR f.bin", FileCall::Write, 3,
                  platform::kErrorDiskFull, kUploadLog},
        FaultCase{"DiskFullInAppe", Mode::Active, "APPE f.bin", FileCall::Write, 1,
                  platform::kErrorDiskFull, kUploadLog},
        FaultCase{"ReadFailsInRetr", Mode::Passive, "RETR f.bin", FileCall::Read, 2,
                  platform::kErrorIoDevice, {"426 Connection transfer aborted.", "\\f.bin"}}),
    [](const testing::TestParamInfo<FaultCase>& i) { return std::string(i.param.name); });

// The session is told to close, as a stop does, just before the read after the last block: it
// ends without a final reply, whether that read finds the end of the file or fails.
class CloseTest : public ProtocolTest, public testing::WithParamInterface<uint32_t> {};

TEST_P(CloseTest, AfterTheLastBlockNoFinalReply) {
  const std::string content = patterned(3000, 5);
  writeFile(store() / "f.bin", content);
  auto client = connectAndLogin();
  ASSERT_NE(client, nullptr);
  files().atCall(FileCall::Read, 2, GetParam(), [] { currentSession().closing.store(true); });
  auto peer = begin(*client, Mode::Active, "RETR f.bin");
  ASSERT_NE(peer, nullptr);
  EXPECT_EQ(peer->readAll(), content);
  EXPECT_TRUE(client->waitClosed());
  EXPECT_EQ(client->readFor(0ms), "");
  EXPECT_TRUE(harness.waitForLine("#1>Disconnected."));
  EXPECT_EQ(harness.count("226 Transfer completed."), 0);
  EXPECT_EQ(harness.count("426 Connection transfer aborted."), 0);
}

INSTANTIATE_TEST_SUITE_P(EndOrFailure, CloseTest, testing::Values(0u, platform::kErrorIoDevice));

}  // namespace
}  // namespace drovn::protocol::test
