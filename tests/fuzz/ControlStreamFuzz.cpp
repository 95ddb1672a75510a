// One control connection fed arbitrary bytes: the line reader, the dispatcher and every handler
// of a real service on 127.0.0.1, against a temporary store. Each input is sent as one session's
// stream, then QUIT. After each 227 reply the fuzzer opens the passive data connection, sends a
// few bytes (what a STOR stores) and takes what comes until it goes quiet. Active data
// connections are refused: a PORT argument may name any host and port.
//
// The oracle: no sanitizer report; every reply is a complete CR LF line; the session ends and
// its slot is freed; nothing outside the account roots changes (a sentinel directory beside the
// store, the store's top, /home and another account's folder) or is read: the sentinel and that
// folder hold a file named and filled with a marker that no reply or data may carry unless the
// input itself holds it.
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>

#include "support/ServiceHarness.h"

namespace {

namespace fs = std::filesystem;
using namespace drovn;
using namespace std::chrono_literals;

constexpr std::string_view kMarker = "drovnOutsideTheRoot7Q3";

[[noreturn]] void fail(const char* what, const std::string& bytes) {
  std::fprintf(stderr, "%s\n--- bytes ---\n%s\n---\n", what, bytes.c_str());
  std::abort();
}

// Anonymous logs in at /pub, user1 (password pw) at /home/user1; /home/other is nobody's.
struct World {
  // A passive wait that nobody answers gives up after a second of real time, a stalled data
  // connection after one too.
  test::ServiceHarness harness{{.limits = {.passiveAcceptMs = 20000, .dataStallMs = 1000}}};
  const fs::path store = harness.storeDir();
  const fs::path sentinel = store.string() + "-outside";
  std::map<std::string, std::string> before;

  World() {
    harness.faults().failConnects(ECONNREFUSED);
    harness.editSettings([](config::Settings& s) {
      s.auth_anonyRoot.assign("/pub");
      s.auth_enable1 = true;
      s.auth_user1.assign("user1");
      s.auth_pwd1.assign("pw");
      s.auth_root1.assign("/home/user1");
      s.opt_enableUtf8 = true;
    });
    resetStore();
    before = watched();
    if (!harness.startListening()) fail("the service did not start listening", "");
  }

  // Made again after every input, once what it left has been compared.
  void resetStore() {
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(store)) fs::remove_all(entry.path(), ec);
    fs::remove_all(sentinel, ec);
    for (const fs::path& dir : {sentinel / "deep", store / "pub/sub", store / "home/user1/docs"})
      fs::create_directories(dir);
    test::writeFile(store / "pub/readme.txt", "hello\r\n");
    test::writeFile(store / "home/user1/a.txt", "abc");
    for (const fs::path& dir : {sentinel, store / "home/other"})
      test::writeFile(dir / (std::string(kMarker) + ".txt"), kMarker);
    fs::create_directory_symlink(sentinel, store / "pub/out");
  }

  // What no session may change (links not followed), with a link's target and a file's
  // contents: the store's top and /home only as lists of names, as the accounts' own folders
  // lie beneath them.
  std::map<std::string, std::string> watched() {
    std::map<std::string, std::string> all;
    for (const fs::path& dir : {store, store / "home"})
      for (const auto& entry : fs::directory_iterator(dir)) all[entry.path().string()];
    std::error_code ec;
    for (const fs::path& top : {sentinel, store / "home/other"}) {
      for (fs::recursive_directory_iterator it(top, ec), end; !ec && it != end; it.increment(ec)) {
        const fs::path& at = it->path();
        all[at.string()] = it->is_symlink()        ? "link:" + fs::read_symlink(at).string()
                           : it->is_regular_file() ? test::readFile(at)
                                                   : "";
      }
    }
    return all;
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  // Made once and never destroyed: libFuzzer ends the process with exit(), after the main
  // thread's per-thread converters are gone, so a Stop from a static destructor would log
  // through a dead converter. The service threads end with the process; the directories go.
  static World& world = *[] {
    auto* made = new World;
    static const fs::path dirs[] = {made->store, made->sentinel};
    std::atexit([] {
      std::error_code ec;
      for (const fs::path& dir : dirs) fs::remove_all(dir, ec);
    });
    return made;
  }();
  if (size > 16384) return 0;
  const std::string input(reinterpret_cast<const char*>(data), size);
  const bool markerAllowed = input.find(kMarker) != std::string::npos;
  const auto check = [&](const std::string& bytes, const char* what) {
    if (!markerAllowed && bytes.find(kMarker) != std::string::npos) fail(what, bytes);
  };

  test::FtpClient client(world.harness.network());
  if (!client.connect(world.harness.port())) fail("cannot connect to the service", "");
  // The server may already have closed (too many failures): a failed send is not a finding.
  client.send(input + "\r\nQUIT\r\n");
  std::string replies;
  const auto deadline = std::chrono::steady_clock::now() + 5s;
  while (const std::optional<std::string> line = client.readLine(5s)) {
    replies += *line;
    if (std::chrono::steady_clock::now() > deadline) fail("the session did not end", replies);
    if (line->find('\n') != line->size() - 1) fail("a reply line ends without CR", replies);
    int high = 0, low = 0;
    if (std::sscanf(line->c_str(), "227 (127,0,0,1,%d,%d)", &high, &low) != 2) continue;
    test::FtpClient passive(world.harness.network());
    if (!passive.connect(static_cast<uint16_t>(high * 256 + low))) continue;
    passive.send("sink data\r\n");
    std::string received, more;
    while (received.size() < (1u << 26) && !(more = passive.readFor(50ms)).empty())
      received += more;
    check(received, "a data connection carried the marker");
  }
  if (!client.waitClosed(0ms)) fail("the session did not end", replies);
  if (!client.readFor(0ms).empty()) fail("the last reply is not a complete line", replies);
  if (replies.empty()) fail("no greeting", replies);
  check(replies, "a reply carried the marker");
  if (!test::eventually([&] { return world.harness.service().sessionCount() == 0; }))
    fail("the session's slot was not freed", replies);
  if (world.watched() != world.before) fail("something outside the roots changed", replies);
  world.resetStore();
  return 0;
}
