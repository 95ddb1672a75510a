#include <gtest/gtest.h>

#include <climits>
#include <cstdio>
#include <cstring>
#include <string>

#include "platform/FixedText.h"

namespace drovn {
namespace {

class FixedTextCut : public ::testing::TestWithParam<std::size_t> {};

// A 2048-byte text holds 2047 bytes: one more is cut and reported, one less fits.
TEST_P(FixedTextCut, AssignAppendAndFormatCutAtCapacity) {
  const std::size_t n = GetParam();
  const std::string input(n, 'x');
  const bool fits = n <= 2047;
  const std::size_t kept = fits ? n : 2047;

  FixedText<2048> assigned;
  EXPECT_EQ(assigned.assign(input), fits);
  EXPECT_EQ(assigned.size(), kept);
  EXPECT_EQ(assigned.c_str()[kept], '\0');

  FixedText<2048> appended("ab");
  EXPECT_EQ(appended.append(input.substr(2)), fits);
  EXPECT_EQ(appended.size(), kept);
  EXPECT_EQ(appended.view().substr(0, 2), "ab");

  FixedText<2048> formatted;
  EXPECT_EQ(formatted.format("%s", input.c_str()), fits);
  EXPECT_EQ(formatted.size(), kept);
  EXPECT_EQ(formatted.view(), std::string_view(input).substr(0, kept));
}

INSTANTIATE_TEST_SUITE_P(Boundary, FixedTextCut, ::testing::Values(2046u, 2047u, 2048u, 2049u));

TEST(FixedText, FormatCutKeepsThePrefixAndAppendFormatContinues) {
  FixedText<8> t;
  EXPECT_FALSE(t.format("#%d>%s", 12, "hello"));
  EXPECT_EQ(t, "#12>hel");
  EXPECT_FALSE(t.appendFormat("%d", 5));  // already full
  EXPECT_EQ(t, "#12>hel");

  FixedText<16> u("a=");
  EXPECT_TRUE(u.appendFormat("%d,%s", -3, "b"));
  EXPECT_EQ(u, "a=-3,b");
}

TEST(FixedText, AppendNumberExtremes) {
  FixedText<32> t;
  EXPECT_TRUE(t.appendNumber(LLONG_MIN));
  EXPECT_EQ(t, "-9223372036854775808");
  t.clear();
  EXPECT_TRUE(t.appendNumber(LLONG_MAX));
  EXPECT_EQ(t, "9223372036854775807");
  t.assign("n=");
  EXPECT_TRUE(t.appendNumber(0));
  EXPECT_EQ(t, "n=0");

  FixedText<4> small;
  EXPECT_FALSE(small.appendNumber(-12345));
  EXPECT_EQ(small, "-12");
}

// The padded form stands in for "%*d" and "%0*d" in the listing: it must write what printf does.
TEST(FixedText, PaddedNumbersMatchPrintf) {
  const long long values[] = {0, 7, -7, 42, -42, 1234, -1234, 2147483647, -2147483648LL,
                              99999, LLONG_MIN, LLONG_MAX};
  for (const long long v : values) {
    for (const int width : {0, 1, 2, 4, 10, 21}) {
      char expected[64];
      std::snprintf(expected, sizeof expected, "%*lld", width, v);
      FixedText<64> spaced;
      EXPECT_TRUE(spaced.appendNumber(v, static_cast<std::size_t>(width), ' '));
      EXPECT_EQ(spaced, expected) << v << " width " << width;
      std::snprintf(expected, sizeof expected, "%0*lld", width, v);
      FixedText<64> zeros;
      EXPECT_TRUE(zeros.appendNumber(v, static_cast<std::size_t>(width), '0'));
      EXPECT_EQ(zeros, expected) << v << " width " << width;
    }
  }
  FixedText<6> small("ab");
  EXPECT_FALSE(small.appendNumber(-5, 10, ' '));
  EXPECT_EQ(small, "ab   ");
}

TEST(FixedText, EmbeddedNulEndsTheText) {
  using namespace std::string_literals;
  FixedText<16> t;
  EXPECT_TRUE(t.assign("ab\0cd"s));
  EXPECT_EQ(t.size(), 2u);
  EXPECT_TRUE(t.append("x\0y"s));
  EXPECT_EQ(t, "abx");
  EXPECT_TRUE(t.format("%c%c%c", 'q', 0, 'r'));
  EXPECT_EQ(t, "q");

  t.assign("hello");
  t.data()[2] = '\0';
  t.syncLength();
  EXPECT_EQ(t, "he");
}

// A length the writer gives is taken only where the text really ends; any other is counted
// again, and none can reach past the buffer.
TEST(FixedText, GivenLengthIsCheckedAgainstTheTerminator) {
  FixedText<8> t;
  std::memcpy(t.data(), "abc\0xyz", 8);
  t.syncLength(3);
  EXPECT_EQ(t, "abc");
  t.syncLength(5);  // no terminator there
  EXPECT_EQ(t, "abc");
  std::memcpy(t.data(), "abcdefgh", 8);  // fills the buffer, terminator and all
  t.syncLength(100);
  EXPECT_EQ(t, "abcdefg");
  FixedWide<8> w;
  std::memcpy(w.data(), u"xyz", 8);
  w.syncLength(3);
  EXPECT_EQ(w.view(), u"xyz");
  w.syncLength(1);  // a unit of the text, not its end
  EXPECT_EQ(w.view(), u"xyz");
}

TEST(FixedText, AssignFromItselfOverlaps) {
  FixedText<16> t("abcdef");
  EXPECT_TRUE(t.assign(t.view().substr(2)));
  EXPECT_EQ(t, "cdef");
  EXPECT_TRUE(t.assign(t.view()));
  EXPECT_EQ(t, "cdef");
  EXPECT_TRUE(t.append(t.view()));
  EXPECT_EQ(t, "cdefcdef");
  EXPECT_FALSE(t.append(t.view()));  // 16 would need a 17th byte for the terminator
  EXPECT_EQ(t, "cdefcdefcdefcde");
}

TEST(FixedWide, CutsAndStopsAtNul) {
  FixedWide<4> w;
  EXPECT_FALSE(w.assign(u"abcd"));
  EXPECT_EQ(w.view(), u"abc");
  EXPECT_EQ(w.c_str()[3], u'\0');
  FixedWide<8> v;
  EXPECT_TRUE(v.assign(std::u16string_view(u"ab\0c", 4)));
  EXPECT_EQ(v.size(), 2u);
  EXPECT_TRUE(v.assign(v.view().substr(1)));
  EXPECT_EQ(v.view(), u"b");
}

}  // namespace
}  // namespace drovn
