// What the command tests share: a running service on 127.0.0.1 with a temporary file store that
// its sessions reach through the harness's FaultFileSystem; a client that sends one command line and reads
// its whole reply; the test's end of data connections in both modes.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "protocol/Session.h"
#include "support/FaultFileSystem.h"
#include "support/ServiceHarness.h"

namespace drovn::protocol::test {

using namespace std::chrono_literals;
using drovn::test::FtpClient;

inline constexpr char kAccessDenied[] = "550 Access denied!\r\n";
inline constexpr char kPortOk[] = "200 PORT command ok.\r\n";
inline constexpr char kActiveOpening[] = "150 Opening data connection...\r\n";
inline constexpr char kPassiveOpened[] = "125 Connection transfer starting...\r\n";
inline constexpr char kCompleted[] = "226 Transfer completed.\r\n";
inline constexpr char kAborted[] = "426 Connection transfer aborted.\r\n";
inline constexpr char kNoop[] = "200 OK \r\n";
inline constexpr std::size_t kBlock = 458752;

enum class Mode { Active, Passive };
inline std::string modeName(const testing::TestParamInfo<Mode>& m) {
  return m.param == Mode::Active ? "Active" : "Passive";
}

// The test's end of a data connection, on 127.0.0.1. Active mode: listen() gives the PORT
// argument, accept() takes the server's connection. Passive mode: connectTo() the port of a
// 227 reply, from `from`: another loopback address stands in for another host.
class DataPeer {
 public:
  explicit DataPeer(platform::Network& network) : network_(network) {}
  std::string listen(int backlog = 4);  // "" on failure
  void closeListener() { listener_.close(); }
  bool accept();
  bool connectTo(uint16_t port, uint32_t from = 0x7F000001);
  // Everything until the server closes the connection; nothing when it does not in time.
  std::optional<std::string> readAll();
  bool send(std::string_view bytes);
  void close() { connection_.shutdownAndClose(); }

 private:
  platform::Network& network_;
  platform::Socket listener_;
  platform::Socket connection_;
};

class ProtocolTest : public testing::Test {
 protected:
  explicit ProtocolTest(drovn::test::HarnessOptions options = {});
  // The service starts listening with the settings as they stand after configure().
  void SetUp() override;
  virtual void configure(config::Settings&) {}

  // Sends line + CR LF and gives the whole reply (every line of a multi-line one), or
  // "<no reply>" when none arrives in time.
  std::string ask(FtpClient& client, std::string_view line);
  // A client that has read its greeting and, unless user is empty, logged in.
  std::unique_ptr<FtpClient> connect(std::string_view user = "anonymous",
                                     std::string_view password = "guest");

  // Sends the command after PORT (to a new peer) or PASV and opens the test's end of its data
  // connection; gives it once the mode's preliminary reply has arrived, else null.
  std::unique_ptr<DataPeer> begin(FtpClient& c, Mode mode, const std::string& line);
  // The data until the server closes the connection, then the final reply.
  std::string download(FtpClient& c, Mode mode, const std::string& line, std::string& reply);
  // The bytes, an orderly close, and the final reply.
  std::string upload(FtpClient& c, Mode mode, const std::string& line, std::string_view bytes);

  std::filesystem::path store() const { return harness.storeDir(); }
  drovn::test::FaultFileSystem& files() { return harness.fileFaults(); }  // every session's

  drovn::test::ServiceHarness harness;
};

// The session of the calling thread, set for each command (for code that files() runs).
inline thread_local Session* currentSession = nullptr;
// The port a "227 (h1,h2,h3,h4,p1,p2) ..." reply announces; 0 when the reply is not one.
uint16_t passivePort(std::string_view reply);
std::string portArgument(uint16_t port);
using drovn::test::readFile;
using drovn::test::writeFile;
// Bytes of every value in an order fixed by the seed: CR, LF and NUL among them, so any
// translation of line ends would show.
std::string patterned(std::size_t n, uint32_t seed);

}  // namespace drovn::protocol::test
