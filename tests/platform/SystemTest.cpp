// Text conversion (UTF-8 and code page 936), the bounded text type, the registry file, the
// wireless switch, the awake hold and one instance per registry file.
#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include <atomic>
#include <csignal>
#include <cstring>
#include <optional>
#include <thread>
#include <variant>
#include <vector>

#include "platform/AwakeHold.h"
#include "platform/FixedText.h"
#include "platform/LinuxRegistry.h"
#include "platform/MessageQueue.h"
#include "platform/RegistryFile.h"
#include "platform/SingleInstance.h"
#include "platform/TextCodec.h"
#include "platform/Utf8.h"
#include "platform/WirelessSwitch.h"
#include "support/Files.h"
#if DROVN_HAVE_LIBSYSTEMD
#include <systemd/sd-bus.h>
#endif

namespace drovn::platform {
namespace {
using namespace drovn::test;

enum Way { Both, Decode, Encode };  // bytes to UTF-8, UTF-8 to bytes, or both

struct Case {
  const char* name;
  bool codePage;  // or UTF-8
  Way way;
  std::string bytes;
  std::string text;  // UTF-8
};

class Conversion : public ::testing::TestWithParam<Case> {};

LinuxTextCodec codec;

std::string replacements(int n) {
  std::string out;
  for (int i = 0; i < n; ++i) out += "\uFFFD";
  return out;
}

TEST_P(Conversion, GivesTheTextAndEndsIt) {
  const Case& c = GetParam();
  char text[64], bytes[64];
  const std::size_t t =
      c.codePage ? codec.codePageToUtf8(text, 64, c.bytes) : cleanUtf8(text, 64, c.bytes);
  const std::size_t b =
      c.codePage ? codec.utf8ToCodePage(bytes, 64, c.text) : cleanUtf8(bytes, 64, c.text);
  if (c.way != Encode) {
    EXPECT_EQ(std::string(text, t + 1), c.text + '\0');
  }
  if (c.way != Decode) {
    EXPECT_EQ(std::string(bytes, b + 1), c.bytes + '\0');
  }
}

INSTANTIATE_TEST_SUITE_P(
    Texts, Conversion,
    ::testing::Values(
        Case{"OneToFourBytes", false, Both, "a\u00E9\u670D\U0001F600\U0010FFFF",
             "a\u00E9\u670D\U0001F600\U0010FFFF"},
        // One U+FFFD for each maximal invalid part: overlong forms, an encoded surrogate, a value
        // above U+10FFFF, stray continuations, sequences cut short.
        Case{"Invalid", false, Decode,
             "\xC0\xAF\xE0\x80\xAF\xED\xA0\x80z\xF4\x90\x80\x80\x80\xBF"
             "\xE6\x9Cx\xE6\xE6\x9C\x8D\xF0\x9F\x98",
             replacements(8) + "z" + replacements(7) + "x\uFFFD\u670D\uFFFD"},
        Case{"Chinese", true, Both, "\xB7\xFE\xCE\xF1\xD2\xD1\xC6\xF4.", "服务已启."},
        Case{"EuroAndControls", true, Both, "a\x80\x7F\x01~", "a\u20AC\x7F\x01~"},
        // A lead byte before a byte that cannot trail it or at the end, 0xFF, an unmapped pair.
        Case{"Invalid", true, Decode, "\x81 x\xB7\xFE\xFF\xA1\x40z\xB7",
             "\uFFFD x服\uFFFD\uFFFDz\uFFFD"},
        // What the code page lacks, and UTF-8 that is no character.
        Case{"Unmappable", true, Encode, "a?b?c?", "a\U0001F600b\xFF" "c\u0E01"}),
    [](const auto& p) { return p.param.name + std::string(p.param.codePage ? "Cp936" : "Utf8"); });

TEST(FixedText, NeverWritesPastItsEnd) {
  struct {
    FixedText<8> text;
    char guard[8] = "guard!!";
  } t;

  EXPECT_FALSE(t.text.assign("123456789") || t.text.format("%s%d", "abcdef", 12345));
  EXPECT_FALSE(t.text.append("x") || t.text.appendNumber(-5, 10, ' ') || t.text != "abcdef1");
  std::memcpy(t.text.data(), "abcdefgh", 8);  // no terminator within: the length is counted again
  t.text.syncLength(100);
  EXPECT_FALSE(t.text != "abcdefg" || !t.text.assign("cdef") || t.text.append(t.text.view()));
  EXPECT_EQ(std::string(t.text.view()) + t.guard, "cdefcdeguard!!");         // from itself, cut
  EXPECT_TRUE(t.text.assign(t.text.view().substr(2)) && t.text == "efcde");  // overlapping
  EXPECT_TRUE(t.text.assign(std::string_view("ab\0cd", 5)) && t.text.append('\0') &&
              t.text == "ab");  // a text ends at its first NUL
  for (int i = 0; i < 5; ++i) EXPECT_TRUE(t.text.append('x'));
  EXPECT_FALSE(t.text.append('y') || t.text != "abxxxxx" || std::string(t.guard) != "guard!!");
  FixedText<64> wide;  // texts long enough for the block copy
  EXPECT_TRUE(wide.assign(std::string_view("0123456789abcdefghij\0tail", 25)) &&
              wide.assign(wide.view().substr(2)) && wide == "23456789abcdefghij");
  EXPECT_TRUE(wide.append(wide.view()) && wide == "23456789abcdefghij23456789abcdefghij");
}

constexpr std::string_view kOld =
    "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\Software\\Drovnel]\n\"v\"=hex(1):6f,6c,64\n";

class Reg : public ::testing::Test {
 protected:
  void set(std::string_view name, std::string_view data) {  // saved as the key closes
    std::unique_ptr<RegistryKey> key;
    ASSERT_FALSE(registry.createKey("Software\\Drovnel", Registry::Access::Write, key));
    ASSERT_FALSE(key->setValue(name, kRegSz, reinterpret_cast<const uint8_t*>(data.data()),
                               static_cast<uint32_t>(data.size())));
  }

