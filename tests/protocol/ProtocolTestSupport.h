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
#include <string>
#include <string_view>
#include <vector>

#include "config/Settings.h"
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
