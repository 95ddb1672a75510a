#include <gtest/gtest.h>

#include <string>

#include "vfs/Encoding.h"

namespace drovn::vfs {
namespace {

// "中文目录" in each client encoding.
constexpr char kUtf8[] = "\xE4\xB8\xAD\xE6\x96\x87\xE7\x9B\xAE\xE5\xBD\x95";
constexpr char kCodePage[] = "\xD6\xD0\xCE\xC4\xC4\xBF\xC2\xBC";
constexpr char16_t kWide[] = u"中文目录";

class EncodingTest : public testing::Test {
 protected:
  platform::LinuxTextCodec codec_;
  FixedWide<kConvertLimit> wide_{u"left over from before, longer than what comes next"};
  FixedText<kConvertLimit> text_{"left over from before, longer than what comes next"};
};

TEST_F(EncodingTest, ChineseRoundTripsInBothClientEncodings) {
  for (const bool utf8 : {true, false}) {
    const char* bytes = utf8 ? kUtf8 : kCodePage;
    clientToWide(codec_, utf8, wide_, bytes);
    EXPECT_EQ(wide_.view(), kWide) << "utf8 " << utf8;
    wideToClient(codec_, utf8, text_, wide_.c_str());
    EXPECT_EQ(text_.view(), bytes) << "utf8 " << utf8;
  }
}

TEST_F(EncodingTest, TheSelectorsPickTheFunctionByTheFlag) {
  utf8ToWide(wide_, kUtf8);
  EXPECT_EQ(wide_.view(), kWide);
  codePageToWide(codec_, wide_, kCodePage);
  EXPECT_EQ(wide_.view(), kWide);
  wideToUtf8(text_, kWide);
  EXPECT_EQ(text_.view(), kUtf8);
  wideToCodePage(codec_, text_, kWide);
  EXPECT_EQ(text_.view(), kCodePage);

  // The other encoding's bytes are read as what they would be in this one.
  clientToWide(codec_, false, wide_, kUtf8);
  EXPECT_NE(wide_.view(), kWide);
  clientToWide(codec_, true, wide_, kCodePage);
  EXPECT_NE(wide_.view(), kWide);
}

TEST_F(EncodingTest, AsciiIsTheSameInBothEncodings) {
  for (const bool utf8 : {true, false}) {
    clientToWide(codec_, utf8, wide_, "/docs/Read Me.txt");
    EXPECT_EQ(wide_.view(), u"/docs/Read Me.txt");
    wideToClient(codec_, utf8, text_, u"/docs/Read Me.txt");
    EXPECT_EQ(text_.view(), "/docs/Read Me.txt");
  }
}

struct InvalidUtf8 {
  std::string bytes;
  std::u16string wide;
};

class InvalidUtf8Test : public EncodingTest, public testing::WithParamInterface<InvalidUtf8> {};

TEST_P(InvalidUtf8Test, BecomesReplacementCharacters) {
  utf8ToWide(wide_, GetParam().bytes.c_str());
  EXPECT_EQ(wide_.view(), GetParam().wide);
}

INSTANTIATE_TEST_SUITE_P(
    Sequences, InvalidUtf8Test,
    testing::Values(InvalidUtf8{"\xFF", u"\uFFFD"}, InvalidUtf8{"a\x80z", u"a\uFFFDz"},
                    InvalidUtf8{"\xE4\xB8", u"\uFFFD"}, InvalidUtf8{"\xE4\xB8/x", u"\uFFFD/x"},
                    InvalidUtf8{"\xC0\xAF", u"\uFFFD\uFFFD"},            // overlong '/'
                    InvalidUtf8{"\xED\xA0\x80", u"\uFFFD\uFFFD\uFFFD"},  // a surrogate
                    InvalidUtf8{"\xF0\x9F\x98\x80", u"\U0001F600"}));

TEST_F(EncodingTest, InvalidCodePageTextAndMissingCharacters) {
  codePageToWide(codec_, wide_, "a\x81");  // a lead byte at the end
  EXPECT_EQ(wide_.view(), u"a\uFFFD");
  wideToCodePage(codec_, text_, u"x\U0001F600y");  // not in the code page
  EXPECT_EQ(text_.view(), "x?y");
  const char16_t loneSurrogate[] = {u'a', 0xD800, u'b', 0};
  wideToUtf8(text_, loneSurrogate);
  EXPECT_EQ(text_.view(), std::string("a\xEF\xBF\xBD") + "b");
}

TEST_F(EncodingTest, NothingGoesPastTheLimit) {
  // 2047 bytes always fit 2048 units; more is cut and the text still ends in a terminator.
  const std::string ascii2047(2047, 'a');
  for (const bool utf8 : {true, false}) {
    clientToWide(codec_, utf8, wide_, ascii2047.c_str());
    EXPECT_EQ(wide_.size(), 2047u);
    clientToWide(codec_, utf8, wide_, std::string(3000, 'b').c_str());
    EXPECT_EQ(wide_.size(), 2047u);
    EXPECT_EQ(wide_.c_str()[2047], u'\0');
  }

  // 2047 wide characters of three UTF-8 bytes or two GBK bytes: whole characters only.
  const std::u16string chinese(2047, u'中');
  wideToUtf8(text_, chinese.c_str());
  EXPECT_EQ(text_.size(), 2046u);
  EXPECT_EQ(text_.view().substr(2043), "\xE4\xB8\xAD");
  wideToCodePage(codec_, text_, chinese.c_str());
  EXPECT_EQ(text_.size(), 2046u);
  EXPECT_EQ(text_.view().substr(2044), "\xD6\xD0");
  wideToClient(codec_, true, text_, std::u16string(2047, u'a').c_str());
  EXPECT_EQ(text_.size(), 2047u);
}

TEST_F(EncodingTest, EachConversionReplacesWhatTheDestinationHeld) {
  for (const bool utf8 : {true, false}) {
    wide_.assign(u"a much longer text that was there before");
    clientToWide(codec_, utf8, wide_, "ab");
    EXPECT_EQ(wide_.view(), u"ab");
    text_.assign("a much longer text that was there before");
    wideToClient(codec_, utf8, text_, u"ab");
    EXPECT_EQ(text_.view(), "ab");
    clientToWide(codec_, utf8, wide_, "");
    EXPECT_TRUE(wide_.empty());
  }
}

}  // namespace
}  // namespace drovn::vfs
