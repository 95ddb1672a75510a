#include <gtest/gtest.h>

#include <string>

#include "platform/Utf8.h"

namespace drovn::platform {
namespace {

struct DecodeCase {
  const char* name;
  std::string utf8;
  std::u16string utf16;
};

class Utf8Decode : public ::testing::TestWithParam<DecodeCase> {};

TEST_P(Utf8Decode, BoundedAndUnboundedAgree) {
  const DecodeCase& c = GetParam();
  char16_t out[64];
  std::size_t n = utf8ToUtf16(out, 64, c.utf8);
  EXPECT_EQ(std::u16string(out, n), c.utf16);
  EXPECT_EQ(out[n], u'\0');
  EXPECT_EQ(utf8ToUtf16(c.utf8), c.utf16);
}

// One U+FFFD per maximal invalid subsequence, as the Unicode and WHATWG decoders do.
INSTANTIATE_TEST_SUITE_P(
    Cases, Utf8Decode,
    ::testing::Values(DecodeCase{"Ascii", "abc", u"abc"},
                      DecodeCase{"TwoAndThreeByte", "\xC3\xA9\xE6\x9C\x8D", u"\u00E9\u670D"},
                      DecodeCase{"FourByteIsAPair", "\xF0\x9F\x98\x80", u"\U0001F600"},
                      DecodeCase{"HighestScalar", "\xF4\x8F\xBF\xBF", u"\U0010FFFF"},
                      DecodeCase{"OverlongTwoByte",
                                 "\xC0\xAF"
                                 "a",
                                 u"\uFFFD\uFFFD"
                                 "a"},
                      DecodeCase{"OverlongThreeByte", "\xE0\x80\xAF", u"\uFFFD\uFFFD\uFFFD"},
                      DecodeCase{"OverlongFourByte", "\xF0\x8F\xBF\xBF",
                                 u"\uFFFD\uFFFD\uFFFD\uFFFD"},
                      DecodeCase{"EncodedSurrogate",
                                 "\xED\xA0\x80"
                                 "b",
                                 u"\uFFFD\uFFFD\uFFFD"
                                 "b"},
                      DecodeCase{"AboveMaximum", "\xF4\x90\x80\x80", u"\uFFFD\uFFFD\uFFFD\uFFFD"},
                      DecodeCase{"StrayContinuation",
                                 "a\x80\xBF"
                                 "b",
                                 u"a\uFFFD\uFFFD"
                                 "b"},
                      DecodeCase{"TruncatedThreeByteMidText",
                                 "\xE6\x9C"
                                 "x",
                                 u"\uFFFD"
                                 "x"},
                      DecodeCase{"TruncatedFourByteAtEnd", "a\xF0\x9F\x98", u"a\uFFFD"},
                      DecodeCase{"InvalidLeadBytes", "\xF5\xFF\xC1", u"\uFFFD\uFFFD\uFFFD"},
                      DecodeCase{"TruncatedThenValid", "\xE6\xE6\x9C\x8D", u"\uFFFD\u670D"}),
    [](const ::testing::TestParamInfo<DecodeCase>& i) { return std::string(i.param.name); });

TEST(Utf8, BoundedDecodeStopsAtNulAndAtLimit) {
  using namespace std::string_literals;
  char16_t out[8];
  EXPECT_EQ(utf8ToUtf16(out, 8, "ab\0cd"s), 2u);
  EXPECT_EQ(std::u16string(out), u"ab");

  EXPECT_EQ(utf8ToUtf16(out, 4, "abcdef"), 3u);
  EXPECT_EQ(std::u16string(out), u"abc");

  EXPECT_EQ(utf8ToUtf16(out, 1, "abc"), 0u);
  EXPECT_EQ(out[0], u'\0');
}

// A pair that needs two units with one left is not written in half.
TEST(Utf8, BoundedDecodeNeverSplitsAPair) {
  const std::string text = "ab\xF0\x9F\x98\x80";
  char16_t out[5];
  EXPECT_EQ(utf8ToUtf16(out, 4, text), 2u);  // room for 3 units: a, b, and half a pair
  EXPECT_EQ(std::u16string(out), u"ab");
  EXPECT_EQ(utf8ToUtf16(out, 5, text), 4u);  // exactly room for the pair
  EXPECT_EQ(std::u16string(out), u"ab\U0001F600");
}

TEST(Utf8, EncodeLoneSurrogatesAndPairs) {
  EXPECT_EQ(utf16ToUtf8(u"\U0001F600\u670D"), "\xF0\x9F\x98\x80\xE6\x9C\x8D");
  const char16_t lone[] = {u'a', 0xD800, u'b', 0xDC00, 0xD83D, 0};
  EXPECT_EQ(utf16ToUtf8(std::u16string_view(lone)),
            "a\xEF\xBF\xBD"
            "b\xEF\xBF\xBD\xEF\xBF\xBD");
}

TEST(Utf8, BoundedEncodeNeverCutsACharacter) {
  char out[8];
  // "a" + 3-byte + 4-byte = 8 bytes: with 7 bytes of room the 4-byte one is left out.
  EXPECT_EQ(utf16ToUtf8(out, 8, u"a\u670D\U0001F600"), 4u);
  EXPECT_EQ(std::string(out), "a\xE6\x9C\x8D");
  char exact[9];
  EXPECT_EQ(utf16ToUtf8(exact, 9, u"a\u670D\U0001F600"), 8u);
  EXPECT_EQ(std::string(exact), "a\xE6\x9C\x8D\xF0\x9F\x98\x80");
  EXPECT_EQ(utf16ToUtf8(out, 3, u"\u670D"), 0u);
  EXPECT_EQ(out[0], '\0');
  // Plain ASCII stops at the limit too, and mixed text keeps its order across the two paths.
  EXPECT_EQ(utf16ToUtf8(out, 3, u"abc"), 2u);
  EXPECT_EQ(std::string(out), "ab");
  EXPECT_EQ(utf16ToUtf8(out, 1, u"abc"), 0u);
  EXPECT_EQ(out[0], '\0');
  EXPECT_EQ(utf16ToUtf8(exact, 9, u"a\u670Db\u00E9c"), 8u);
  EXPECT_EQ(std::string(exact), "a\xE6\x9C\x8D" "b\xC3\xA9" "c");
}

TEST(Utf8, RoundTripOfEveryPlane) {
  std::u16string wide;
  for (char32_t cp : {U'A', U'\u07FF', U'\u0800', U'\uD7FF', U'\uE000', U'\uFFFF', U'\U00010000',
                      U'\U0010FFFF'}) {
    if (cp < 0x10000) {
      wide.push_back(static_cast<char16_t>(cp));
    } else {
      wide.push_back(static_cast<char16_t>(0xD800 + ((cp - 0x10000) >> 10)));
      wide.push_back(static_cast<char16_t>(0xDC00 + ((cp - 0x10000) & 0x3FF)));
    }
  }
  EXPECT_EQ(utf8ToUtf16(utf16ToUtf8(wide)), wide);
}

}  // namespace
}  // namespace drovn::platform