  std::optional<std::string> query(std::string_view name) {
    std::unique_ptr<RegistryKey> key;
    std::string buf(8192, '\0');
    uint32_t type = 0, size = static_cast<uint32_t>(buf.size());
    if (registry.createKey("Software\\Drovnel", Registry::Access::Read, key) ||
        key->queryValue(name, type, reinterpret_cast<uint8_t*>(buf.data()), size))
      return std::nullopt;
    return buf.substr(0, size);
  }

  TempDir dir;
  fs::path file = dir.path / "registry.reg";
  LinuxRegistry registry{file.string(), codec};
};

TEST_F(Reg, AFileOfAnotherToolReadsAsItsBytesAndASaveKeepsWhatItDoesNotKnow) {
  writeFile(file,
            "REGEDIT4\r\n; by hand\r\n[HKEY_LOCAL_MACHINE\\Software\\Before]\r\n\"a\"=\"one\"\r\n"
            "[HKEY_LOCAL_MACHINE\\SOFTWARE\\DROVNEL]\r\n\"auth_root1\"=\"C:\\\\My \\\"d\\\"\"\r\n"
            "\"auth_user1\"=\"\u7ba1\u7406 caf\u00e9 \U0001F600\"\r\n\"n\"=dword:0000012a\r\n"
            "\"blob\"=hex:00,FF,\\\r\n  80\r\n@=hex(b):ab\r\n[After]\r\n\"z\"=hex(1):\r\n");
  EXPECT_EQ(query("auth_root1"), "C:\\My \"d\"");
  EXPECT_EQ(query("AUTH_USER1"), "\xB9\xDC\xC0\xED caf\xA8\xA6 ?");  // in the code page
  EXPECT_EQ(*query("n") + *query("blob"), std::string("*\1\0\0\0\xff\x80", 7));
  set("auth_user1", std::string("x\0", 2));
  const std::string saved =
      "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\Software\\Before]\n\"a\"=hex(1):6f,6e,65\n\n"
      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\DROVNEL]\n\"auth_user1\"=hex(1):78,00\n"
      "\"auth_root1\"=hex(1):43,3a,5c,4d,79,20,22,64,22\n\"n\"=hex(4):2a,01,00,00\n"
      "\"blob\"=hex(3):00,ff,80\n@=hex(b):ab\n\n[After]\n\"z\"=hex(1):\n";
  EXPECT_EQ(readFile(file), saved);
  RegistryDocument doc;  // the written form reads back to itself, byte for byte
  EXPECT_TRUE(parseRegistry(saved, {}, doc) && formatRegistry(doc) == saved);
}

TEST_F(Reg, MalformedFilesReadEmptyAndAreKeptAsBadWhenReplaced) {
  for (const std::string tail :  // each after "REGEDIT4\n[K]\n"
       {"\"v\"=hex(1):6\n", "\"v\"=hex(1):6g\n", "\"v\"=hex(1):61,\\\n", "\"v\"=dword:12\n",
        "\"v\"=hex(123456789):61\n", "\"v=hex(1):61\n", "\"v\"=\"a\\nb\"\n", "\"v\"=\"ab\n",
        "v=a\n", "[K\n"}) {
    RegistryDocument doc;
    EXPECT_FALSE(parseRegistry("REGEDIT4\n[K]\n" + tail, {}, doc) || !doc.sections.empty()) << tail;
  }
  const std::string broken(kOld.substr(0, kOld.size() - 2));
  writeFile(file, broken);
  EXPECT_EQ(query("v"), std::nullopt);
  set("v", "a");
  EXPECT_EQ(readFile(dir.path / "registry.reg.bad"), broken);
  EXPECT_EQ(query("v"), "a");
}

TEST_F(Reg, ASaveIsAllOrNothingAndLeavesNoTemporary) {
  writeFile(file, kOld);
  // In a child whose files may grow to 64 bytes only, the write of the new file fails part way.
  const pid_t child = ::fork();
  if (child == 0) {
    const rlimit small{64, 64};
    ::signal(SIGXFSZ, SIG_IGN);
    if (::setrlimit(RLIMIT_FSIZE, &small) != 0) ::_exit(2);
    set("v", std::string(4096, 'x'));  // the save fails quietly
    ::_exit(HasFailure() ? 1 : 0);
  }
  ASSERT_GT(child, 0);
  int status = -1;
  if (!eventually([&] { return ::waitpid(child, &status, WNOHANG) != 0; }, 30s)) {
    ::kill(child, SIGKILL);
    ::waitpid(child, &status, 0);
  }
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  EXPECT_EQ(readFile(file), kOld);
  writeFile(dir.path / "registry.reg.tmp", "torn garb");  // left by a crash: neither read nor kept
  EXPECT_EQ(query("v"), "old");
  set("v", "new");
  EXPECT_EQ(query("v"), "new");
  EXPECT_EQ(entries(dir.path), 1);
}

// A sysfs folder of real files, the sysfs root while it lives: rfkill<index>/type, soft, hard.
using Radios = std::vector<std::tuple<int, const char*, bool, bool>>;

struct Sysfs {
  explicit Sysfs(const Radios& radios) {
    ::setenv(kSysfsRootVariable, dir.path.c_str(), 1);
    fs::create_directories(at(7));  // no type: not a radio
    for (const auto& [index, type, soft, hard] : radios) {
      fs::create_directories(at(index));
      writeFile(at(index) / "type", std::string(type) + "\n");  // as the kernel shows them
      writeFile(at(index) / "soft", soft ? "1\n" : "0\n");
      writeFile(at(index) / "hard", hard ? "1\n" : "0\n");
    }
  }
  ~Sysfs() { ::unsetenv(kSysfsRootVariable); }
  fs::path at(int i) const { return dir.path / "class/rfkill" / ("rfkill" + std::to_string(i)); }

