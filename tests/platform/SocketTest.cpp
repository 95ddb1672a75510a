// Real sockets on 127.0.0.1: the slot's close rules and the error numbers the service relies on.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <future>
#include <thread>
#include <vector>

#include "platform/ErrorCodes.h"
#include "platform/FileSystem.h"
#include "platform/Network.h"

namespace drovn::platform {
namespace {

using namespace std::chrono_literals;

constexpr uint32_t kLoopback = 0x0100007F;  // 127.0.0.1 in network order on any host

SocketAddress loopback(uint16_t port) {
  SocketAddress a;
  a.port = hostToNet16(port);
  a.address = hostToNet32(0x7F000001);
  return a;
}

// A listener on an ephemeral port of 127.0.0.1.
class Listener {
 public:
  explicit Listener(LinuxNetwork& net, int backlog = 4) {
    EXPECT_EQ(net.openTcp(socket), 0u);
    EXPECT_EQ(net.bind(socket, loopback(0)), 0u);
    EXPECT_EQ(net.listen(socket, backlog), 0u);
    SocketAddress local;
    EXPECT_EQ(net.localAddress(socket, local), 0u);
    port = netToHost16(local.port);
  }
  Socket socket;
  uint16_t port = 0;
};

// A connected pair: `client` connected to `server`, accepted from a listener.
struct Pair {
  explicit Pair(LinuxNetwork& net) : listener(net) {
    EXPECT_EQ(net.openTcp(client), 0u);
    EXPECT_EQ(net.connect(client, loopback(listener.port)), 0u);
    SocketAddress peer;
    EXPECT_EQ(net.accept(listener.socket, server, peer), 0u);
    EXPECT_EQ(peer.address, kLoopback);
  }
  Listener listener;
  Socket client;
  Socket server;
};

// A peer that resets its connection on close (SO_LINGER with a zero time), as a client that is
// killed does. Plain POSIX: the server's own network layer has no such option.
int connectResettingPeer(uint16_t port) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  EXPECT_GE(fd, 0);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = hostToNet16(port);
  sa.sin_addr.s_addr = kLoopback;
  EXPECT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa), 0);
  linger lg{1, 0};
  EXPECT_EQ(::setsockopt(fd, SOL_SOCKET, SO_LINGER, &lg, sizeof lg), 0);
  return fd;
}

std::size_t openDescriptors() {
  std::size_t n = 0;
  for (auto it = std::filesystem::directory_iterator("/proc/self/fd");
       it != std::filesystem::directory_iterator(); ++it)
    ++n;
  return n;
}

TEST(LinuxNetwork, BindToAPortInUseGives10048) {
  LinuxNetwork net;
  Listener first(net);
  Socket second;
  ASSERT_EQ(net.openTcp(second), 0u);
  EXPECT_EQ(net.bind(second, loopback(first.port)), kWsaeAddrInUse);
  SocketAddress any;
  any.port = hostToNet16(first.port);
  EXPECT_EQ(net.bind(second, any), kWsaeAddrInUse);  // all addresses include 127.0.0.1
}

TEST(LinuxNetwork, PortIsFreeAgainWhileItsClosedConnectionsLinger) {
  LinuxNetwork net;
  uint16_t port = 0;
  {
    // The server side closes first, which leaves the accepted connection in TIME_WAIT.
    Pair pair(net);
    port = pair.listener.port;
    uint32_t error = 0;
    pair.server.close();
    pair.listener.socket.close();
    char buf[4];
    EXPECT_EQ(net.receive(pair.client, buf, sizeof buf, error), 0);
  }
  Socket again;
  ASSERT_EQ(net.openTcp(again), 0u);
  EXPECT_EQ(net.bind(again, loopback(port)), 0u);
  EXPECT_EQ(net.listen(again, 1), 0u);
  Socket rival;
  ASSERT_EQ(net.openTcp(rival), 0u);
  EXPECT_EQ(net.bind(rival, loopback(port)), kWsaeAddrInUse);  // a listener still holds it
}

