#include <gtest/gtest.h>

#include <regex>
#include <set>
#include <string>

#include "app/helpers.h"

namespace velmora {
namespace {

TEST(Base64, KnownVectorsBothWays) {
  const std::pair<std::string, std::string> vectors[] = {
      {"", ""},         {"a", "YQ=="},         {"ab", "YWI="},         {"abc", "YWJj"},
      {"abcd", "YWJjZA=="}, {"foobar", "Zm9vYmFy"}, {"\xff\xfe\xfd", "//79"},
  };
  for (const auto& [plain, encoded] : vectors) {
    EXPECT_EQ(Base64Encode(plain), encoded) << plain;
    EXPECT_EQ(Base64Decode(encoded), plain) << encoded;
  }
}

TEST(Base64, InputEndsAtFirstZeroByte) {
  EXPECT_EQ(Base64Encode(std::string("ab\0cd", 5)), "YWI=");
  // "YQBi" decodes to "a\0b": only the part before the zero is kept.
  EXPECT_EQ(Base64Decode("YQBi"), "a");
}

TEST(Base64, ShortGroupsAndForeignCharacters) {
  EXPECT_EQ(Base64Decode("YWJ"), "ab");    // three characters give two bytes
  EXPECT_EQ(Base64Decode("YW"), "a");      // two give one
  EXPECT_EQ(Base64Decode("Y"), "");        // one gives none
  EXPECT_EQ(Base64Decode("Y!J*"), Base64Decode("YAJA"));  // outside the alphabet counts as 0
}

TEST(Version, FourthNumberMarksPreRelease) {
  EXPECT_EQ(VersionText(1, 1, 0, 0), "1.1.0");
  EXPECT_EQ(VersionText(1, 2, 3, 4), "1.2.3-pre4");
  EXPECT_EQ(VersionText(2, 0, 5, 0), "2.0.5");
  EXPECT_EQ(VersionText(2, 0, 5, 7), "2.0.5-pre7");
  EXPECT_TRUE(std::regex_match(VersionString(), std::regex(R"(\d+\.\d+\.\d+(-pre\d+)?)")));
}

TEST(Uuid, FormUniquenessAndOrder) {
  std::regex form("[0-9a-f]{8}-[0-9a-f]{4}-7[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}");
  std::set<std::string> seen;
  std::string previous;
  for (int i = 0; i < 5000; ++i) {
    std::string text = NewUuidText();
    ASSERT_EQ(text.size(), 36u);
    ASSERT_TRUE(std::regex_match(text, form)) << text;
    ASSERT_TRUE(seen.insert(text).second) << "duplicate " << text;
    // Time-ordered: the first 48 bits and the counter never go back.
    ASSERT_GT(text.substr(0, 18), previous.substr(0, previous.empty() ? 0 : 18)) << text;
    previous = text;
  }
}

// Protocol words, schemes and extensions: only ASCII letters change, whatever the
// locale; UTF-8 bytes are never touched, so a non-ASCII name cannot match by accident.
TEST(AsciiCase, LowersOnlyAsciiLetters) {
  EXPECT_EQ(AsciiLower("HTTPS://Cam-01.Example:8443/Z@[\\]`{"), "https://cam-01.example:8443/z@[\\]`{");
  EXPECT_EQ(AsciiLower("\xc3\x84\xc3\x9c"), "\xc3\x84\xc3\x9c");  // "ÄÜ" stays as it is
  EXPECT_EQ(AsciiLower(std::string_view("A\0B", 3)), std::string("a\0b", 3));
  EXPECT_EQ(AsciiLower('@'), '@');
  EXPECT_EQ(AsciiLower('['), '[');
}

TEST(AsciiCase, ComparesPrefixesSuffixesAndWholeTexts) {
  EXPECT_TRUE(EqualsNoCase("Digest", "dIGEST"));
  EXPECT_FALSE(EqualsNoCase("Digest", "Digest "));
  EXPECT_FALSE(EqualsNoCase("@", "`"));  // 0x40 and 0x60 differ by the case bit only
  EXPECT_FALSE(EqualsNoCase("\xc3\x84", "\xc3\xa4"));
  EXPECT_TRUE(EqualsNoCase("", ""));

  EXPECT_TRUE(StartsWithNoCase("HTTP://host/", "http://"));
  EXPECT_TRUE(StartsWithNoCase("http://", "HTTP://"));
  EXPECT_FALSE(StartsWithNoCase("http:/", "http://"));
  EXPECT_TRUE(StartsWithNoCase("anything", ""));

  EXPECT_TRUE(EndsWithNoCase("26120814.VLJ", ".vlj"));
  EXPECT_TRUE(EndsWithNoCase(".vlj", ".vlj"));
  EXPECT_FALSE(EndsWithNoCase("vlj", ".vlj"));
  EXPECT_FALSE(EndsWithNoCase("file.vlj.tmp", ".vlj"));
}

TEST(Names, CaseInsensitiveIncludingNonAscii) {
  EXPECT_TRUE(NamesEqual("Yard Camera", "yard CAMERA"));
  EXPECT_TRUE(NamesEqual("\xc3\x84ussere T\xc3\xbcr", "\xc3\xa4ussere t\xc3\x9cR"));  // Äußere
  EXPECT_TRUE(NamesEqual("\xd0\x9a\xd0\xb0\xd0\xbc\xd0\xb5\xd1\x80\xd0\xb0",
                         "\xd0\xba\xd0\x90\xd0\x9c\xd0\x95\xd0\xa0\xd0\x90"));  // Камера
  EXPECT_FALSE(NamesEqual("Door 1", "Door 2"));
  EXPECT_FALSE(NamesEqual("a", "a "));
  // Broken UTF-8 compares byte for byte and never matches a valid letter.
  EXPECT_TRUE(NamesEqual("x\xff", "X\xff"));
  EXPECT_FALSE(NamesEqual("\xc3", "\xc3\xa4"));
  // Overlong and out-of-range sequences are broken text too: two different ones are two
  // different names, and neither is the replacement character U+FFFD.
  EXPECT_FALSE(NamesEqual("Yard \xe0\x80\x80", "Yard \xe0\x81\x81"));
  EXPECT_FALSE(NamesEqual("\xf4\x90\x80\x80", "\xf5\x80\x80\x80"));
  EXPECT_FALSE(NamesEqual("\xe0\x80\x80", "\xef\xbf\xbd"));
  EXPECT_EQ(FoldCase("A\xe0\x80\x80"), "a\xe0\x80\x80");
}

TEST(Utf8, DecodesShortestFormsAndRefusesTheRest) {
  struct Case {
    const char* text;
    std::size_t length;
    char32_t codePoint;
  };
  const Case cases[] = {
      {"A", 1, U'A'},
      {"\xc2\x80", 2, 0x80},                // smallest two-byte
      {"\xdf\xbf", 2, 0x7FF},
      {"\xe0\xa0\x80", 3, 0x800},          // smallest three-byte
      {"\xef\xbf\xbf", 3, 0xFFFF},         // a valid code point (what XML refuses is its own rule)
      {"\xf0\x90\x80\x80", 4, 0x10000},
      {"\xf4\x8f\xbf\xbf", 4, 0x10FFFF},  // the greatest
      {"\xc1\xbf", 0, 0},                   // overlong two-byte
      {"\xe0\x9f\xbf", 0, 0},              // overlong three-byte
      {"\xf0\x8f\xbf\xbf", 0, 0},         // overlong four-byte
      {"\xed\xa0\x80", 0, 0},              // surrogate
      {"\xf4\x90\x80\x80", 0, 0},         // beyond U+10FFFF
      {"\xf5\x80\x80\x80", 0, 0},
      {"\x80", 0, 0},                       // continuation byte alone
      {"\xe2\x82", 0, 0},                   // cut off at the end of the text
      {"\xe2\x28\xa1", 0, 0},              // broken by an ASCII byte
  };
  for (const Case& c : cases) {
    char32_t codePoint = 0;
    EXPECT_EQ(DecodeUtf8(c.text, 0, codePoint), c.length) << c.text;
    if (c.length > 0) {
      EXPECT_EQ(codePoint, c.codePoint) << c.text;
    }
  }
  // From an offset inside the text, and never reading past its end.
  const std::string text = "ab\xe2\x82\xac";  // "ab€"
  char32_t codePoint = 0;
  EXPECT_EQ(DecodeUtf8(text, 2, codePoint), 3u);
  EXPECT_EQ(codePoint, 0x20ACu);
  EXPECT_EQ(DecodeUtf8(std::string_view(text).substr(0, 4), 2, codePoint), 0u);
}

}  // namespace
}  // namespace velmora
