// The property sheet's rules without widgets: pages and labels per kind, the checks on OK
// in their order, the update-rate table and the slider's place for a delay, days to keep,
// zone cells and the recording-file counter.
#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "app/log.h"
#include "control/property_rules.h"
#include "model/group_record.h"

namespace velmora::control {
namespace {

TEST(PropertyRules, PagesAndDevicePageRulesFollowTheKind) {
  using V = std::vector<int>;
  EXPECT_EQ(PropertyPagesOf(EntryKind::Device), (V{0, 1, 2}));
  EXPECT_EQ(PropertyPagesOf(EntryKind::ServerCamera), (V{0, 1, 2}));
  EXPECT_EQ(PropertyPagesOf(EntryKind::HTTPDevice), (V{0, 1, 2}));
  EXPECT_EQ(PropertyPagesOf(EntryKind::NASDevice), (V{0, 1}));
  for (int32_t kind : {EntryKind::LocalNVR, EntryKind::Group, EntryKind::ServerDevice}) {
    EXPECT_EQ(PropertyPagesOf(kind), (V{0})) << kind;
  }

  const DeviceInfoRules input = DeviceInfoRulesOf(EntryKind::ServerCamera);
  EXPECT_STREQ(input.locationLabel, "&Hostname or IP:");
  EXPECT_TRUE(input.locationReadOnly);
  EXPECT_FALSE(input.credentialsEnabled);
  EXPECT_FALSE(input.syncTimeEnabled);
  const DeviceInfoRules nas = DeviceInfoRulesOf(EntryKind::NASDevice);
  EXPECT_STREQ(nas.locationLabel, "Folder &Path:");
  EXPECT_TRUE(nas.browseShown);
  EXPECT_FALSE(nas.credentialsEnabled);
  const DeviceInfoRules server = DeviceInfoRulesOf(EntryKind::ServerDevice);
  EXPECT_STREQ(server.locationLabel, "&Hostname or IP:");
  EXPECT_TRUE(server.syncTimeEnabled && server.credentialsEnabled && !server.browseShown);
  const DeviceInfoRules web = DeviceInfoRulesOf(EntryKind::HTTPDevice);
  EXPECT_STREQ(web.locationLabel, "&URL:");
  EXPECT_FALSE(web.syncTimeEnabled || web.locationReadOnly);
  EXPECT_STREQ(DeviceInfoRulesOf(EntryKind::Group).locationLabel, "&URL:");

  EXPECT_FALSE(DebugRowShown(0, false));
  EXPECT_TRUE(DebugRowShown(0, true));
  EXPECT_TRUE(DebugRowShown(3, false));
}

TEST(PropertyRules, ChecksRunInOrderAndNameTheControl) {
  const int32_t web = EntryKind::HTTPDevice;
  const int32_t cam = EntryKind::Device;
  // The name first, even when the location is wrong too.
  EXPECT_EQ(CheckDeviceInfo(web, " ", "a,b", 0).messageId, 266);
  EXPECT_EQ(CheckDeviceInfo(cam, "", "", 0).messageId, 130);
  EXPECT_EQ(CheckDeviceInfo(cam, "", "", 0).field, PropertyField::Name);
  for (const char* bad : {"a/b", "a\\b", "a:b", "a*b", "a?b", "a\"b", "a<b", "a>b", "a|b"}) {
    EXPECT_EQ(CheckDeviceInfo(web, bad, "a,b", 0).messageId, 131) << bad;
  }
  // Location rules only for web images: a comma before a missing slash.
  EXPECT_EQ(CheckDeviceInfo(web, "Sky", "host,x", 0).messageId, 269);
  EXPECT_EQ(CheckDeviceInfo(web, "Sky", "host,x", 0).field, PropertyField::Location);
  EXPECT_EQ(CheckDeviceInfo(web, "Sky", "host", 0).messageId, 268);
  EXPECT_TRUE(CheckDeviceInfo(web, "Sky", "host/sky.jpg", 0).ok());
  EXPECT_TRUE(CheckDeviceInfo(cam, "Gate", "10.0.0.1,80", 0).ok());
  // The debug level last, with no message of its own.
  const PropertyProblem level = CheckDeviceInfo(cam, "Gate", "h", 8);
  EXPECT_EQ(level.messageId, 0);
  EXPECT_EQ(level.field, PropertyField::DebugLevel);
  EXPECT_FALSE(CheckDeviceInfo(cam, "Gate", "h", -1).ok());
  EXPECT_TRUE(CheckDeviceInfo(cam, "Gate", "h", 7).ok());
}

TEST(PropertyRules, RateTableIsParsedReversedAndMatched) {
  const std::vector<UpdateRate> table = UpdateRateTable();
  ASSERT_EQ(table.size(), 27u);
  EXPECT_EQ(table.front().name, "Every 24 Hours");
  EXPECT_EQ(table.front().milliseconds, 86400000u);
  EXPECT_EQ(table.back().name, "Fastest Possible");
  EXPECT_EQ(table.back().milliseconds, 0u);
  for (std::size_t i = 1; i < table.size(); ++i) {
    EXPECT_GT(table[i - 1].milliseconds, table[i].milliseconds) << table[i].name;
  }
  auto msOf = [&](const std::string& name) {
    for (const auto& rate : table)
      if (rate.name == name) return rate.milliseconds;
    return 0xFFFFFFFFu;
  };
  EXPECT_EQ(msOf("30 FPS"), 33u);
  EXPECT_EQ(msOf("15 FPS"), 66u);
  EXPECT_EQ(msOf("3 FPS"), 333u);
  EXPECT_EQ(msOf("Every 1 Minute"), 60000u);
  EXPECT_EQ(msOf("Every 5 Seconds"), 5000u);

  RateMatch exact = MatchUpdateRate(table, 125);
  EXPECT_TRUE(exact.exact);
  EXPECT_EQ(table[exact.index].name, "8 FPS");
  RateMatch near = MatchUpdateRate(table, 130);
  EXPECT_FALSE(near.exact);
  EXPECT_EQ(table[near.index].name, "8 FPS");
  EXPECT_EQ(table[MatchUpdateRate(table, 0).index].name, "Fastest Possible");
  EXPECT_EQ(table[MatchUpdateRate(table, 0xFFFFFFFFu).index].name, "Every 24 Hours");
  EXPECT_FALSE(MatchUpdateRate({}, 5).exact);

  // Text that does not parse is logged and left out; the first text is never parsed.
  char folder[] = "/tmp/velmora-rates-XXXXXX";
  ASSERT_NE(mkdtemp(folder), nullptr);
  const std::string log = std::string(folder) + "/log.txt";
  SetLogPath(log);
  const auto custom = UpdateRateTable({"As Fast As It Goes", "7 fps", "Every 3 Fortnights", "every 2 HOURS",
                                       "0 FPS", "Every 99999999 Hours", "FPS"});
  SetLogPath("");
  ASSERT_EQ(custom.size(), 3u);
  EXPECT_EQ(custom[0].milliseconds, 7200000u);
  EXPECT_EQ(custom[1].milliseconds, 142u);
  EXPECT_EQ(custom[2].name, "As Fast As It Goes");
  std::ifstream in(log);
  const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_NE(text.find("RecordInfo::RecordInfo: Unable to parse update rate 'every 3 fortnights'"), std::string::npos);
  EXPECT_NE(text.find("Unable to parse update rate '0 fps'"), std::string::npos);
  std::filesystem::remove_all(folder);
}

TEST(PropertyRules, DaysMotionTypesAndZoneCells) {
  EXPECT_EQ(DaysToKeep(0), 1);
  EXPECT_EQ(DaysToKeep(-86400), 1);
  EXPECT_EQ(DaysToKeep(86399), 1);
  EXPECT_EQ(DaysToKeep(3 * 86400 + 5), 3);
  EXPECT_EQ(DaysToKeep(3650 * 86400), 1825);
  EXPECT_EQ(DaysToKeep(INT32_MAX), 1825);

  EXPECT_EQ(ShownMotionType(1), 1u);
  EXPECT_EQ(ShownMotionType(2), 2u);
  EXPECT_EQ(ShownMotionType(3), 0u);

  EXPECT_EQ(ZoneBitAt(0, 0, 160, 120), 0);
  EXPECT_EQ(ZoneBitAt(159, 119, 160, 120), 15);
  EXPECT_EQ(ZoneBitAt(39, 29, 160, 120), 0);
  EXPECT_EQ(ZoneBitAt(40, 30, 160, 120), 5);
  EXPECT_EQ(ZoneBitAt(120, 0, 160, 120), 3);
  EXPECT_EQ(ZoneBitAt(0, 90, 160, 120), 12);
  EXPECT_EQ(ZoneBitAt(81, 61, 161, 121), 10);
}

TEST(PropertyRules, CounterCountsOnlyRecordingFilesAndStopsWhenAsked) {
  EXPECT_TRUE(IsCountedRecordingFile(".nvr"));
  EXPECT_FALSE(IsCountedRecordingFile("x.nvr"));
  EXPECT_TRUE(IsCountedRecordingFile("2026120814.VLJ"));
  EXPECT_TRUE(IsCountedRecordingFile("a.vlx"));
  EXPECT_FALSE(IsCountedRecordingFile("vlj"));
  EXPECT_FALSE(IsCountedRecordingFile("a.vlj.tmp"));

  char folder[] = "/tmp/velmora-count-XXXXXX";
  ASSERT_NE(mkdtemp(folder), nullptr);
  const std::filesystem::path dir(folder);
  auto write = [&](const std::string& name, std::size_t size) {
    std::ofstream(dir / name, std::ios::binary) << std::string(size, 'x');
  };
  write("2026120814.vlj", 2000);
  write("2026120814.vlx", 48);
  write(".nvr", 10);
  write("notes.txt", 5000);
  std::filesystem::create_directories(dir / "sub.vlj");
  std::filesystem::create_directories(dir / "deeper");
  write("deeper/2026120815.vlj", 7000);

  std::atomic<bool> stop{false};
  int updates = 0;
  const FileCount all = CountRecordingFiles(folder, stop, [&](const FileCount&) { ++updates; });
  EXPECT_EQ(all.files, 3u);
  EXPECT_EQ(all.bytes, 2058u);
  EXPECT_EQ(updates, 3);
  EXPECT_EQ(FileCounterText(all), "(3 files; 2.00 KB)");
  EXPECT_EQ(FileCounterText(FileCount{}), "(0 files; 0 bytes)");

  stop = true;
  EXPECT_EQ(CountRecordingFiles(folder, stop).files, 1u) << "stops after the first counted file";
  EXPECT_EQ(CountRecordingFiles(dir / "missing", stop).files, 0u);
  std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace velmora::control
