#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/RegistryFile.h"

namespace drovn::platform {
namespace {

std::vector<uint8_t> bytes(std::string_view s) {
  return std::vector<uint8_t>(s.begin(), s.end());
}

// The string form's text as its data, marked so a test sees that the converter was used.
std::vector<uint8_t> markedText(std::string_view utf8) {
  std::vector<uint8_t> out = bytes(utf8);
  out.push_back('!');
  return out;
}

struct Parsed {
  bool ok;
  RegistryDocument doc;
};

Parsed parse(std::string_view text) {
  Parsed p{false, {}};
  p.doc.sections.push_back(RegistrySection{"stale", {}});
  p.ok = parseRegistry(text, markedText, p.doc);
  return p;
}

constexpr std::string_view kCanonical =
    "REGEDIT4\n"
    "\n"
    "[HKEY_LOCAL_MACHINE\\Software\\Drovnel]\n"
    "\"auth_Anonymous\"=hex(1):31,00\n"
    "\"auth_user1\"=hex(1):61,64,6d,69,6e\n"
    "\"auth_pwd1\"=hex(1):\n"
    "\n"
    "[HKEY_LOCAL_MACHINE\\Software\\Other]\n"
    "\"blob\"=hex(3):00,ff,7f\n"
    "\"count\"=hex(4):2a,00,00,00\n";

TEST(RegistryFile, ReadsTheCanonicalForm) {
  const Parsed p = parse(kCanonical);
  ASSERT_TRUE(p.ok);
  ASSERT_EQ(p.doc.sections.size(), 2u);
  const RegistrySection& s = p.doc.sections[0];
  EXPECT_EQ(s.key, "HKEY_LOCAL_MACHINE\\Software\\Drovnel");
  ASSERT_EQ(s.values.size(), 3u);
  EXPECT_EQ(s.values[0].name, "auth_Anonymous");
  EXPECT_EQ(s.values[0].type, 1u);
  EXPECT_EQ(s.values[0].data, bytes(std::string_view("1\0", 2)));
  EXPECT_EQ(s.values[1].data, bytes("admin"));
  EXPECT_EQ(s.values[2].name, "auth_pwd1");
  EXPECT_TRUE(s.values[2].data.empty());
  const RegistrySection& o = p.doc.sections[1];
  ASSERT_EQ(o.values.size(), 2u);
  EXPECT_EQ(o.values[0].type, 3u);
  EXPECT_EQ(o.values[0].data, (std::vector<uint8_t>{0x00, 0xff, 0x7f}));
  EXPECT_EQ(o.values[1].type, 4u);
}

TEST(RegistryFile, WritesWhatItReadsByteForByte) {
  const Parsed p = parse(kCanonical);
  ASSERT_TRUE(p.ok);
  EXPECT_EQ(formatRegistry(p.doc), kCanonical);
}

TEST(RegistryFile, EmptyDocumentIsTheHeaderAlone) {
  EXPECT_EQ(formatRegistry(RegistryDocument{}), "REGEDIT4\n");
  EXPECT_TRUE(parse("REGEDIT4\n").ok);
}

TEST(RegistryFile, WritesNamesEscapedTypesInHexAndTheUnnamedValueAsAt) {
  RegistryDocument doc;
  RegistrySection& s = doc.findOrAdd("HKEY_LOCAL_MACHINE\\K");
  s.values.push_back(RegistryValue{"a\"b\\c", 1, bytes("x")});
  s.values.push_back(RegistryValue{"", 11, {0xAB}});
  const std::string text = formatRegistry(doc);
  EXPECT_EQ(text,
            "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\K]\n"
            "\"a\\\"b\\\\c\"=hex(1):78\n"
            "@=hex(b):ab\n");
  RegistryDocument back;
  ASSERT_TRUE(parseRegistry(text, markedText, back));
  ASSERT_EQ(back.sections.size(), 1u);
  ASSERT_EQ(back.sections[0].values.size(), 2u);
  EXPECT_EQ(back.sections[0].values[0].name, "a\"b\\c");
  EXPECT_EQ(back.sections[0].values[1].name, "");
  EXPECT_EQ(back.sections[0].values[1].type, 11u);
  EXPECT_EQ(back.sections[0].values[1].data, std::vector<uint8_t>{0xAB});
}

// Forms people and other tools write, each read as the one value "v" of the key "[K]".
struct LenientCase {
  const char* what;
  std::string text;
  uint32_t type;
  std::vector<uint8_t> data;
};

class RegistryFileLenient : public ::testing::TestWithParam<LenientCase> {};

TEST_P(RegistryFileLenient, ReadsTheValue) {
  const Parsed p = parse(GetParam().text);
  ASSERT_TRUE(p.ok) << GetParam().text;
  ASSERT_EQ(p.doc.sections.size(), 1u);
  EXPECT_EQ(p.doc.sections[0].key, "K");
  ASSERT_EQ(p.doc.sections[0].values.size(), 1u);
  const RegistryValue& v = p.doc.sections[0].values[0];
  EXPECT_EQ(v.name, "v");  // a value named twice keeps its first spelling
  EXPECT_EQ(v.type, GetParam().type);
  EXPECT_EQ(v.data, GetParam().data);
}

INSTANTIATE_TEST_SUITE_P(
    Forms, RegistryFileLenient,
    ::testing::Values(
        LenientCase{"CrLf", "REGEDIT4\r\n\r\n[K]\r\n\"v\"=hex(1):61,62\r\n", 1, bytes("ab")},
        LenientCase{"CommentsAndBlanks",
                    "; saved by hand\nREGEDIT4\n\n; accounts\n[K]\n  \n\t\n;\"v\"=hex(1):00\n"
                    "\"v\"=hex(1):61\n\n",
                    1, bytes("a")},
        LenientCase{"Bom", "\xEF\xBB\xBFREGEDIT4\n[K]\n\"v\"=hex(1):61\n", 1, bytes("a")},
        LenientCase{"NoFinalLineEnd", "REGEDIT4\n[K]\n\"v\"=hex(1):61", 1, bytes("a")},
        LenientCase{"UpperCaseAndBlanks", "REGEDIT4\n[K]\n\"v\" = hex(1):6A , 6B,6c \n", 1,
                    bytes("jkl")},
        LenientCase{"HexTypeNumber", "REGEDIT4\n[K]\n\"v\"=hex(7):00\n", 7, {0}},
        LenientCase{"HexTypeInHexDigits", "REGEDIT4\n[K]\n\"v\"=hex(b):01\n", 11, {1}},
        LenientCase{"Binary", "REGEDIT4\n[K]\n\"v\"=hex:01,02\n", 3, {1, 2}},
        LenientCase{"Dword", "REGEDIT4\n[K]\n\"v\"=dword:0000012a\n", 4, {0x2a, 0x01, 0, 0}},
        LenientCase{"ContinuedList", "REGEDIT4\n[K]\n\"v\"=hex(1):61,62,\\\n  63,\\\r\n  64\n", 1,
                    bytes("abcd")},
        LenientCase{"String", "REGEDIT4\n[K]\n\"v\"=\"plain text\"\n", 1, bytes("plain text!")},
        LenientCase{"StringEscapes", "REGEDIT4\n[K]\n\"v\"=\"C:\\\\My \\\"dir\\\"\"\n", 1,
                    bytes("C:\\My \"dir\"!")},
        LenientCase{"EmptyString", "REGEDIT4\n[K]\n\"v\"=\"\"\n", 1, bytes("!")},
        LenientCase{"LaterValueWins", "REGEDIT4\n[K]\n\"v\"=hex(1):61\n\"V\"=hex(1):62\n", 1,
                    bytes("b")}),
    [](const auto& c) { return std::string(c.param.what); });

struct BadCase {
  const char* what;
  std::string text;
};

class RegistryFileBad : public ::testing::TestWithParam<BadCase> {};

TEST_P(RegistryFileBad, IsNotARegistryFileAndLeavesNothing) {
  const Parsed p = parse(GetParam().text);
  EXPECT_FALSE(p.ok) << GetParam().text;
  EXPECT_TRUE(p.doc.sections.empty());
}

INSTANTIATE_TEST_SUITE_P(
    Forms, RegistryFileBad,
    ::testing::Values(BadCase{"Empty", ""}, BadCase{"NoHeader", "[K]\n\"v\"=hex(1):61\n"},
                      BadCase{"OtherHeader", "Windows Registry Editor Version 5.00\n[K]\n"},
                      BadCase{"ValueBeforeSection", "REGEDIT4\n\"v\"=hex(1):61\n"},
                      BadCase{"EmptySectionName", "REGEDIT4\n[]\n"},
                      BadCase{"UnclosedSection", "REGEDIT4\n[K\n"},
                      BadCase{"StrayLine", "REGEDIT4\n[K]\nauth_user1=admin\n"},
                      BadCase{"NoEquals", "REGEDIT4\n[K]\n\"v\" hex(1):61\n"},
                      BadCase{"UnclosedName", "REGEDIT4\n[K]\n\"v=hex(1):61\n"},
                      BadCase{"UnknownEscape", "REGEDIT4\n[K]\n\"v\"=\"a\\nb\"\n"},
                      BadCase{"UnclosedString", "REGEDIT4\n[K]\n\"v\"=\"abc\n"},
                      BadCase{"AfterString", "REGEDIT4\n[K]\n\"v\"=\"abc\" x\n"},
                      BadCase{"OneDigit", "REGEDIT4\n[K]\n\"v\"=hex(1):6\n"},
                      BadCase{"ThreeDigits", "REGEDIT4\n[K]\n\"v\"=hex(1):616\n"},
                      BadCase{"NotHex", "REGEDIT4\n[K]\n\"v\"=hex(1):6g\n"},
                      BadCase{"TrailingComma", "REGEDIT4\n[K]\n\"v\"=hex(1):61,\n"},
                      BadCase{"ContinuedAtEnd", "REGEDIT4\n[K]\n\"v\"=hex(1):61,\\\n"},
                      BadCase{"BadType", "REGEDIT4\n[K]\n\"v\"=hex(x):61\n"},
                      BadCase{"TypeTooLong", "REGEDIT4\n[K]\n\"v\"=hex(123456789):61\n"},
                      BadCase{"ShortDword", "REGEDIT4\n[K]\n\"v\"=dword:12\n"},
                      BadCase{"Delete", "REGEDIT4\n[K]\n\"v\"=-\n"}),
    [](const auto& c) { return std::string(c.param.what); });

TEST(RegistryFile, KeysMatchWithoutCaseAndASectionNamedTwiceIsOneKey) {
  const Parsed p = parse(
      "REGEDIT4\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Drovnel]\n\"a\"=hex(1):61\n"
      "[Other]\n\"o\"=hex(1):6f\n"
      "[hkey_local_machine\\software\\drovnel]\n\"b\"=hex(1):62\n");
  ASSERT_TRUE(p.ok);
  RegistryDocument doc = p.doc;
  ASSERT_EQ(doc.sections.size(), 2u);
  RegistrySection* s = doc.find("HKEY_LOCAL_MACHINE\\Software\\DROVNEL");
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(s->key, "HKEY_LOCAL_MACHINE\\SOFTWARE\\Drovnel");  // the first spelling stays
  ASSERT_EQ(s->values.size(), 2u);
  EXPECT_EQ(s->values[1].name, "b");
  EXPECT_EQ(&doc.findOrAdd("other"), &doc.sections[1]);
  EXPECT_EQ(doc.find("Software\\Drovnel"), nullptr);  // the whole path, not a part of it
}

TEST(RegistryFile, CaseOnlyFoldsAsciiLetters) {
  EXPECT_TRUE(equalsIgnoringAsciiCase("auth_USER1", "AUTH_user1"));
  EXPECT_FALSE(equalsIgnoringAsciiCase("auth_user1", "auth_user"));
  EXPECT_FALSE(equalsIgnoringAsciiCase("[", "{"));  // 0x5B and 0x7B are 32 apart, not letters
  EXPECT_FALSE(equalsIgnoringAsciiCase("\xC3\xA9", "\xC3\x89"));
}

}  // namespace
}  // namespace drovn::platform
