// What the command tests share: a running service on 127.0.0.1 with a temporary file store, a
// client that sends one command line and reads its whole reply, and small helpers for the
// files the commands act on.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "config/Settings.h"
#include "platform/Network.h"
#include "platform/Socket.h"
#include "support/ServiceHarness.h"

namespace drovn::protocol::test {

using namespace std::chrono_literals;
using drovn::test::FtpClient;

inline constexpr char kAccessDenied[] = "550 Access denied!\r\n";
inline constexpr char kPleaseLogIn[] = "530 Please log in first.\r\n";
inline constexpr char kPasswordOk[] = "230 Password ok.\r\n";
inline constexpr char kBadParameter[] = "500 Bad command parameter.\r\n";

// One command line and the whole reply it must get ("" for none).
struct Exchange {
  std::string line;
  std::string reply;
};

class ProtocolTest : public testing::Test {
 protected:
  ProtocolTest() = default;
  // A service with its own options (a test dispatcher in front of the real one, another clock).
  explicit ProtocolTest(drovn::test::HarnessOptions options) : harness(std::move(options)) {}

  // The service starts listening with the settings as they stand after configure().
  void SetUp() override;
  virtual void configure(config::Settings&) {}

  // A connected client that has read its greeting.
  std::unique_ptr<FtpClient> connect();
  // Sends line + CR LF and gives the whole reply (every line of a multi-line one), or
  // "<no reply>" when none arrives in time.
  std::string ask(FtpClient& client, std::string_view line);
  // ask() for every exchange, comparing the replies; a reply "" means none must arrive.
  void expectExchanges(FtpClient& client, const std::vector<Exchange>& exchanges);
  // USER and PASS with the given texts, expecting the login to succeed.
  void login(FtpClient& client, std::string_view user = "anonymous",
             std::string_view password = "guest");
  std::unique_ptr<FtpClient> connectAndLogin();

  // The store directory: the device root "\" and the root "/" of the default accounts.
  std::filesystem::path store() const;
  drovn::test::ServiceHarness harness;
};

// The test's end of a data connection, on 127.0.0.1. Active mode: listen() and give its PORT
// argument, then accept() the server's connection. Passive mode: connectTo() the port of a 227
// reply. Every wait is bounded.
class DataPeer {
 public:
  explicit DataPeer(platform::Network& network) : network_(network) {}
  DataPeer(const DataPeer&) = delete;
  DataPeer& operator=(const DataPeer&) = delete;

  // Listens on a free port; gives the PORT argument "127,0,0,1,p1,p2" ("" on failure).
  std::string listen();
  uint16_t listeningPort() const { return listeningPort_; }
  bool accept(std::chrono::milliseconds timeout = 5s);
  // From `from` (host order), another loopback address standing in for another host.
  bool connectTo(uint16_t port, uint32_t from = 0x7F000001);
  // Everything until the server closes the connection; nothing when it does not close in time.
  std::optional<std::string> readAll(std::chrono::milliseconds timeout = 10s);
  bool send(std::string_view bytes);
  // An orderly close of the test's end (the server reads the end of the data).
  void close() { connection_.shutdownAndClose(); }
  void closeListener() { listener_.close(); }
  platform::Socket& connection() { return connection_; }

 private:
  platform::Network& network_;
  platform::Socket listener_;
  platform::Socket connection_;
  uint16_t listeningPort_ = 0;
};

// The port a "227 (h1,h2,h3,h4,p1,p2) ..." reply announces; 0 when the reply is not one.
uint16_t passivePort(std::string_view reply);
// The PORT argument for 127.0.0.1 and the port.
std::string portArgument(uint16_t port);

// Creates the file (and its directories) with the given bytes.
void writeFile(const std::filesystem::path& file, std::string_view bytes);
std::string readFile(const std::filesystem::path& file);

// A listing of everything under dir (links not followed): path, kind, size and file contents;
// two listings differ when anything below dir was touched.
std::vector<std::string> snapshotTree(const std::filesystem::path& dir);

// The code-page-936 bytes of 中文.
inline constexpr std::string_view kChineseGbk = "\xD6\xD0\xCE\xC4";
inline constexpr std::string_view kChineseUtf8 = "中文";

}  // namespace drovn::protocol::test
