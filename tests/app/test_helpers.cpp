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
}

}  // namespace
}  // namespace velmora