  TempDir dir;
};

TEST(WirelessSwitch, TheLastRegisteredWirelessLanAnswersAndSwitchingLeavesAHardBlock) {
  int row = 0;
  for (const auto& [radios, on] : std::vector<std::pair<Radios, std::optional<bool>>>{
           {{}, std::nullopt},
           {{{0, "bluetooth", false, false}}, std::nullopt},
           {{{0, "wlan", false, false}}, true},
           {{{0, "wlan", true, false}}, false},
           {{{0, "wlan", false, true}}, false},
           {{{10, "wlan", false, false}, {2, "wlan", true, false}}, true}}) {  // index order
    const Sysfs sysfs(radios);
    EXPECT_EQ(RfkillWirelessSwitch().isOn(), on) << "row " << row++;
  }
  Sysfs sysfs({{0, "wlan", true, false}, {1, "bluetooth", true, false}, {2, "wlan", true, true}});
  RfkillWirelessSwitch wireless;
  EXPECT_TRUE(wireless.setOn(true));
  EXPECT_EQ(readFile(sysfs.at(0) / "soft") + readFile(sysfs.at(1) / "soft") +
                readFile(sysfs.at(2) / "soft"),
            "0\n1\n0\n");
  EXPECT_EQ(wireless.isOn(), false);  // rfkill2 answers, and it is hard-blocked
}
#if DROVN_HAVE_LIBSYSTEMD
// logind on a bus of the test's own answers Inhibit with one end of a pipe whose other end it
// keeps, as the real one does, so it sees the lock end once every copy of that end is closed.
std::atomic<int> lockEnd{-1};
std::string inhibited;  // what, who and mode of the last Inhibit; written before lockEnd

int inhibit(sd_bus_message* m, void*, sd_bus_error*) {
  const char *what, *who, *why, *mode;
  int ends[2];
  if (sd_bus_message_read(m, "ssss", &what, &who, &why, &mode) < 0 || ::pipe2(ends, O_CLOEXEC))
    return -1;
  inhibited = std::string(what) + " " + who + " " + mode;
  const int r = sd_bus_reply_method_return(m, "h", ends[1]);  // the reply carries a copy
  ::close(ends[1]);
  lockEnd = ends[0];
  return r < 0 ? r : 1;
}

bool lockEnded(int ms) {  // waits up to ms for the end of the last lock
  pollfd p{lockEnd.exchange(-1), POLLIN, 0};
  char byte;
  const bool ended = ::poll(&p, 1, ms) == 1 && ::read(p.fd, &byte, 1) == 0;
  return ended ? ::close(p.fd) == 0 : (lockEnd = p.fd, false);
}

TEST(AwakeHold, IsOneIdleLockOnTheSystemBusEndedByReleaseOrDestruction) {
  TempDir dir;
  const std::string command =
      "dbus-daemon --session --fork --print-address=1 --print-pid=1 --address=unix:path=" +
      (dir.path / "bus").string() + " 2>/dev/null";
  FILE* out = ::popen(command.c_str(), "r");
  char address[512] = "", pid[32] = "";
  const bool started = out && std::fgets(address, 512, out) && std::fgets(pid, 32, out);
  if (out) ::pclose(out);
  if (!started) GTEST_SKIP() << "dbus-daemon could not be started";

  const std::shared_ptr<void> daemon(nullptr, [id = std::atoi(pid)](void*) {  // stops it
    ::kill(id, SIGTERM);
  });

  ::setenv("DBUS_SYSTEM_BUS_ADDRESS", std::strtok(address, "\n"), 1);
  sd_bus* raw = nullptr;
  ASSERT_GE(sd_bus_open_system(&raw), 0);
  const std::unique_ptr<sd_bus, sd_bus* (*)(sd_bus*)> bus(raw, sd_bus_flush_close_unref);
  ASSERT_GE(sd_bus_request_name(raw, "org.freedesktop.login1", 0), 0);
  ASSERT_GE(sd_bus_add_object(raw, nullptr, "/org/freedesktop/login1", inhibit, nullptr), 0);
  const std::jthread logind([raw](std::stop_token stop) {
    while (!stop.stop_requested())
      if (sd_bus_process(raw, nullptr) <= 0) sd_bus_wait(raw, 50000);
  });
  std::optional<LogindAwakeHold> awake(std::in_place);  // the lock must end with it too
  for (int round = 0; round < 2; ++round) {
    ASSERT_TRUE(awake->hold() && awake->hold());  // held already: true again
    ASSERT_TRUE(eventually([] { return lockEnd >= 0; }, 10s));
    EXPECT_EQ(inhibited, "idle drovn block");
    EXPECT_FALSE(lockEnded(0));
    round ? awake.reset() : awake->release();
    EXPECT_TRUE(lockEnded(10000)) << round;
  }
}
#endif

// Equal posts still waiting merge into one, in the order of the first; a send is never merged
// and gets its answer; a sender told to stop waiting gets its fallback.
TEST(MessageQueue, EqualPostsMergeAndASendIsAnswered) {
  MessageQueue q;
  for (const Message& m : std::vector<Message>{
           events::LogTextReady{}, events::Command{7}, events::LogTextReady{},
           events::LogTextReady{.progress = true}, events::Command{8}, events::Command{7}})
    q.post(m);
  std::vector<Message> taken;
  for (MessageQueue::Taken t; q.take(t, 0);) taken.push_back(t.message);
  EXPECT_EQ(taken,
            (std::vector<Message>{events::LogTextReady{}, events::Command{7},
                                  events::LogTextReady{.progress = true}, events::Command{8}}));
  q.post(events::NetworkCheck{true});
  std::jthread main([&q] {
    MessageQueue::Taken t;
    for (int answered = 0; answered < 2 && q.take(t, 10000);) {
      const auto* check = std::get_if<events::NetworkCheck>(&t.message);
      if (check == nullptr || !t.reply) continue;  // the post
      MessageQueue::answer(t, check->networkFound ? 1 : 0);
      ++answered;
    }
  });
  EXPECT_EQ(q.send(events::NetworkCheck{true}, {}, -1), 1);   // not merged with the post
  EXPECT_EQ(q.send(events::NetworkCheck{false}, {}, -1), 0);  // the stand-in has ended after it
  EXPECT_EQ(q.send(events::ServiceStateChanged{}, [] { return false; }, -1), -1);
}

TEST(SingleInstance, OneFileIsOneInstanceWhateverItsSpelling) {
  TempDir dir;
  fs::create_directory_symlink(dir.path, dir.path / "link");
  MessageQueue first, second;
  MessageQueue::Taken t;
  auto held = SingleInstance::claim((dir.path / "registry.reg").string(), first);
  ASSERT_NE(held, nullptr);
  for (const char* other : {"registry.reg", "link/./x/../registry.reg"}) {
    EXPECT_EQ(SingleInstance::claim((dir.path / other).string(), second), nullptr) << other;
    EXPECT_TRUE(first.take(t, 5000) && std::holds_alternative<events::BringToFront>(t.message))
        << other;
  }
  held.reset();  // given up: the next claim holds it
  EXPECT_NE(SingleInstance::claim((dir.path / "registry.reg").string(), second), nullptr);
}
}  // namespace
}  // namespace drovn::platform
