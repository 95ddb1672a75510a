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

std::string portArgument(uint16_t port) {
  return "127,0,0,1," + std::to_string(port / 256) + "," + std::to_string(port % 256);
}

uint16_t passivePort(std::string_view reply) {
  const std::size_t open = reply.find('(');
  const std::size_t close = reply.find(')');
  if (!reply.starts_with("227 (") || close == std::string_view::npos || close < open) return 0;
  std::vector<int> numbers;
  std::istringstream fields(std::string(reply.substr(open + 1, close - open - 1)));
  for (std::string field; std::getline(fields, field, ',');) numbers.push_back(std::stoi(field));
  if (numbers.size() != 6) return 0;
  return static_cast<uint16_t>(numbers[4] * 256 + numbers[5]);
}

std::string DataPeer::listen() {
  if (network_.openTcp(listener_) != 0) return "";
  platform::SocketAddress loopback;
  loopback.address = platform::hostToNet32(0x7F000001);
  if (network_.bind(listener_, loopback) != 0 || network_.listen(listener_, 4) != 0) return "";
  platform::SocketAddress bound;
  if (network_.localAddress(listener_, bound) != 0) return "";
  listeningPort_ = platform::netToHost16(bound.port);
  return portArgument(listeningPort_);
}

bool DataPeer::accept(std::chrono::milliseconds timeout) {
  uint32_t error = 0;
  if (network_.waitReadable(listener_, static_cast<uint32_t>(timeout.count()), error) != 1) {
    return false;
  }
  platform::SocketAddress peer;
  return network_.accept(listener_, connection_, peer) == 0;
}

bool DataPeer::connectTo(uint16_t port, uint32_t from) {
  if (network_.openTcp(connection_) != 0) return false;
  platform::SocketAddress local;  // port 0: one the system picks
  local.address = platform::hostToNet32(from);
  if (network_.bind(connection_, local) != 0) return false;
  platform::SocketAddress to;
  to.port = platform::hostToNet16(port);
  to.address = platform::hostToNet32(0x7F000001);
  return network_.connect(connection_, to) == 0;
}

std::optional<std::string> DataPeer::readAll(std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  std::string all;
  std::vector<char> chunk(65536);
  while (std::chrono::steady_clock::now() < deadline) {
    uint32_t error = 0;
    const int ready = network_.waitReadable(connection_, 100, error);
    if (ready < 0) return std::nullopt;
    if (ready == 0) continue;
    const long long n = network_.receive(connection_, chunk.data(), chunk.size(), error);
    if (n < 0) return std::nullopt;
    if (n == 0) return all;
    all.append(chunk.data(), static_cast<std::size_t>(n));
  }
  return std::nullopt;
}

bool DataPeer::send(std::string_view bytes) {
  uint32_t error = 0;
  return network_.send(connection_, bytes.data(), bytes.size(), error) ==
         static_cast<long long>(bytes.size());
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
