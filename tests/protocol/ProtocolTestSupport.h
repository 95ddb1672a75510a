// What the command tests share: a running service on 127.0.0.1 with a temporary file store, its
// sessions seeing the store through a FaultFileSystem; a client that sends one command line and
// reads its whole reply; the test's end of data connections in both modes.
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

#include "config/Settings.h"
#include "protocol/Session.h"
#include "support/FaultFileSystem.h"
#include "support/ServiceHarness.h"

namespace drovn::protocol::test {

using namespace std::chrono_literals;
using drovn::test::FtpClient;

inline constexpr char kAccessDenied[] = "550 Access denied!\r\n";
inline constexpr char kPasswordOk[] = "230 Password ok.\r\n";
inline constexpr char kPortOk[] = "200 PORT command ok.\r\n";
inline constexpr char kActiveOpening[] = "150 Opening data connection...\r\n";
inline constexpr char kPassiveOpened[] = "125 Connection transfer starting...\r\n";
inline constexpr char kCompleted[] = "226 Transfer completed.\r\n";
inline constexpr char kAborted[] = "426 Connection transfer aborted.\r\n";
inline constexpr char kNoop[] = "200 OK \r\n";
inline constexpr std::size_t kBlock = 458752;

enum class Mode { Active, Passive };
std::string modeName(Mode m);

// One command line and the whole reply it must get ("" for none).
struct Exchange {
  std::string line;
  std::string reply;
};

// The test's end of a data connection, on 127.0.0.1. Active mode: listen() and give its PORT
// argument, then accept() the server's connection. Passive mode: connectTo() the port of a 227
// reply. Every wait is bounded.
class DataPeer {
 public:
  explicit DataPeer(platform::Network& network) : network_(network) {}
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

 private:
  platform::Network& network_;
  platform::Socket listener_;
  platform::Socket connection_;
  uint16_t listeningPort_ = 0;
};

struct SessionFaults;

class ProtocolTest : public testing::Test {
 protected:
  ProtocolTest() : ProtocolTest(drovn::test::HarnessOptions{}) {}
  // A service with its own options (another clock, other limits).
  explicit ProtocolTest(drovn::test::HarnessOptions options);

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
  void login(FtpClient& client, std::string_view user = "anonymous",
             std::string_view password = "guest");
  std::unique_ptr<FtpClient> connectAndLogin();

  // Sends the command after PORT (to a new peer) or PASV and opens the test's end of its data
  // connection; gives it once the mode's preliminary reply has arrived, else null.
  std::unique_ptr<DataPeer> begin(FtpClient& c, Mode mode, const std::string& line);
  // The data until the server closes the connection, then the final reply.
  std::string download(FtpClient& c, Mode mode, const std::string& line, std::string& reply);
  // The bytes, an orderly close, and the final reply.
  std::string upload(FtpClient& c, Mode mode, const std::string& line, std::string_view bytes);

  // The store directory: the device root "\" and the root "/" of the default accounts.
  std::filesystem::path store() const { return harness.storeDir(); }
  // The store every session uses.
  drovn::test::FaultFileSystem& files();
  // The session whose thread calls it (from code run by files() during a command).
  static Session& currentSession();

 private:
  std::shared_ptr<SessionFaults> faults_;  // before harness, whose dispatch holds it

 protected:
  drovn::test::ServiceHarness harness;
};

// The port a "227 (h1,h2,h3,h4,p1,p2) ..." reply announces; 0 when the reply is not one.
uint16_t passivePort(std::string_view reply);
std::string portArgument(uint16_t port);

// Creates the file (and its directories) with the given bytes.
void writeFile(const std::filesystem::path& file, std::string_view bytes);
std::string readFile(const std::filesystem::path& file);
// Bytes of every value in an order fixed by the seed: CR, LF and NUL among them, so any
// translation of line ends would show.
std::string patterned(std::size_t n, uint32_t seed);

}  // namespace drovn::protocol::test
