#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "platform/TextCodec.h"

namespace drovn::platform {
namespace {

// "服务已启动." in code page 936.
constexpr char kStartedCp936[] = "\xB7\xFE\xCE\xF1\xD2\xD1\xC6\xF4\xB6\xAF.";
constexpr char16_t kStartedWide[] = u"服务已启动.";

std::u16string toWide(TextCodec& codec, const char* cp, std::size_t cap = 256) {
  std::vector<char16_t> out(cap, u'\x7777');
  std::size_t n = codec.codePageToWide(out.data(), cap, cp);
  EXPECT_EQ(out[n], u'\0');
  return std::u16string(out.data(), n);
}

std::string toCodePage(TextCodec& codec, const char16_t* wide, std::size_t cap = 256) {
  std::vector<char> out(cap, '\x77');
  std::size_t n = codec.wideToCodePage(out.data(), cap, wide);
  EXPECT_EQ(out[n], '\0');
  return std::string(out.data(), n);
}

TEST(LinuxTextCodec, ChineseRoundTrip) {
  LinuxTextCodec codec;
  EXPECT_EQ(toCodePage(codec, kStartedWide), kStartedCp936);
  EXPECT_EQ(toWide(codec, kStartedCp936), kStartedWide);
  EXPECT_EQ(toWide(codec, "plain ASCII"), u"plain ASCII");
}

struct InvalidCase {
  const char* name;
  std::string bytes;
  std::u16string wide;
};

class Cp936Invalid : public ::testing::TestWithParam<InvalidCase> {};

TEST_P(Cp936Invalid, BecomesReplacementAndGoesOn) {
  LinuxTextCodec codec;
  EXPECT_EQ(toWide(codec, GetParam().bytes.c_str()), GetParam().wide);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Cp936Invalid,
    ::testing::Values(
        // A lead byte followed by a byte that cannot trail it: that byte starts anew.
        InvalidCase{"LeadBeforeSpace", "\x81 x\xB7\xFE", u"\uFFFD x服"},
        InvalidCase{"LeadBeforeDigit",
                    "\xB7"
                    "1",
                    u"\uFFFD"
                    "1"},
        // A lead byte at the very end.
        InvalidCase{"LeadAtEnd", "ok\xB7", u"ok\uFFFD"},
        // 0xFF starts no character.
        InvalidCase{"ByteFF",
                    "a\xFF"
                    "b",
                    u"a\uFFFD"
                    "b"},
        // A well-formed pair with no character in the table (user-defined area).
        InvalidCase{"UnmappedPair",
                    "\xA1\x40"
                    "z",
                    u"\uFFFD"
                    "z"}),
    [](const ::testing::TestParamInfo<InvalidCase>& i) { return std::string(i.param.name); });

TEST(LinuxTextCodec, UnmappableAndLoneSurrogatesBecomeQuestionMarks) {
  LinuxTextCodec codec;
  const char16_t text[] = {u'a', 0xD83D, 0xDE00, u'b', 0xDC00, u'c', 0x0E01, 0xD800, 0};
  EXPECT_EQ(toCodePage(codec, text), "a?b?c??");
}

TEST(LinuxTextCodec, LimitNeverSplitsADoubleByteCharacter) {
  LinuxTextCodec codec;
  // "a服务": 1 + 2 + 2 bytes. Four bytes of room hold "a服" and not half of "务".
  EXPECT_EQ(toCodePage(codec, u"a服务", 5), "a\xB7\xFE");
  EXPECT_EQ(toCodePage(codec, u"a服务", 6), "a\xB7\xFE\xCE\xF1");
  EXPECT_EQ(toCodePage(codec, u"服", 2), "");
  EXPECT_EQ(toWide(codec, kStartedCp936, 4), u"服务已");
  EXPECT_EQ(toWide(codec, kStartedCp936, 1), u"");
}

// ASCII takes a shorter way than other text; it must end at the limit exactly as the rest does,
// and ASCII followed by other text must still convert whole.
TEST(LinuxTextCodec, AsciiIsCutAtTheLimitLikeOtherText) {
  LinuxTextCodec codec;
  EXPECT_EQ(toCodePage(codec, u"abcd", 5), "abcd");
  EXPECT_EQ(toCodePage(codec, u"abcd", 4), "abc");
  EXPECT_EQ(toCodePage(codec, u"", 1), "");
  EXPECT_EQ(toWide(codec, "abcd", 5), u"abcd");
  EXPECT_EQ(toWide(codec, "abcd", 4), u"abc");
  EXPECT_EQ(toWide(codec, "", 1), u"");
  EXPECT_EQ(toCodePage(codec, u"file.txt 服"), "file.txt \xB7\xFE");
  EXPECT_EQ(toWide(codec, "file.txt \xB7\xFE"), u"file.txt 服");
  EXPECT_EQ(toWide(codec, "a\x80"), u"a\u20AC");  // code page 936's one single-byte extra
  EXPECT_EQ(toCodePage(codec, u"\x7F\x01~"), "\x7F\x01~");
}

TEST(LinuxTextCodec, ConcurrentUseFromSeveralThreads) {
  LinuxTextCodec codec;
  constexpr int kThreads = 6;
  constexpr int kRounds = 300;
  std::vector<int> failures(kThreads, 0);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&codec, &failures, t] {
      for (int i = 0; i < kRounds; ++i) {
        char cp[64];
        char16_t wide[64];
        codec.wideToCodePage(cp, sizeof cp, kStartedWide);
        codec.codePageToWide(wide, 64, cp);
        if (std::u16string(wide) != kStartedWide || std::string(cp) != kStartedCp936)
          ++failures[static_cast<std::size_t>(t)];
      }
    });
  }
  for (auto& th : threads) th.join();
  for (int t = 0; t < kThreads; ++t) EXPECT_EQ(failures[static_cast<std::size_t>(t)], 0) << t;
}

}  // namespace
}  // namespace drovn::platform
