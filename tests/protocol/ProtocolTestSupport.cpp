#include "ProtocolTestSupport.h"

#include <cctype>
#include <cstdio>
#include <random>

#include "protocol/Dispatcher.h"

namespace drovn::protocol::test {

namespace fs = std::filesystem;

namespace {

drovn::test::HarnessOptions withSessionNoted(drovn::test::HarnessOptions options) {
  options.dispatch = [](Session& s, Text& line) {
    currentSession = &s;
    return dispatchCommand(s, line);
  };
  return options;
}

}  // namespace

ProtocolTest::ProtocolTest(drovn::test::HarnessOptions options)
    : harness(withSessionNoted(std::move(options))) {}

void ProtocolTest::SetUp() {
  harness.editSettings([this](config::Settings& s) { configure(s); });
  ASSERT_TRUE(harness.startListening());
}

std::string ProtocolTest::ask(FtpClient& client, std::string_view line) {
  if (!client.send(std::string(line) + "\r\n")) return "<not sent>";
  std::string reply;
  // A reply has at most a few lines; a bounded count keeps a runaway server from hanging here.
  for (int lines = 0; lines < 16; ++lines) {
    const std::string next = client.readLine(5s).value_or("");
    reply += next;
    // The last line of a reply: three digits and a space.
    if (next.size() < 4 || (next[3] == ' ' && std::isdigit(static_cast<unsigned char>(next[0])))) {
      return reply.empty() ? "<no reply>" : reply;
    }
  }
  return reply + "<too long>";
}

std::unique_ptr<FtpClient> ProtocolTest::connect(std::string_view user, std::string_view password) {
  auto client = harness.connectClient();
  EXPECT_NE(client, nullptr) << "no greeting";
  if (!client || user.empty()) return client;
  EXPECT_EQ(ask(*client, "USER " + std::string(user)).substr(0, 4), "331 ");
  EXPECT_EQ(ask(*client, "PASS " + std::string(password)), "230 Password ok.\r\n");
  return client;
}

std::unique_ptr<DataPeer> ProtocolTest::begin(FtpClient& c, Mode mode, const std::string& line) {
  auto peer = std::make_unique<DataPeer>(harness.network());
  bool ready = false;
  if (mode == Mode::Active) {
    const std::string argument = peer->listen();
    // The preliminary reply comes before the server connects.
    ready = !argument.empty() && ask(c, "PORT " + argument) == kPortOk &&
            ask(c, line) == kActiveOpening && peer->accept();
  } else {
    const uint16_t port = passivePort(ask(c, "PASV"));
    ready = port != 0 && c.send(line + "\r\n") && peer->connectTo(port) &&
            c.readLine() == kPassiveOpened;
  }
  if (ready) return peer;
  ADD_FAILURE() << "no data connection for " << line;
  return nullptr;
}

std::string ProtocolTest::download(FtpClient& c, Mode mode, const std::string& line,
                                   std::string& reply) {
  auto peer = begin(c, mode, line);
  if (!peer) return "<not started>";
  const std::string data = peer->readAll().value_or("<not closed>");
  reply = c.readLine(10s).value_or("<no reply>");
  return data;
}

std::string ProtocolTest::upload(FtpClient& c, Mode mode, const std::string& line,
                                 std::string_view bytes) {
  auto peer = begin(c, mode, line);
  if (!peer) return "<not started>";
  if (!bytes.empty() && !peer->send(bytes)) return "<not sent>";
  peer->close();
  return c.readLine(10s).value_or("<no reply>");
}

std::string portArgument(uint16_t port) {
  return "127,0,0,1," + std::to_string(port / 256) + "," + std::to_string(port % 256);
}

uint16_t passivePort(std::string_view reply) {
  unsigned h = 0, p1 = 0, p2 = 0;
  const std::string text(reply);
  const int got = std::sscanf(text.c_str(), "227 (%u,%u,%u,%u,%u,%u)", &h, &h, &h, &h, &p1, &p2);
  return got == 6 ? static_cast<uint16_t>(p1 * 256 + p2) : 0;
}

// The test's own sockets wait at most 10 s for the server, in every call.
std::string DataPeer::listen(int backlog) {
  platform::SocketAddress at;
  at.address = platform::hostToNet32(0x7F000001);
  if (network_.openTcp(listener_) || network_.bind(listener_, at) ||
      network_.listen(listener_, backlog) || network_.localAddress(listener_, at)) {
    return "";
  }
  return portArgument(platform::netToHost16(at.port));
}

bool DataPeer::accept() {
  std::error_code error;
  platform::SocketAddress peer;
  connection_.close();
  const bool accepted = network_.waitReadable(listener_, 5000, error) == 1 &&
                        !network_.accept(listener_, connection_, peer);
  network_.setStallLimit(connection_, 10000);
  return accepted;
}

bool DataPeer::connectTo(uint16_t port, uint32_t from) {
  platform::SocketAddress local, to;  // local port 0: one the system picks
  local.address = platform::hostToNet32(from);
  to.port = platform::hostToNet16(port);
  to.address = platform::hostToNet32(0x7F000001);
  connection_.close();
  if (network_.openTcp(connection_)) return false;
  network_.setStallLimit(connection_, 10000);
  return !network_.bind(connection_, local) && !network_.connect(connection_, to);
}

std::optional<std::string> DataPeer::readAll() {
  std::string all;
  std::vector<char> chunk(1 << 20);
  for (;;) {
    std::error_code error;
    const long long n = network_.receive(connection_, chunk.data(), chunk.size(), error);
    if (n < 0) return std::nullopt;  // a reset, or nothing for 10 s
    if (n == 0) return all;
    all.append(chunk.data(), static_cast<std::size_t>(n));
  }
}

bool DataPeer::send(std::string_view bytes) {
  std::error_code error;
  return network_.send(connection_, bytes.data(), bytes.size(), error) ==
         static_cast<long long>(bytes.size());
}

std::string patterned(std::size_t n, uint32_t seed) {
  std::mt19937 gen(seed);
  std::string bytes(n, '\0');
  for (char& c : bytes) c = static_cast<char>(gen() & 0xFF);
  return bytes;
}

}  // namespace drovn::protocol::test
