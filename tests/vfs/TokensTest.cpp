#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "vfs/Tokens.h"

namespace drovn::vfs {
namespace {

struct TrimCase {
  std::string text;
  std::string trimmed;
};

class TrimTest : public testing::TestWithParam<TrimCase> {};

TEST_P(TrimTest, RemovesBlanksAtBothEndsInPlace) {
  FixedText<2048> text(GetParam().text);
  EXPECT_EQ(trimText(text), GetParam().trimmed.size());
  EXPECT_EQ(text.view(), GetParam().trimmed);
  EXPECT_EQ(text.c_str()[text.size()], '\0');
  EXPECT_EQ(trimmedView(GetParam().text), GetParam().trimmed);
}

INSTANTIATE_TEST_SUITE_P(
    Texts, TrimTest,
    testing::Values(TrimCase{"", ""}, TrimCase{"x", "x"}, TrimCase{" x", "x"},
                    TrimCase{"x \r\n", "x"}, TrimCase{" \t\r\nCWD  a b\t\n", "CWD  a b"},
                    TrimCase{"\tin\tside\t", "in\tside"},
                    // blanks only: the text keeps what it had, length included
                    TrimCase{"   ", "   "}, TrimCase{"\t\r\n", "\t\r\n"},
                    // only the four blanks count: a vertical tab or NBSP byte stays
                    TrimCase{"\v x \xA0", "\v x \xA0"}));

TEST(TrimTest, WorksOnEveryBufferSize) {
  FixedText<8> small(" abcde ");
  EXPECT_EQ(trimText(small), 5u);
  EXPECT_EQ(small.view(), "abcde");

  FixedText<2048> full(std::string(1, ' ') + std::string(2045, 'a') + " ");
  EXPECT_EQ(trimText(full), 2045u);
  EXPECT_EQ(full.view(), std::string(2045, 'a'));
}

struct SplitCase {
  std::string text;
  char sep;
  std::vector<std::string> tokens;
};

class SplitTest : public testing::TestWithParam<SplitCase> {};

TEST_P(SplitTest, OneTokenPerRunOfOtherBytes) {
  TokenList list;
  list.append("left over from the last line");
  EXPECT_EQ(splitTokens(GetParam().text, GetParam().sep, list), GetParam().tokens.size());
  ASSERT_EQ(list.size(), GetParam().tokens.size());
  for (std::size_t i = 0; i < list.size(); ++i) EXPECT_EQ(list[i].view(), GetParam().tokens[i]);
}

INSTANTIATE_TEST_SUITE_P(
    Lines, SplitTest,
    testing::Values(SplitCase{"", ' ', {}}, SplitCase{"    ", ' ', {}},
                    SplitCase{"NOOP", ' ', {"NOOP"}}, SplitCase{"USER bob", ' ', {"USER", "bob"}},
                    SplitCase{"  RNFR  a   b  ", ' ', {"RNFR", "a", "b"}},
                    // a tab is not the separator: the word and its argument stay one token
                    SplitCase{"CWD\tdocs", ' ', {"CWD\tdocs"}},
                    SplitCase{"RETR x\r\n", ' ', {"RETR", "x\r\n"}},
                    SplitCase{"127,0,,0,1,", ',', {"127", "0", "0", "1"}},
                    SplitCase{",,,", ',', {}}, SplitCase{"//a//b/", '/', {"a", "b"}}));

TEST(TokenListTest, EraseMovesTheLaterTokensDown) {
  TokenList list;
  EXPECT_EQ(splitTokens("LIST -l docs more", ' ', list), 4u);
  list.erase(1);
  ASSERT_EQ(list.size(), 3u);
  EXPECT_EQ(list[0].view(), "LIST");
  EXPECT_EQ(list[1].view(), "docs");
  EXPECT_EQ(list[2].view(), "more");
  list.erase(2);
  list.erase(0);
  ASSERT_EQ(list.size(), 1u);
  EXPECT_EQ(list[0].view(), "docs");
  list.clear();
  EXPECT_TRUE(list.empty());
}

TEST(TokenListTest, EachTokenIsAFullTextOfItsOwn) {
  TokenList list;
  const std::string longWord(2047, 'w');
  EXPECT_EQ(splitTokens(longWord + " b", ' ', list), 2u);
  EXPECT_EQ(list[0].view(), longWord);
  list[1].append("+more");  // a token can be edited without touching its neighbour
  EXPECT_EQ(list[1].view(), "b+more");
  EXPECT_EQ(list[0].view(), longWord);
}

struct CaseCompare {
  std::string a;
  std::string b;
  bool equal;
};

class EqualsIgnoringCaseTest : public testing::TestWithParam<CaseCompare> {};

TEST_P(EqualsIgnoringCaseTest, FoldsOnlyAsciiLettersOverWholeTexts) {
  EXPECT_EQ(equalsIgnoringCase(GetParam().a, GetParam().b), GetParam().equal);
  EXPECT_EQ(equalsIgnoringCase(GetParam().b, GetParam().a), GetParam().equal);
}

INSTANTIATE_TEST_SUITE_P(
    Texts, EqualsIgnoringCaseTest,
    testing::Values(CaseCompare{"", "", true}, CaseCompare{"admin", "ADMIN", true},
                    CaseCompare{"AdMiN", "aDmIn", true}, CaseCompare{"admin", "admin ", false},
                    CaseCompare{"admin", "adm", false}, CaseCompare{"", "a", false},
                    CaseCompare{"Zz", "zZ", true},
                    // '@' '[' '`' '{' sit 0x20 apart like letters but are not letters
                    CaseCompare{"@", "`", false}, CaseCompare{"[", "{", false},
                    // bytes above 0x7F (code-page text) are compared as they are
                    CaseCompare{"\xC4", "\xE4", false},
                    CaseCompare{"\xD6\xD0\xCE\xC4", "\xD6\xD0\xCE\xC4", true}));

// The one number reader behind REST offsets, PORT fields and the port setting.
TEST(LeadingNumberTest, ReadsAsAtoiAndHoldsAtTheEnds) {
  const std::pair<const char*, int64_t> cases[] = {
      {"", 0},          {"abc", 0},       {" \t\v\f\r\n17", 17}, {"  -17", -17}, {"- 17", 0},
      {"+42x", 42},     {"--5", 0},       {"7 8", 7},            {"00000000000000000000123", 123},
      {"3000000000", 3000000000LL},       {"9223372036854775807", INT64_MAX},
      {"99999999999999999999999", INT64_MAX},                    {"-99999999999999999999", -INT64_MAX}};
  for (const auto& [text, value] : cases) EXPECT_EQ(leadingNumber(text), value) << text;
  EXPECT_EQ(leadingInt("3000000000"), INT32_MAX);
  EXPECT_EQ(leadingInt("-3000000000"), INT32_MIN);
  EXPECT_EQ(leadingInt("2121"), 2121);
}

}  // namespace
}  // namespace drovn::vfs