TEST(LinuxNetwork, ConnectToAPortWithoutListenerGives10061) {
  LinuxNetwork net;
  uint16_t port;
  {
    Socket probe;  // bound and closed again: a port that nothing listens on
    ASSERT_EQ(net.openTcp(probe), 0u);
    ASSERT_EQ(net.bind(probe, loopback(0)), 0u);
    SocketAddress local;
    ASSERT_EQ(net.localAddress(probe, local), 0u);
    port = netToHost16(local.port);
  }
  Socket s;
  ASSERT_EQ(net.openTcp(s), 0u);
  EXPECT_EQ(net.connect(s, loopback(port)), kWsaeConnRefused);
}

TEST(LinuxNetwork, SendAllAndReceiveInPieces) {
  LinuxNetwork net;
  Pair p(net);
  net.setBufferSizes(p.server, 458752);
  std::vector<unsigned char> data(3 * 1024 * 1024);
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<unsigned char>(i * 7);
  auto sender = std::async(std::launch::async, [&] {
    uint32_t error = 0;
    long long n = net.send(p.client, data.data(), data.size(), error);
    p.client.shutdownAndClose();
    return n;
  });
  std::vector<unsigned char> got;
  std::vector<unsigned char> buf(65536);
  for (int i = 0; i < 100000; ++i) {
    uint32_t error = 0;
    ASSERT_EQ(net.waitReadable(p.server, 5000, error), 1);
    long long n = net.receive(p.server, buf.data(), buf.size(), error);
    ASSERT_GE(n, 0) << error;
    if (n == 0) break;
    got.insert(got.end(), buf.begin(), buf.begin() + n);
  }
  EXPECT_EQ(sender.get(), static_cast<long long>(data.size()));
  EXPECT_EQ(got, data);
}

// A file given to the network calls by its bare descriptor.
class DescriptorFile : public FileHandle {
 public:
  explicit DescriptorFile(int fd) : fd_(fd) {}
  ~DescriptorFile() override { ::close(fd_); }
  std::size_t read(void* buf, std::size_t n) override {
    const ssize_t got = ::read(fd_, buf, n);
    return got > 0 ? static_cast<std::size_t>(got) : 0;
  }
  std::size_t write(const void* buf, std::size_t n) override {
    if (::write(fd_, buf, n) != static_cast<ssize_t>(n)) throw PlatformError{kErrorDiskFull};
    return n;
  }
  void seek(int64_t) override {}
  void truncateAt(int64_t) override {}
  uint64_t size() override { return 0; }
  int descriptor() const noexcept override { return fd_; }

 private:
  int fd_;
};

// Receives into the file until the peer's end of data; false on a receive error.
bool receiveAll(LinuxNetwork& net, Socket& s, FileHandle& file) {
  std::vector<unsigned char> buf(458752);
  for (int i = 0; i < 10000; ++i) {
    uint32_t error = 0;
    if (net.waitReadable(s, 5000, error) != 1) return false;
    const long long n = net.receiveFileBlock(s, file, buf.data(), buf.size(), error);
    if (n < 0) return false;
    if (n == 0) return true;
  }
  return false;
}

// Everything the peer sends until it closes the connection, or until nothing comes for 5 s.
std::vector<unsigned char> receiveUntilClosed(LinuxNetwork& net, Socket& s) {
  std::vector<unsigned char> got;
  std::vector<unsigned char> buf(65536);
  for (int i = 0; i < 100000; ++i) {
    uint32_t error = 0;
    if (net.waitReadable(s, 5000, error) != 1) break;
    const long long n = net.receive(s, buf.data(), buf.size(), error);
    if (n <= 0) break;
    got.insert(got.end(), buf.begin(), buf.begin() + n);
  }
  return got;
}

// A file holding the given bytes, in a temporary directory of its own that goes with it.
class TemporaryFile {
 public:
  TemporaryFile(const std::string& tag, const std::vector<unsigned char>& data)
      : dir_(std::filesystem::temp_directory_path() /
             ("drovn-" + tag + "-" + std::to_string(::getpid()))) {
    std::filesystem::create_directories(dir_);
    path_ = (dir_ / "file").string();
    std::ofstream out(path_, std::ios::binary);
    out.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
  }
  ~TemporaryFile() {
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
  }
  TemporaryFile(const TemporaryFile&) = delete;
  TemporaryFile& operator=(const TemporaryFile&) = delete;
  const std::string& path() const noexcept { return path_; }

 private:
  std::filesystem::path dir_;
  std::string path_;
};

