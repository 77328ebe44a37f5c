#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <vector>

#include "app/settings.h"
#include "platform/registry.h"
#include "temp_dir.h"

namespace velmora {
namespace {

using test::ReadFile;
using test::TempDir;
using test::WriteFile;

std::string Line(const std::string& key, const std::string& value) {
  return "\t\t<add key=\"" + key + "\" value=\"" + value + "\"/>\n";
}

TEST(SettingsFile, WrittenTextIsExact) {
  Settings s;
  s.pathData = "/srv/recordings";
  EXPECT_EQ(SettingsFileText(s),
            "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
            "<configuration>\n"
            "\t<appSettings>\n" +
                Line("diskFullness", "75") + Line("httpServer", "false") +
                Line("httpServerPort", "80") + Line("logClear", "false") +
                Line("logProfile", "false") + Line("logSizeMaxMB", "2") +
                Line("pathData", "/srv/recordings") + Line("recordEnable", "true") +
                "\t</appSettings>\n"
                "</configuration>\n");
}

TEST(SettingsFile, RoundTripKeepsEveryValue) {
  TempDir dir;
  Settings s;
  s.diskFullness = 90;
  s.httpServer = true;
  s.httpServerPort = 8080;
  s.logClear = true;
  s.logProfile = true;
  s.logSizeMax = 17;
  s.pathData = "/mnt/d\xc3\xa9p\xc3\xb4t/rec";
  s.recordEnable = false;
  s.httpServerUser = "viewer";
  s.httpServerPassword = "s3cret";
  ASSERT_TRUE(WriteSettingsFile(dir.file("a.config"), s));
  Settings back;
  ReadSettingsFile(dir.file("a.config"), back);
  EXPECT_EQ(back.diskFullness, 90);
  EXPECT_TRUE(back.httpServer);
  EXPECT_EQ(back.httpServerPort, 8080);
  EXPECT_TRUE(back.logClear);
  EXPECT_TRUE(back.logProfile);
  EXPECT_EQ(back.logSizeMax, 17u);
  EXPECT_EQ(back.pathData, s.pathData);
  EXPECT_FALSE(back.recordEnable);
  EXPECT_EQ(back.httpServerUser, "viewer");
  EXPECT_EQ(back.httpServerPassword, "s3cret");
  EXPECT_NE(ReadFile(dir.file("a.config")).find("logSizeMaxMB"), std::string::npos);
}

TEST(SettingsFile, LiveJpegQualityIsWrittenOnlyWhenChangedAndReadWithinItsRange) {
  TempDir dir;
  Settings s;
  EXPECT_EQ(s.liveJpegQuality, kLiveJpegQualityDefault);
  EXPECT_EQ(SettingsFileText(s).find("liveJpegQuality"), std::string::npos);
  s.liveJpegQuality = 55;
  ASSERT_TRUE(WriteSettingsFile(dir.file("q.config"), s));
  EXPECT_NE(ReadFile(dir.file("q.config")).find(Line("liveJpegQuality", "55")), std::string::npos);
  Settings back;
  ReadSettingsFile(dir.file("q.config"), back);
  EXPECT_EQ(back.liveJpegQuality, 55);
  for (const auto& [text, expected] : std::vector<std::pair<std::string, int>>{
           {"0", 1}, {"-7", 1}, {"100", 100}, {"250", 100}, {"high", kLiveJpegQualityDefault}, {"", kLiveJpegQualityDefault}}) {
    WriteFile(dir.file("r.config"), "<configuration><appSettings>\n" + Line("liveJpegQuality", text) +
                                        "</appSettings></configuration>\n");
    Settings read;
    ReadSettingsFile(dir.file("r.config"), read);
    EXPECT_EQ(read.liveJpegQuality, expected) << "'" << text << "'";
  }
}

TEST(SettingsFile, LineRulesAndConversions) {
  TempDir dir;
  WriteFile(dir.file("s.config"),
            "<?xml version=\"1.0\"?>\n"
            "garbage line \x01\x02\n"
            " \t <add key=\"pathData\" value=\"/indented\"/> \t\n"
            "<add key=\"diskFullness\" value=\"55\"/> trailing text\n"
            "<add key=\"recordEnable\" value=\"True\"/>\r\n"
            "<add key=\"httpServer\" value=\"true\"/>\n"
            "<add key=\"HTTPSERVERPORT\" value=\"99\"/>\n"
            "<add key=\"httpServerPort\" value=\"81\"/>\n"
            "<add key=\"httpServerPort\" value=\"82\"/>\n"
            "<add key=\"logSizeMax\" value=\"0x10\"/>\n"
            "<add key=\"unknownKey\" value=\"1\"/>\n"
            "<add key=\"logProfile\" value=\"true\" />\n");
  Settings s;
  ReadSettingsFile(dir.file("s.config"), s);
  EXPECT_EQ(s.pathData, "/indented");
  EXPECT_EQ(s.diskFullness, 75) << "a line with text after the element is ignored";
  EXPECT_FALSE(s.recordEnable) << "only \"true\" is true";
  EXPECT_TRUE(s.httpServer);
  EXPECT_EQ(s.httpServerPort, 82) << "keys are case-sensitive and a repeated key wins";
  EXPECT_EQ(s.logSizeMax, 16u);
  EXPECT_FALSE(s.logProfile) << "a space before /> does not match";
}

TEST(SettingsFile, NumberForms) {
  TempDir dir;
  Settings s;
  WriteFile(dir.file("o.config"), Line("logSizeMaxMB", "010") + Line("diskFullness", "-5") +
                                      Line("httpServerPort", "8x"));
  ReadSettingsFile(dir.file("o.config"), s);
  EXPECT_EQ(s.logSizeMax, 8u) << "leading 0 is octal";
  EXPECT_EQ(s.diskFullness, 75) << "below the Options range means the default";
  EXPECT_EQ(s.httpServerPort, 8);
}

// The cleanup thread deletes recordings while the drive is fuller than diskFullness, so
// a value it cannot use must never reach it.
TEST(SettingsFile, DiskFullnessOutsideItsRangeIsCorrectedNotedAndSavedAsInForce) {
  TempDir dir;
  struct Case {
    std::string text;
    int expected;
    std::string note;  // empty when the value is taken as it is
  };
  const std::vector<Case> cases = {
      {"", 75, "diskFullness value \"\" is not a number, using 75"},
      {"abc", 75, "diskFullness value \"abc\" is not a number, using 75"},
      {"-5", 75, "diskFullness value \"-5\" is below 4, using 75"},
      {"0", 75, "diskFullness value \"0\" is below 4, using 75"},
      {"3", 75, "diskFullness value \"3\" is below 4, using 75"},
      {"200", 95, "diskFullness value \"200\" is above 95, using 95"},
      {"99999999999999999999", 95, "diskFullness value \"99999999999999999999\" is above 95, using 95"},
      {"-99999999999999999999", 75, "diskFullness value \"-99999999999999999999\" is below 4, using 75"},
      {"\x01\x7f", 75, "diskFullness value \"??\" is not a number, using 75"},
      {"4", 4, ""},
      {"95", 95, ""},
      {" 60", 60, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE("value \"" + c.text + "\"");
    WriteFile(dir.file("d.config"), Line("diskFullness", c.text));
    Settings s;
    s.diskFullness = 42;
    std::vector<std::string> notes;
    ReadSettingsFile(dir.file("d.config"), s, &notes);
    EXPECT_EQ(s.diskFullness, c.expected);
    EXPECT_EQ(notes, c.note.empty() ? std::vector<std::string>{} : std::vector<std::string>{c.note});
    // What is written back is the value in force, and it reads back without a note.
    ASSERT_TRUE(WriteSettingsFile(dir.file("d.config"), s));
    EXPECT_NE(ReadFile(dir.file("d.config")).find(Line("diskFullness", std::to_string(c.expected))),
              std::string::npos);
    notes.clear();
    ReadSettingsFile(dir.file("d.config"), s, &notes);
    EXPECT_EQ(s.diskFullness, c.expected);
    EXPECT_TRUE(notes.empty());
  }

  // Only the value in force is checked: a bad value overwritten by a later line is not
  // noted, and the last of two bad values is noted once.
  WriteFile(dir.file("r.config"), Line("diskFullness", "0") + Line("diskFullness", "80"));
  Settings s;
  std::vector<std::string> notes;
  ReadSettingsFile(dir.file("r.config"), s, &notes);
  EXPECT_EQ(s.diskFullness, 80);
  EXPECT_TRUE(notes.empty());
  WriteFile(dir.file("r.config"), Line("diskFullness", "0") + Line("diskFullness", "x"));
  ReadSettingsFile(dir.file("r.config"), s, &notes);
  EXPECT_EQ(s.diskFullness, 75);
  EXPECT_EQ(notes.size(), 1u);
}

TEST(SettingsFile, MissingFileKeepsDefaults) {
  Settings s;
  ReadSettingsFile("/nonexistent/velmora.config", s);
  EXPECT_EQ(s.diskFullness, 75);
  EXPECT_TRUE(s.recordEnable);
  EXPECT_EQ(s.logSizeMax, 2u);
}

TEST(SettingsFile, FailedWriteKeepsExistingFile) {
  TempDir dir;
  std::string path = dir.file("keep.config");
  WriteFile(path, "original");
  // The temporary file cannot be created (its name is taken by a folder).
  mkdir((path + ".tmp").c_str(), 0700);
  Settings s;
  EXPECT_FALSE(WriteSettingsFile(path, s));
  EXPECT_EQ(ReadFile(path), "original");
}

TEST(SettingsFile, WriteIntoMissingFolderFailsWithoutDamage) {
  Settings s;
  EXPECT_FALSE(WriteSettingsFile("/nonexistent-velmora/x.config", s));
}

TEST(Registry, DefaultsWithoutKey) {
  Settings s;
  ReadRegistry("/nonexistent/registry", s);
  EXPECT_TRUE(s.captionShow);
  EXPECT_TRUE(s.captionShowFPS);
  EXPECT_TRUE(s.captionShowSize);
  EXPECT_TRUE(s.deviceListShow);
  EXPECT_TRUE(s.statusBarShow);
  EXPECT_FALSE(s.playbackShow);
  EXPECT_EQ(s.viewMode, 7u);
  EXPECT_EQ(s.aviDataRate, 300u);
  EXPECT_EQ(s.aviKeyFrame, 15u);
  EXPECT_EQ(s.aviQuality, 0xFFFFFFFFu);
  EXPECT_EQ(s.aviFCC, 0u);
  EXPECT_EQ(s.windowPlacement.length, 0u);
}

TEST(Registry, RoundTripAndDeletedValueFallsBack) {
  TempDir dir;
  std::string path = dir.file("registry");
  Settings s;
  s.aviDataRate = 1200;
  s.aviFCC = FourccFromText("MJPG");
  s.captionShowMotion = true;
  s.viewName = "Yard \xe2\x80\x93 Door";
  s.viewTarget = 5;
  s.deviceListWidth = 300;
  s.windowPlacement.length = 44;
  s.windowPlacement.showCmd = 3;
  s.windowPlacement.left = 10;
  s.windowPlacement.right = 810;
  ASSERT_TRUE(WriteRegistry(path, s));

  Settings back;
  ReadRegistry(path, back);
  EXPECT_EQ(back.aviDataRate, 1200u);
  EXPECT_EQ(FourccText(back.aviFCC), "MJPG");
  EXPECT_TRUE(back.captionShowMotion);
  EXPECT_EQ(back.viewName, s.viewName);
  EXPECT_EQ(back.viewTarget, 5u);
  EXPECT_EQ(back.deviceListWidth, 300u);
  EXPECT_EQ(back.windowPlacement.length, 44u);
  EXPECT_EQ(back.windowPlacement.showCmd, 3u);
  EXPECT_EQ(back.windowPlacement.right, 810);

  platform::RegistryKey key;
  ASSERT_TRUE(key.load(path));
  key.erase("aviDataRate");
  ASSERT_TRUE(key.save(path));
  Settings again;
  ReadRegistry(path, again);
  EXPECT_EQ(again.aviDataRate, 300u);
  EXPECT_EQ(again.viewTarget, 5u);
}

TEST(Registry, FourccRules) {
  EXPECT_EQ(FourccFromText("DIB "), 0x20424944u);
  EXPECT_EQ(FourccText(0x20424944u), "DIB ");
  EXPECT_EQ(FourccText(0), "");
  EXPECT_EQ(FourccFromText("H264extra"), FourccFromText("H264"));
  EXPECT_EQ(FourccText(FourccFromText("XV")), "XV");
}

TEST(Registry, PlacementOfWrongLengthIsIgnoredAndLongTextsRefused) {
  TempDir dir;
  std::string path = dir.file("registry");
  platform::RegistryKey key;
  key.setBinary("windowPlacement", std::vector<uint8_t>(40, 1));
  key.setString("viewName", std::string(300, 'n'));
  key.setString("pathVideo", std::string(259, 'v'));
  key.setDword("captionShow", 7);
  ASSERT_TRUE(key.save(path));
  Settings s;
  ReadRegistry(path, s);
  EXPECT_EQ(s.windowPlacement.length, 0u);
  EXPECT_EQ(s.viewName, "");
  EXPECT_EQ(s.pathVideo, std::string(259, 'v'));
  EXPECT_TRUE(s.captionShow) << "any non-zero value is true";
}

TEST(Registry, HostileFileIsSkippedLineByLine) {
  TempDir dir;
  std::string path = dir.file("registry");
  WriteFile(path,
            "aviDataRate=dword:99999999999\n"
            "viewMode=dword:3\n"
            "viewName=string:bad\\x\n"
            "=dword:4\n"
            "windowPlacement=binary:zz\n"
            "aviKeyFrame=dword:\n"
            "pathPictures=string:/pics\\x0aline\n"
            "no separator at all\n");
  Settings s;
  ReadRegistry(path, s);
  EXPECT_EQ(s.aviDataRate, 300u);
  EXPECT_EQ(s.viewMode, 3u);
  EXPECT_EQ(s.viewName, "");
  EXPECT_EQ(s.aviKeyFrame, 15u);
  EXPECT_EQ(s.pathPictures, "/pics\nline");
}

}  // namespace
}  // namespace velmora
