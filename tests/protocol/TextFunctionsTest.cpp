#include <gtest/gtest.h>

#include <string>

#include "protocol/TextFunctions.h"

namespace drovn::protocol {
namespace {

// A reply of first + middle + last in a 2048-byte buffer, for middles around the room left.
class ComposeReplyTest : public testing::TestWithParam<std::size_t> {};

TEST_P(ComposeReplyTest, KeepsTheLastPartWhole) {
  const std::string first = "257 \"";
  const std::string last = "\" is current directory.\r\n";
  const std::string middle(GetParam(), 'm');
  Text out;
  composeReply(out, first, middle, last);
  const std::size_t room = Text::kCapacity - first.size() - last.size();
  EXPECT_EQ(out.view(), first + middle.substr(0, room) + last);
  EXPECT_LE(out.size(), Text::kCapacity);
}

// The middle that fills 2047 bytes exactly, one less and one more, and far more.
INSTANTIATE_TEST_SUITE_P(Boundaries, ComposeReplyTest, testing::Values(0, 2016, 2017, 2018, 4000));

TEST(ComposeReplyTest, ALastPartLongerThanTheBufferIsCutAtTheEnd) {
  FixedText<8> out;
  composeReply(out, "ab", "cd", "0123456789");
  EXPECT_EQ(out.view(), "0123456");
}

struct SubstringCase {
  const char* source;
  std::size_t start;
  std::size_t length;
  const char* expected;
};

class CopySubstringTest : public testing::TestWithParam<SubstringCase> {};

TEST_P(CopySubstringTest, CopiesWhatTheSourceHolds) {
  const SubstringCase& c = GetParam();
  Text dest("old contents");
  copySubstring(c.source, dest, c.start, c.length);
  EXPECT_EQ(dest.view(), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, CopySubstringTest,
    testing::Values(SubstringCase{"UTF8 ON", 0, 5, "UTF8 "}, SubstringCase{"UTF8 ON", 5, 7, "ON"},
                    SubstringCase{"UTF8 ON", 7, 3, ""}, SubstringCase{"UTF8 ON", 9, 3, ""},
                    SubstringCase{"UTF8 ON", 2, 0, ""}, SubstringCase{"", 0, 4, ""}));

TEST(CopySubstringTest, ADestinationTooSmallIsCut) {
  FixedText<4> dest;
  copySubstring("abcdefgh", dest, 1, 6);
  EXPECT_EQ(dest.view(), "bcd");
}

TEST(UpperCaseAsciiTest, OnlyAsciiLettersChange) {
  Text word("noOp\t\xE4\xb8\xad-z");
  upperCaseAscii(word);
  EXPECT_EQ(word.view(), "NOOP\t\xE4\xb8\xad-Z");
}

}  // namespace
}  // namespace drovn::protocol