TEST(LinuxNetwork, ReceivedBlocksOfAFailedWriteNeverReachTheNextFile) {
  LinuxNetwork net;
  const auto dir =
      std::filesystem::temp_directory_path() / ("drovn-recv-" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  const std::string path = (dir / "file").string();
  {
    // The first file cannot be written: the block received for it is lost with the error.
    Pair first(net);
    ASSERT_EQ(::close(::open(path.c_str(), O_CREAT | O_WRONLY, 0600)), 0);
    DescriptorFile readOnly(::open(path.c_str(), O_RDONLY));
    uint32_t error = 0;
    ASSERT_EQ(net.send(first.client, "stale bytes", 11, error), 11);
    ASSERT_EQ(net.waitReadable(first.server, 5000, error), 1);
    std::vector<unsigned char> buf(458752);
    EXPECT_THROW(net.receiveFileBlock(first.server, readOnly, buf.data(), buf.size(), error),
                 PlatformError);
  }
  // The same thread's next upload holds exactly its own bytes, in order.
  std::vector<unsigned char> data(2 * 1024 * 1024 + 17);
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<unsigned char>(i * 13);
  Pair second(net);
  auto sender = std::async(std::launch::async, [&] {
    uint32_t error = 0;
    long long n = net.send(second.client, data.data(), data.size(), error);
    second.client.shutdownAndClose();
    return n;
  });
  {
    DescriptorFile writable(::open(path.c_str(), O_WRONLY | O_TRUNC));
    EXPECT_TRUE(receiveAll(net, second.server, writable));
  }
  EXPECT_EQ(sender.get(), static_cast<long long>(data.size()));
  std::ifstream in(path, std::ios::binary);
  const std::vector<unsigned char> got((std::istreambuf_iterator<char>(in)),
                                       std::istreambuf_iterator<char>());
  EXPECT_EQ(got, data);
  std::filesystem::remove_all(dir);
}

// How many bytes wait unread on the socket, once at least `want` have arrived or 5 s have
// passed.
int waitUnread(Socket& s, int want) {
  int unread = 0;
  for (int i = 0; i < 500; ++i) {
    {
      Socket::Use u(s);
      if (::ioctl(u.fd(), FIONREAD, &unread) != 0) return -1;
    }
    if (unread >= want) break;
    std::this_thread::sleep_for(10ms);
  }
  return unread;
}

// A received block holds what the client has already sent, up to the block's size and across
// the pieces it is gathered in, and never waits for more while the connection stays open.
TEST(LinuxNetwork, ReceivedBlockTakesWhatHasArrivedUpToItsSize) {
  LinuxNetwork net;
  std::vector<unsigned char> data(350000);
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<unsigned char>(i * 11 + 3);
  const TemporaryFile target("blocks", {});
  Pair p(net);
  net.setBufferSizes(p.server, 458752);
  net.setBufferSizes(p.client, 458752);
  uint32_t error = 0;
  ASSERT_EQ(net.send(p.client, data.data(), data.size(), error), 350000);
  ASSERT_EQ(waitUnread(p.server, 350000), 350000);
  std::vector<long long> blocks;
  {
    DescriptorFile file(::open(target.path().c_str(), O_WRONLY));
    std::vector<unsigned char> buf(300000);
    blocks.push_back(net.receiveFileBlock(p.server, file, buf.data(), buf.size(), error));
    // The rest is less than a block and no more is coming yet: a wait here would never end,
    // so the connection is shut after 5 s to free the call.
    auto rest = std::async(std::launch::async, [&] {
      uint32_t e = 0;
      return net.receiveFileBlock(p.server, file, buf.data(), buf.size(), e);
    });
    if (rest.wait_for(5s) != std::future_status::ready) p.server.shutdownAndClose();
    blocks.push_back(rest.get());
    p.client.shutdownAndClose();
    blocks.push_back(net.receiveFileBlock(p.server, file, buf.data(), buf.size(), error));
  }
  EXPECT_EQ(blocks, (std::vector<long long>{300000, 50000, 0}));
  std::ifstream in(target.path(), std::ios::binary);
  EXPECT_EQ(std::vector<unsigned char>(std::istreambuf_iterator<char>(in), {}), data);
}

// A client that resets its connection mid-upload fails the upload, even when the reset comes
// behind bytes the same block takes first: it is never taken for the end of the data.
TEST(LinuxNetwork, ResetBehindAnUploadsBytesFailsIt) {
  LinuxNetwork net;
  Listener l(net);
  const int peer = connectResettingPeer(l.port);
  Socket s;
  SocketAddress addr;
  ASSERT_EQ(net.accept(l.socket, s, addr), 0u);
  net.setBufferSizes(s, 458752);
  const std::vector<unsigned char> data(300000, 0x5A);
  ASSERT_EQ(::send(peer, data.data(), data.size(), MSG_NOSIGNAL), 300000);
  ASSERT_EQ(waitUnread(s, 300000), 300000);
  ::close(peer);
  {
    Socket::Use u(s);
    pollfd pf{u.fd(), POLLIN, 0};
    for (int i = 0; i < 500 && (pf.revents & (POLLERR | POLLHUP)) == 0; ++i) {
      ASSERT_GE(::poll(&pf, 1, 10), 0);
    }
    ASSERT_NE(pf.revents & (POLLERR | POLLHUP), 0) << "the reset never arrived";
  }
  const TemporaryFile target("reset", {});
  DescriptorFile file(::open(target.path().c_str(), O_WRONLY));
  std::vector<unsigned char> buf(458752);
  long long last = 0;
  uint32_t error = 0;
  for (int i = 0; i < 10; ++i) {
    last = net.receiveFileBlock(s, file, buf.data(), buf.size(), error);
    if (last <= 0) break;
  }
  EXPECT_EQ(last, -1);
  EXPECT_EQ(error, kWsaeConnReset);
}

// A block goes out whole in one call however the platform divides it, and the file's short
// last block and its end come out as such.
TEST(LinuxNetwork, FileBlocksAreSentWholeToTheEndOfTheFile) {
  LinuxNetwork net;
  constexpr std::size_t kBlock = 458752;
  std::vector<unsigned char> data(kBlock + 70001);
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<unsigned char>(i * 29);
  const TemporaryFile source("send", data);
  Pair p(net);
  auto reader = std::async(std::launch::async, [&] { return receiveUntilClosed(net, p.client); });
  std::vector<long long> blocks;
  {
    DescriptorFile file(::open(source.path().c_str(), O_RDONLY));
    std::vector<unsigned char> buf(kBlock);
    for (int i = 0; i < 4; ++i) {
      uint32_t error = 0;
      blocks.push_back(net.sendFileBlock(p.server, file, buf.data(), buf.size(), error));
      if (blocks.back() <= 0) break;
    }
  }
  p.server.shutdownAndClose();
  EXPECT_EQ(blocks, (std::vector<long long>{static_cast<long long>(kBlock), 70001, 0}));
  EXPECT_EQ(reader.get(), data);
}

// Downloads of one file side by side each get exactly the file, whichever way each block moves:
// the first is held mid-block by a reader that has not started, while the second runs whole.
TEST(LinuxNetwork, ConcurrentDownloadsOfOneFileEachGetItExactly) {
  LinuxNetwork net;
  constexpr std::size_t kBlock = 458752;
  std::vector<unsigned char> data(8 * kBlock + 12345);
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<unsigned char>(i * 31 + 7);
  const TemporaryFile source("sendboth", data);
  const auto sendAll = [&](Socket& s) {
    DescriptorFile file(::open(source.path().c_str(), O_RDONLY));
    std::vector<unsigned char> buf(kBlock);
    long long total = 0;
    for (int i = 0; i < 100; ++i) {
      uint32_t error = 0;
      const long long n = net.sendFileBlock(s, file, buf.data(), buf.size(), error);
      if (n <= 0) break;
      total += n;
    }
    s.shutdownAndClose();
    return total;
  };
  Pair held(net);
  Pair free(net);
  net.setBufferSizes(held.server, static_cast<int>(kBlock));
  auto heldSender = std::async(std::launch::async, [&] { return sendAll(held.server); });
  std::this_thread::sleep_for(200ms);  // its buffers are full: it waits inside a block
  auto freeReader =
      std::async(std::launch::async, [&] { return receiveUntilClosed(net, free.client); });
  EXPECT_EQ(sendAll(free.server), static_cast<long long>(data.size()));
  EXPECT_EQ(freeReader.get(), data);
  EXPECT_EQ(receiveUntilClosed(net, held.client), data);
  EXPECT_EQ(heldSender.get(), static_cast<long long>(data.size()));
}

TEST(LinuxNetwork, ClosedSlotGives10038) {
  LinuxNetwork net;
  Socket s;
  uint32_t error = 0;
  char byte = 0;
  EXPECT_EQ(net.bind(s, loopback(0)), kWsaeNotSock);
  EXPECT_EQ(net.listen(s, 1), kWsaeNotSock);
  EXPECT_EQ(net.connect(s, loopback(1)), kWsaeNotSock);
  EXPECT_EQ(net.send(s, &byte, 1, error), -1);
  EXPECT_EQ(error, kWsaeNotSock);
  error = 0;
  EXPECT_EQ(net.receive(s, &byte, 1, error), -1);
  EXPECT_EQ(error, kWsaeNotSock);
  error = 0;
  EXPECT_EQ(net.waitReadable(s, 10, error), -1);
  EXPECT_EQ(error, kWsaeNotSock);

  ASSERT_EQ(net.openTcp(s), 0u);
  EXPECT_EQ(net.openTcp(s), kWsaeInval);  // the slot is taken
  s.close();
  s.close();
  EXPECT_EQ(net.listen(s, 1), kWsaeNotSock);
}

TEST(Socket, IdsAreDistinctAndZeroWhenClosed) {
  LinuxNetwork net;
  Socket a, b;
  EXPECT_EQ(a.id(), 0u);
  ASSERT_EQ(net.openTcp(a), 0u);
  ASSERT_EQ(net.openTcp(b), 0u);
  EXPECT_NE(a.id(), 0u);
  EXPECT_GT(b.id(), a.id());
  uint32_t old = a.id();
  a.close();
  EXPECT_EQ(a.id(), 0u);
  EXPECT_FALSE(a.isOpen());
  ASSERT_EQ(net.openTcp(a), 0u);
  EXPECT_NE(a.id(), old);  // a new socket in the same slot is a new connection

  Socket c;
  uint32_t bId = b.id();
  EXPECT_TRUE(c.takeFrom(b));
  EXPECT_EQ(c.id(), bId);
  EXPECT_FALSE(b.isOpen());
  EXPECT_FALSE(c.takeFrom(a));  // c is not empty
  EXPECT_FALSE(a.takeFrom(b));  // b has nothing to give
}

// Linux reports a reset once and then reads 0 as for a half-close; the slot keeps reporting it.
TEST(LinuxNetwork, ResetIsReportedByEveryLaterReceive) {
  LinuxNetwork net;
  Listener l(net);
  int peer = connectResettingPeer(l.port);
  Socket s;
  SocketAddress addr;
  ASSERT_EQ(net.accept(l.socket, s, addr), 0u);
  ::close(peer);
  uint32_t error = 0;
  ASSERT_EQ(net.waitReadable(s, 5000, error), 1);
  char buf[16];
  for (int i = 0; i < 3; ++i) {
    error = 0;
    EXPECT_EQ(net.receive(s, buf, sizeof buf, error), -1) << i;
    EXPECT_EQ(error, kWsaeConnReset) << i;
  }
  EXPECT_EQ(net.waitReadable(s, 0, error), 1);
}

TEST(LinuxNetwork, ResetSeenBySendIsReportedByLaterReceives) {
  LinuxNetwork net;
  Listener l(net);
  int peer = connectResettingPeer(l.port);
  Socket s;
  SocketAddress addr;
  ASSERT_EQ(net.accept(l.socket, s, addr), 0u);
  ::close(peer);
  uint32_t error = 0;
  ASSERT_EQ(net.waitReadable(s, 5000, error), 1);  // the reset has arrived
  const char reply[] = "200 OK\r\n";
  EXPECT_EQ(net.send(s, reply, sizeof reply - 1, error), -1);
  EXPECT_EQ(error, kWsaeConnReset);
  char buf[16];
  for (int i = 0; i < 3; ++i) {
    error = 0;
    EXPECT_EQ(net.receive(s, buf, sizeof buf, error), -1) << i;
    EXPECT_EQ(error, kWsaeConnReset) << i;
  }
}

TEST(LinuxNetwork, HalfCloseReadsZero) {
  LinuxNetwork net;
  Pair p(net);
  p.client.close();
  uint32_t error = 0;
  ASSERT_EQ(net.waitReadable(p.server, 5000, error), 1);
  char buf[4];
  EXPECT_EQ(net.receive(p.server, buf, sizeof buf, error), 0);
  EXPECT_EQ(net.receive(p.server, buf, sizeof buf, error), 0);
}

// Runs `call` on another thread, shuts the socket from this one, and checks that the call ends
// promptly with 10038.
template <typename Call>
void expectShutdownWakes(Socket& s, Call call) {
  std::promise<uint32_t> result;
  auto done = result.get_future();
  std::thread blocked([&] { result.set_value(call()); });
  // The call is (almost certainly) blocked by now; if not, it finds the slot closing, which
  // gives the same result.
  std::this_thread::sleep_for(100ms);
  auto start = std::chrono::steady_clock::now();
  s.shutdownAndClose();
  bool ended = done.wait_for(5s) == std::future_status::ready;
  EXPECT_TRUE(ended) << "the blocked call was not woken";
  if (ended) {
    EXPECT_EQ(done.get(), kWsaeNotSock);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
    blocked.join();
  } else {
    blocked.detach();  // cannot be rescued; the failure is reported
  }
}

TEST(LinuxNetwork, ShutdownFromAnotherThreadWakesWaitReadable) {
  LinuxNetwork net;
  Pair p(net);
  expectShutdownWakes(p.server, [&] {
    uint32_t error = 0;
    return net.waitReadable(p.server, 10000, error) == -1 ? error : 0u;
  });
}

TEST(LinuxNetwork, ShutdownFromAnotherThreadWakesReceive) {
  LinuxNetwork net;
  Pair p(net);
  expectShutdownWakes(p.server, [&] {
    uint32_t error = 0;
    char buf[8];
    return net.receive(p.server, buf, sizeof buf, error) == -1 ? error : 0u;
  });
}

TEST(LinuxNetwork, ShutdownFromAnotherThreadWakesAccept) {
  LinuxNetwork net;
  Listener l(net);
  Socket into;
  expectShutdownWakes(l.socket, [&] {
    SocketAddress peer;
    return net.accept(l.socket, into, peer);
  });
  EXPECT_FALSE(into.isOpen());
}

// With the listener's queue full, loopback SYNs are dropped and a connect waits.
TEST(LinuxNetwork, ShutdownFromAnotherThreadWakesConnect) {
  LinuxNetwork net;
  Listener l(net, 0);
  std::vector<std::unique_ptr<Socket>> queued;
  for (int i = 0; i < 4; ++i) {
    queued.push_back(std::make_unique<Socket>());
    ASSERT_EQ(net.openTcp(*queued.back()), 0u);
  }
  Socket waiting;
  ASSERT_EQ(net.openTcp(waiting), 0u);
  // Fill the queue from threads: connects beyond its length wait as well.
  std::vector<std::thread> fillers;
  for (auto& q : queued)
    fillers.emplace_back([&net, &q, &l] { (void)net.connect(*q, loopback(l.port)); });
  std::this_thread::sleep_for(100ms);
  expectShutdownWakes(waiting, [&] { return net.connect(waiting, loopback(l.port)); });
  for (auto& q : queued) q->shutdownAndClose();
  for (auto& f : fillers) f.join();
}

// Several threads close one slot while another is blocked in it, and another thread keeps
// opening sockets that would get the freed number: a second close of the number would break one
// of those (10009, bad descriptor).
TEST(Socket, ConcurrentClosesReleaseTheDescriptorOnce) {
  LinuxNetwork net;
  Listener l(net, 16);
  std::atomic<bool> stop{false};
  std::atomic<int> badDescriptor{0};
  const std::size_t before = openDescriptors();  // before the opener holds any
  std::thread opener([&] {
    while (!stop.load()) {
      Socket s;
      if (net.openTcp(s) != 0) continue;
      SocketAddress local;
      if (net.bind(s, loopback(0)) == kWsaeBadf || net.localAddress(s, local) == kWsaeBadf)
        ++badDescriptor;
    }
  });
  for (int round = 0; round < 40; ++round) {
    Socket client, server;
    ASSERT_EQ(net.openTcp(client), 0u);
    ASSERT_EQ(net.connect(client, loopback(l.port)), 0u);
    SocketAddress peer;
    ASSERT_EQ(net.accept(l.socket, server, peer), 0u);
    std::atomic<bool> go{false};
    std::vector<std::thread> closers;
    std::thread reader([&] {
      uint32_t error = 0;
      char buf[4];
      (void)net.receive(server, buf, sizeof buf, error);
    });
    for (int i = 0; i < 4; ++i) {
      closers.emplace_back([&, i] {
        while (!go.load()) std::this_thread::yield();
        if (i % 2)
          server.close();
        else
          server.shutdownAndClose();
      });
    }
    go = true;
    for (auto& c : closers) c.join();
    reader.join();
    EXPECT_FALSE(server.isOpen());
    EXPECT_EQ(server.id(), 0u);
  }
  stop = true;
  opener.join();
  EXPECT_EQ(badDescriptor.load(), 0);
  EXPECT_EQ(openDescriptors(), before);  // none leaked
}

// While a call is inside the slot, a close does not free the descriptor number under it.
TEST(Socket, CloseDuringACallKeepsTheDescriptorUntilTheCallEnds) {
  LinuxNetwork net;
  Pair p(net);
  const std::size_t before = openDescriptors();
  std::promise<uint32_t> result;
  auto done = result.get_future();
  std::thread reader([&] {
    uint32_t error = 0;
    char buf[4];
    result.set_value(net.receive(p.server, buf, sizeof buf, error) == -1 ? error : 0u);
  });
  std::this_thread::sleep_for(100ms);
  p.server.close();  // wakes the receive (another thread is in it), 10038 rather than data or 0
  ASSERT_EQ(done.wait_for(5s), std::future_status::ready);
  EXPECT_EQ(done.get(), kWsaeNotSock);
  reader.join();
  EXPECT_EQ(openDescriptors(), before - 1);
}

TEST(LinuxNetwork, HostAddressesPutLoopbackLast) {
  LinuxNetwork net;
  FixedText<256> name;
  ASSERT_EQ(net.hostName(name), 0u);
  EXPECT_FALSE(name.empty());
  std::vector<uint32_t> addresses;
  ASSERT_TRUE(net.hostAddresses(name.c_str(), addresses));
  ASSERT_FALSE(addresses.empty());
  bool seenLoopback = false;
  for (uint32_t a : addresses) {
    bool isLoopback = (netToHost32(a) >> 24) == 127;
    EXPECT_FALSE(seenLoopback && !isLoopback) << "a network address after a loopback one";
    seenLoopback = seenLoopback || isLoopback;
  }
}

struct AddrCase {
  const char* text;
  uint32_t hostOrder;
};

class InetAddr : public ::testing::TestWithParam<AddrCase> {};

TEST_P(InetAddr, ParsesAsInetAddr) {
  EXPECT_EQ(netToHost32(inetAddr(GetParam().text)), GetParam().hostOrder) << GetParam().text;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, InetAddr,
    ::testing::Values(AddrCase{"1.2.3.4", 0x01020304}, AddrCase{"192.168.1.20", 0xC0A80114},
                      AddrCase{"1.2.3", 0x01020003}, AddrCase{"10.1", 0x0A000001},
                      AddrCase{"0x7f.010.0.1", 0x7F080001}, AddrCase{"a.b.c.d", 0xFFFFFFFF},
                      AddrCase{"", 0xFFFFFFFF}, AddrCase{"256.1.1.1", 0xFFFFFFFF},
                      AddrCase{"1.2.3.4.5", 0xFFFFFFFF}, AddrCase{"255.255.255.255", 0xFFFFFFFF}));

TEST(InetNtoa, DottedText) {
  FixedText<16> t;
  inetNtoa(hostToNet32(0xC0A80165), t);
  EXPECT_EQ(t, "192.168.1.101");
  inetNtoa(0xFFFFFFFF, t);
  EXPECT_EQ(t, "255.255.255.255");
  EXPECT_EQ(inetAddr(nullptr), 0xFFFFFFFFu);
}

}  // namespace
}  // namespace drovn::platform
