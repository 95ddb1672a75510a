#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "vfs/Tokens.h"

namespace drovn::vfs {
namespace {

TEST(TokensTest, CommandLinesSplitIntoWordsAndArgumentsLoseTheirBlanks) {
  const struct {
    std::string text;
    char sep;
    std::vector<std::string> tokens;
    std::string trimmed;  // blanks are space, tab, CR and LF; a blanks-only text stays as it is
  } rows[] = {
      {"", ' ', {}, ""},
      {"   ", ' ', {}, "   "},
      {"  RNFR  a   b\r\n", ' ', {"RNFR", "a", "b\r\n"}, "RNFR  a   b"},
      {"CWD\tdocs", ' ', {"CWD\tdocs"}, "CWD\tdocs"},
      {"\t\r\n", ' ', {"\t\r\n"}, "\t\r\n"},
      {"\v x \xA0", ' ', {"\v", "x", "\xA0"}, "\v x \xA0"},
      {"127,0,,0,1,", ',', {"127", "0", "0", "1"}, "127,0,,0,1,"},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.text);
    TokenList list;
    list.append("left over from the last line");
    EXPECT_EQ(splitTokens(r.text, r.sep, list), r.tokens.size());
    ASSERT_EQ(list.size(), r.tokens.size());
    for (std::size_t i = 0; i < list.size(); ++i) EXPECT_EQ(list[i].view(), r.tokens[i]);
    FixedText<2048> text(r.text);
    EXPECT_EQ(trimText(text), r.trimmed.size());
    EXPECT_EQ(text.view(), r.trimmed);
  }
}

// The one number reader behind REST offsets, PORT fields and the port setting.
TEST(TokensTest, NumbersAreReadAsAtoiReadsThemAndHeldAtTheEnds) {
  const std::pair<const char*, int64_t> rows[] = {
      {"", 0}, {"abc", 0}, {" \t\v\f\r\n17", 17}, {"  -17", -17}, {"- 17", 0}, {"+42x", 42},
      {"7 8", 7}, {"3000000000", 3000000000LL}, {"9223372036854775807", INT64_MAX},
      {"99999999999999999999999", INT64_MAX}, {"-99999999999999999999", -INT64_MAX}};
  for (const auto& [text, value] : rows) EXPECT_EQ(leadingNumber(text), value) << text;
  EXPECT_EQ(leadingInt("3000000000"), INT32_MAX);
  EXPECT_EQ(leadingInt("-3000000000"), INT32_MIN);
}

}  // namespace
}  // namespace drovn::vfs
