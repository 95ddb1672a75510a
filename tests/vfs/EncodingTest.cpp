#include <gtest/gtest.h>

#include <string>

#include "vfs/Encoding.h"

namespace drovn::vfs {
namespace {

TEST(EncodingTest, ClientBytesAndWideTextConvertBothWays) {
  enum Way { Both, ToWide, ToClient };
  const struct {
    bool utf8;
    std::string client;
    std::u16string wide;
    Way way;
  } rows[] = {
      {true, "\xE4\xB8\xAD\xE6\x96\x87\xE7\x9B\xAE\xE5\xBD\x95", u"中文目录", Both},
      {false, "\xD6\xD0\xCE\xC4\xC4\xBF\xC2\xBC", u"中文目录", Both},
      {true, "/docs/Read Me.txt", u"/docs/Read Me.txt", Both},
      {false, "/docs/Read Me.txt", u"/docs/Read Me.txt", Both},
      {true, "\xF0\x9F\x98\x80", u"\U0001F600", Both},
      // invalid sequences become U+FFFD, never a separator they might hide
      {true, "a\x80z", u"a\uFFFDz", ToWide},
      {true, "\xE4\xB8/x", u"\uFFFD/x", ToWide},
      {true, "\xC0\xAF", u"\uFFFD\uFFFD", ToWide},
      {true, "\xED\xA0\x80", u"\uFFFD\uFFFD\uFFFD", ToWide},
      {false, "a\x81", u"a\uFFFD", ToWide},
      // what the code page lacks shows as '?', a lone surrogate as U+FFFD
      {false, "x?y", u"x\U0001F600y", ToClient},
      {true, "a\xEF\xBF\xBD" "b", std::u16string{u'a', char16_t(0xD800), u'b'}, ToClient},
  };
  platform::LinuxTextCodec codec;
  FixedWide<kConvertLimit> wide(u"left over from before, longer than what comes next");
  FixedText<kConvertLimit> text("left over from before, longer than what comes next");
  for (const auto& r : rows) {
    SCOPED_TRACE(r.client + (r.utf8 ? " utf8" : " code page"));
    if (r.way != ToClient) {
      clientToWide(codec, r.utf8, wide, r.client.c_str());
      EXPECT_EQ(wide.view(), r.wide);
    }
    if (r.way != ToWide) {
      wideToClient(codec, r.utf8, text, r.wide.c_str());
      EXPECT_EQ(text.view(), r.client);
    }
  }
}

TEST(EncodingTest, LongTextsAreCutToWholeCharactersWithinTheLimit) {
  platform::LinuxTextCodec codec;
  FixedWide<kConvertLimit> wide;
  FixedText<kConvertLimit> text;
  for (const bool utf8 : {true, false}) {
    clientToWide(codec, utf8, wide, std::string(3000, 'b').c_str());
    EXPECT_EQ(wide.view(), std::u16string(2047, u'b'));
    // Three UTF-8 bytes or two code-page bytes a character: 2046 bytes either way.
    wideToClient(codec, utf8, text, std::u16string(2047, u'中').c_str());
    ASSERT_EQ(text.size(), 2046u);
    EXPECT_EQ(text.view().substr(utf8 ? 2043 : 2044), utf8 ? "\xE4\xB8\xAD" : "\xD6\xD0");
  }
}

}  // namespace
}  // namespace drovn::vfs
