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
    client = connect();
    ASSERT_NE(client, nullptr);
  }
  Mode mode() const { return GetParam(); }
  std::unique_ptr<FtpClient> client;
};

// A download sends the file from the offset on; an upload with an offset keeps the bytes
// before it and cuts the rest, and one past the end of the file leaves a hole of zero bytes.
// Sizes on both sides of the block boundary.
TEST_P(TransferTest, RoundTripsAroundTheBlockSize) {
  const std::string f = (store() / "f.bin").string();
  for (const std::size_t size :
       {std::size_t{0}, std::size_t{1}, kBlock - 1, kBlock, kBlock + 1, 4 * kBlock + 3}) {
    for (const std::size_t offset : {std::size_t{0}, std::size_t{100}, kBlock}) {
      SCOPED_TRACE("size " + std::to_string(size) + " offset " + std::to_string(offset));
      const std::string content = patterned(size, static_cast<uint32_t>(size + offset));
      const std::size_t present = std::min(offset, size);
      // APPE adds at the end whatever the offset, which stays for the download.
      writeFile(f, content.substr(0, size / 2));
      EXPECT_EQ(ask(*client, "REST " + std::to_string(offset)), restReply(offset));
      EXPECT_EQ(upload(*client, mode(), "APPE f.bin", content.substr(size / 2)), kCompleted);
      EXPECT_TRUE(readFile(f) == content);
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
      ASSERT_FALSE(HasFailure());  // one broken case is enough: the next would wait again
    }
  }
}

// A file call that fails mid-transfer aborts it with 426 and these log lines in a row; the
// session goes on, and what was written before the failure stays.
TEST_P(TransferTest, FileFailuresAbort) {
  const std::string old = patterned(3000, 1), sent = patterned(3u << 20, 2);
  const char* uploadLog = "Unknown error\n\\f.bin\n426 Connection transfer aborted.\n";
  const struct {
    const char* line;
    FileCall call;
    int nth;
    int err;
    const char* log;
  } cases[] = {{"STOR f.bin", FileCall::Write, 3, ENOSPC, uploadLog},
               {"APPE f.bin", FileCall::Write, 1, ENOSPC, uploadLog},
               {"RETR f.bin", FileCall::Read, 2, EIO,
                "426 Connection transfer aborted.\n\\f.bin\n"}};
  const auto log = [this] {
    std::string all;
    for (const std::string& line : harness.lines()) all += line + "\n";
    return all;
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.line);
    const std::size_t logged = log().size();
    writeFile(store() / "f.bin", old);
    files().atCall(c.call, c.nth, c.err);
    auto peer = begin(*client, mode(), c.line);
    ASSERT_NE(peer, nullptr);
    if (c.call == FileCall::Write) (void)peer->send(sent);  // the server stops reading part-way
    const auto data = peer->readAll();
    EXPECT_EQ(client->readLine(), kAborted);
    EXPECT_EQ(ask(*client, "NOOP"), kNoop);
    EXPECT_NE(log().find(c.log, logged), std::string::npos) << log();
    const std::string stored = readFile(store() / "f.bin");
    const std::string head = c.call == FileCall::Read || c.line[0] == 'A' ? old : "";
    ASSERT_GE(stored.size(), head.size());
    EXPECT_LE(stored.size(), head.size() + sent.size());
    EXPECT_TRUE(stored == head + sent.substr(0, stored.size() - head.size()));
    EXPECT_TRUE(c.call != FileCall::Read || data == old);  // the block read before the failure
  }
  EXPECT_EQ(harness.count("Failed to process"), 0);
}

// The session is told to close, as a stop does, just before the read after the last block: it
// ends without a final reply, whether that read finds the end of the file or fails.
TEST_P(TransferTest, ClosingAfterTheLastBlockSendsNoFinalReply) {
  const std::string content = patterned(3000, 5);
  writeFile(store() / "f.bin", content);
  for (const int readError : {0, EIO}) {
    SCOPED_TRACE(readError);
    files().atCall(FileCall::Read, 2, readError, [] { currentSession->closing.store(true); });
    auto peer = begin(*client, mode(), "RETR f.bin");
    ASSERT_NE(peer, nullptr);
    EXPECT_EQ(peer->readAll(), content);
    EXPECT_TRUE(client->waitClosed());
    EXPECT_EQ(client->readFor(0ms), "");
    client = connect();
    ASSERT_NE(client, nullptr);
  }
  EXPECT_EQ(harness.count("226 Transfer completed."), 0);
  EXPECT_EQ(harness.count("426 Connection transfer aborted."), 0);
}

INSTANTIATE_TEST_SUITE_P(BothModes, TransferTest, testing::Values(Mode::Active, Mode::Passive),
                         modeName);

}  // namespace
}  // namespace drovn::protocol::test
