// The file selection rule over a day in zones east and west of UTC, across a change to
// daylight-saving time, and the dates, labels and marker around it.
#include <gtest/gtest.h>

#include <algorithm>
#include <set>

#include "backup/backup.h"
#include "backup_support.h"
#include "temp_dir.h"

namespace velmora::backup {
namespace {

using test::ZoneForTest;

constexpr const char* kBerlin = "CET-1CEST,M3.5.0,M10.5.0/3";
constexpr const char* kNewYork = "EST5EDT,M3.2.0,M11.1.0";

DateRange Day(int year, int month, int day) {
  return DateRange{LocalDate{year, month, day}, LocalDate{year, month, day}};
}

// Every hour file of a stretch of UTC hours, named as the recorder names them.
std::vector<std::string> HourNames(int32_t first, int hours, const char* extension) {
  std::vector<std::string> names;
  for (int h = 0; h < hours; ++h) names.push_back(HourKey(first + h * 3600) + extension);
  return names;
}

TEST(BackupSelection, OneLocalDayIsItsTwentyFourUtcHoursInZonesEastAndWest) {
  {
    ZoneForTest zone(kBerlin);  // winter: UTC+1
    const Selection s = MakeSelection(Day(2026, 12, 8));
    EXPECT_EQ(s.firstKey, "26120723");
    EXPECT_EQ(s.lastKey, "26120822");
    const Selection summer = MakeSelection(Day(2026, 7, 8));  // UTC+2
    EXPECT_EQ(summer.firstKey, "26070722");
    EXPECT_EQ(summer.lastKey, "26070821");
    // The day clocks go forward has 23 hours: local midnight is still UTC+1, 23:00 is UTC+2.
    const Selection spring = MakeSelection(Day(2026, 3, 29));
    EXPECT_EQ(spring.firstKey, "26032823");
    EXPECT_EQ(spring.lastKey, "26032921");
  }
  {
    ZoneForTest zone(kNewYork);  // winter: UTC-5, the day ends in the next UTC day
    const Selection s = MakeSelection(Day(2026, 12, 8));
    EXPECT_EQ(s.firstKey, "26120805");
    EXPECT_EQ(s.lastKey, "26120904");
    // A range of several days runs from the first day's midnight to the last day's 23:00.
    const Selection week = MakeSelection(DateRange{LocalDate{2026, 12, 1}, LocalDate{2026, 12, 7}});
    EXPECT_EQ(week.firstKey, "26120105");
    EXPECT_EQ(week.lastKey, "26120804");
  }
}

TEST(BackupSelection, FolderListingTakesTheDaysFilesAndTheMarkerOnly) {
  ZoneForTest zone(kBerlin);
  test::TempDir dir;
  const std::filesystem::path folder = dir.path();
  // 72 UTC hours around the local day 2026-12-08, data and index files.
  const int32_t first = test::UtcHour(2026, 12, 7, 0);
  for (const auto& name : HourNames(first, 72, ".vlj")) test::WriteBytes(folder / name, "d");
  for (const auto& name : HourNames(first, 72, ".vlx")) test::WriteBytes(folder / name, "ix");
  // An upper-case extension is the same kind of file.
  std::filesystem::rename(folder / "26120812.vlx", folder / "26120812.VLX");
  test::WriteBytes(folder / ".nvr", "root=\"Yard/Door\"\r\n");
  test::WriteBytes(folder / "notes.txt", "x");
  test::WriteBytes(folder / ".nvr.old", "x");
  test::WriteBytes(folder / "26120812.jpg", "x");
  test::WriteBytes(folder / "x.vlj", "x");  // "x" sorts after every hour key
  std::filesystem::create_directories(folder / "26120813x.vlj");  // a folder is never taken
  std::filesystem::create_directories(folder / ".nvr.d");

  std::vector<SelectedFile> files;
  ASSERT_TRUE(ListSelectedFiles(folder, MakeSelection(Day(2026, 12, 8)), files));
  std::set<std::string> names;
  uint64_t bytes = 0;
  for (const auto& f : files) {
    names.insert(f.name);
    bytes += f.sizeBytes;
  }
  ASSERT_EQ(files.size(), 49u);  // 24 hours x 2 + the marker
  EXPECT_TRUE(std::is_sorted(files.begin(), files.end(),
                             [](const SelectedFile& a, const SelectedFile& b) { return a.name < b.name; }));
  EXPECT_TRUE(names.count(".nvr"));
  EXPECT_TRUE(names.count("26120723.vlj"));  // local midnight
  EXPECT_TRUE(names.count("26120822.vlx"));  // local 23:00
  EXPECT_TRUE(names.count("26120812.VLX"));
  EXPECT_FALSE(names.count("26120722.vlj"));  // local 23:00 the day before
  EXPECT_FALSE(names.count("26120823.vlj"));  // local midnight the day after
  EXPECT_FALSE(names.count("26120813x.vlj"));  // the folder
  EXPECT_FALSE(names.count("x.vlj"));
  EXPECT_EQ(bytes, 24u * 1 + 24u * 2 + 18u);

  // The rule itself on single names, as the counter and the disc use it.
  const Selection s = MakeSelection(Day(2026, 12, 8));
  EXPECT_TRUE(s.selects(".nvr", false));
  EXPECT_FALSE(s.selects(".nvr", true));
  EXPECT_TRUE(s.selects("26120800.Vlj", false));
  EXPECT_FALSE(s.selects("26120800.vl", false));
  EXPECT_FALSE(s.selects(".vlj", false));
  EXPECT_FALSE(ListSelectedFiles(folder / "missing", s, files));
}

TEST(BackupSelection, DatesAreCheckedAndTheDefaultsAreTheLastWeek) {
  ZoneForTest zone(kBerlin);
  LocalDate d;
  EXPECT_TRUE(ParseLocalDate("2026-12-08", d));
  EXPECT_EQ(d, (LocalDate{2026, 12, 8}));
  EXPECT_TRUE(ParseLocalDate("2028-02-29", d));
  for (const char* bad : {"2026-02-29", "2026-13-01", "2026-00-10", "2026-04-31", "26-12-08",
                          "2026-12-8", "2026/12/08", "2026-12-08 ", " 2026-12-08", "+026-12-08",
                          "1969-12-31", "2038-01-01", "", "today"}) {
    EXPECT_FALSE(ParseLocalDate(bad, d)) << bad;
  }
  EXPECT_EQ(FormatLocalDate(LocalDate{2026, 1, 2}), "2026-01-02");

  const int64_t now = test::UtcHour(2026, 12, 8, 23) + 1800;  // 00:30 on the 9th in Berlin
  const DateRange range = DefaultRange(now);
  EXPECT_EQ(range.end, (LocalDate{2026, 12, 9}));
  EXPECT_EQ(range.start, (LocalDate{2026, 12, 2}));
  EXPECT_EQ(DefaultVolumeLabel("/rec/Yard/Door", now), "Door-20261209");
  EXPECT_EQ(DefaultVolumeLabel("/rec/Yard/Door/", now), "Door-20261209");
}

TEST(BackupSelection, MarkerIsOneLineReplacingAnyEarlierOne) {
  test::TempDir dir;
  test::WriteBytes(std::filesystem::path(dir.path()) / ".nvr", std::string(100, 'x'));
  ASSERT_TRUE(WriteBackupMarker(dir.path(), "Yard/Door"));
  EXPECT_EQ(test::ReadBytes(std::filesystem::path(dir.path()) / ".nvr"), "root=\"Yard/Door\"\r\n");
  EXPECT_FALSE(WriteBackupMarker(std::filesystem::path(dir.path()) / "missing", "Door"));
}

}  // namespace
}  // namespace velmora::backup
