#include "ProtocolTestSupport.h"

#include <algorithm>
#include <cctype>
#include <fstream>
#include <sstream>

namespace drovn::protocol::test {

namespace fs = std::filesystem;

namespace {

// The last line of a reply: three digits and a space (a line with a '-' after the digits opens
// a multi-line reply).
bool endsReply(const std::string& line) {
  return line.size() >= 4 && line[3] == ' ' && std::isdigit(static_cast<unsigned char>(line[0]));
}

}  // namespace

void ProtocolTest::SetUp() {
  harness.editSettings([this](config::Settings& s) { configure(s); });
  ASSERT_TRUE(harness.startListening());
}

std::unique_ptr<FtpClient> ProtocolTest::connect() {
  auto client = harness.connectClient();
  EXPECT_NE(client, nullptr) << "no greeting";
  return client;
}

std::string ProtocolTest::ask(FtpClient& client, std::string_view line) {
  std::string request(line);
  request.append("\r\n");
  if (!client.send(request)) return "<not sent>";
  std::string reply;
  // A reply has at most a few lines; a bounded count keeps a runaway server from hanging here.
  for (int lines = 0; lines < 16; ++lines) {
    auto next = client.readLine(5s);
    if (!next) return reply.empty() ? "<no reply>" : reply + "<cut>";
    reply += *next;
    if (endsReply(*next)) return reply;
  }
  return reply + "<too long>";
}

void ProtocolTest::expectExchanges(FtpClient& client, const std::vector<Exchange>& exchanges) {
  for (const Exchange& e : exchanges) {
    if (e.reply.empty()) {
      ASSERT_TRUE(client.send(e.line + "\r\n"));
      EXPECT_EQ(client.readFor(300ms), "") << "after " << e.line;
      continue;
    }
    EXPECT_EQ(ask(client, e.line), e.reply) << "for " << testing::PrintToString(e.line);
  }
}

void ProtocolTest::login(FtpClient& client, std::string_view user, std::string_view password) {
  const std::string u = "USER " + std::string(user);
  const std::string p = "PASS " + std::string(password);
  ASSERT_EQ(ask(client, u).substr(0, 4), "331 ");
  ASSERT_EQ(ask(client, p), kPasswordOk);
}

std::unique_ptr<FtpClient> ProtocolTest::connectAndLogin() {
  auto client = connect();
  if (client) login(*client);
  return client;
}

fs::path ProtocolTest::store() const {
  return fs::path(harness.storeDir());
}

void writeFile(const fs::path& file, std::string_view bytes) {
  fs::create_directories(file.parent_path());
  std::ofstream out(file, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  ASSERT_TRUE(out.good()) << file;
}

std::string readFile(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  std::ostringstream all;
  all << in.rdbuf();
  return all.str();
}

std::vector<std::string> snapshotTree(const fs::path& dir) {
  std::vector<std::string> entries;
  for (auto it = fs::recursive_directory_iterator(dir); it != fs::recursive_directory_iterator();
       ++it) {
    const fs::directory_entry& e = *it;
    std::string line = fs::relative(e.path(), dir).string();
    if (e.is_symlink()) {
      line += " -> " + fs::read_symlink(e.path()).string();
    } else if (e.is_directory()) {
      line += "/";
    } else if (e.is_regular_file()) {
      line += " " + std::to_string(e.file_size()) + " " + readFile(e.path());
    }
    entries.push_back(line);
  }
  std::sort(entries.begin(), entries.end());
  return entries;
}

}  // namespace drovn::protocol::test
