// The backup command line: arguments, dates, exit statuses and what it prints; the
// targets it refuses (where recordings live, another device's backup, files that are no
// disc image) and that it checks everything before it writes anything.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <map>

#include "backup/backup_cli.h"
#include "platform/clock.h"
#include "backup_support.h"
#include "temp_dir.h"

namespace velmora::backup {
namespace {

struct Output {
  std::FILE* out = std::tmpfile();
  std::FILE* err = std::tmpfile();
  ~Output() {
    std::fclose(out);
    std::fclose(err);
  }
  static std::string Text(std::FILE* f) {
    std::fflush(f);
    std::rewind(f);
    std::string text;
    char buffer[4096];
    std::size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0) text.append(buffer, n);
    return text;
  }
  std::string errText() { return Text(err); }
  std::string outText() { return Text(out); }
};

TEST(BackupCommand, UsageErrorsExitTwoWithAClearMessage) {
  struct Case {
    std::vector<std::string> args;
    const char* message;
  };
  const Case cases[] = {
      {{"--from", "2026-02-30", "a", "b"}, "not a date: '2026-02-30' (use YYYY-MM-DD"},
      {{"--to", "08.12.2026", "a", "b"}, "not a date: '08.12.2026'"},
      {{"--from"}, "--from needs a value"},
      {{"--from", "2026-12-09", "--to", "2026-12-08", "a", "b"}, "--to lies before --from"},
      {{"a"}, "SOURCE and TARGET are needed"},
      {{"a", "b", "c"}, "SOURCE and TARGET are needed"},
      {{"--fast", "a", "b"}, "unknown option '--fast'"},
      {{"--label", "", "a", "b"}, "--label needs a text"},
  };
  for (const Case& c : cases) {
    Output o;
    EXPECT_EQ(BackupCommandMain(c.args, o.out, o.err), 2);
    const std::string err = o.errText();
    EXPECT_NE(err.find(c.message), std::string::npos) << err;
    EXPECT_NE(err.find("velmora-nvr backup: "), std::string::npos) << err;
  }
  Output help;
  EXPECT_EQ(BackupCommandMain({"--help"}, help.out, help.err), 0);
  EXPECT_NE(help.outText().find("Usage: velmora-nvr backup"), std::string::npos);
}

TEST(BackupCommand, BacksUpTheLastWeekByDefaultAndExitsZeroOnlyWhenVerified) {
  test::ZoneForTest zone("UTC0");
  test::TempDir src, dst, disc;
  const std::filesystem::path source = std::filesystem::path(src.path()) / "Door";
  // Hours from 10 days before "now" up to now; the default range is the last 7 days.
  const int64_t now = test::UtcHour(2026, 12, 8, 12);
  platform::ManualClock clock(now * 1000);
  platform::ScopedClock useClock(clock);
  test::MakeHours(source, static_cast<int32_t>(now - 10 * 86400), 10 * 24 + 1, 1);

  Output o;
  EXPECT_EQ(BackupCommandMain({source.string(), dst.path()}, o.out, o.err, nullptr), 0) << o.errText();
  const std::string err = o.errText();
  EXPECT_NE(err.find("days 2026-12-01 to 2026-12-08"), std::string::npos) << err;
  EXPECT_NE(err.find("Copying files..."), std::string::npos) << err;
  EXPECT_NE(err.find("Success."), std::string::npos) << err;
  // 1 Dec 00:00 to 8 Dec 12:00: 7 x 24 + 13 hours, two files each, and the marker.
  std::size_t copied = 0;
  for (const auto& e : std::filesystem::directory_iterator(dst.path())) {
    (void)e;
    ++copied;
  }
  EXPECT_EQ(copied, (7u * 24 + 13) * 2 + 1);
  EXPECT_EQ(test::ReadBytes(source / ".nvr"), "root=\"Door\"\r\n");

  // Given dates, to a disc image, with its label.
  Output d;
  EXPECT_EQ(BackupCommandMain({"--from", "2026-12-07", "--to", "2026-12-07", "--label", "Gate",
                               source.string(), "stdio:" + disc.file("gate.iso")},
                              d.out, d.err, nullptr),
            0)
      << d.errText();
  EXPECT_NE(d.errText().find("Recording disc..."), std::string::npos);
  EXPECT_GT(test::ReadBytes(disc.file("gate.iso")).size(), 32768u);

  // Failures exit 1: no source folder, no target folder, a stop before the copy.
  Output f1, f2, f3;
  EXPECT_EQ(BackupCommandMain({(source / "missing").string(), dst.path()}, f1.out, f1.err, nullptr), 1);
  EXPECT_NE(f1.errText().find("no recordings folder"), std::string::npos);
  EXPECT_EQ(BackupCommandMain({source.string(), dst.path() + "/missing"}, f2.out, f2.err, nullptr), 1);
  EXPECT_NE(f2.errText().find("no target folder '" + dst.path() + "/missing'"), std::string::npos) << f2.errText();
  std::atomic<bool> interrupted{true};
  EXPECT_EQ(BackupCommandMain({source.string(), dst.path()}, f3.out, f3.err, &interrupted), 1);
  EXPECT_NE(f3.errText().find("stopped"), std::string::npos) << f3.errText();
}

namespace fs = std::filesystem;

// Every file of a folder (not below it) with its bytes.
std::map<std::string, std::string> Contents(const fs::path& folder) {
  std::map<std::string, std::string> files;
  for (const auto& entry : fs::directory_iterator(folder))
    if (entry.is_regular_file()) files[entry.path().filename().string()] = test::ReadBytes(entry.path());
  return files;
}

// Two cameras recording side by side under one recordings folder, three hours each on
// 8 December 2026 (UTC).
struct TwoCameras {
  test::ZoneForTest zone{"UTC0"};
  test::TempDir root;
  fs::path recordings = fs::path(root.path()) / "Recordings";
  fs::path door = recordings / "Yard" / "Door";
  fs::path gate = recordings / "Yard" / "Gate";
  platform::ManualClock clock{int64_t{test::UtcHour(2026, 12, 8, 12)} * 1000};
  platform::ScopedClock useClock{clock};
  TwoCameras() {
    test::MakeHours(door, test::UtcHour(2026, 12, 8, 6), 3);
    test::MakeHours(gate, test::UtcHour(2026, 12, 8, 6), 3, 3);
  }
  int run(std::vector<std::string> args, std::string& err) {
    Output o;
    const int rc = BackupCommandMain(args, o.out, o.err, nullptr);
    err = o.errText();
    return rc;
  }
};

TEST(BackupCommand, RefusesTargetsWhereRecordingsLiveAndTouchesNothing) {
  TwoCameras cams;
  const auto gateBefore = Contents(cams.gate);
  std::string err;
  // Another camera's folder: its hours are recordings no backup made; nothing is erased,
  // and the source gets no marker either.
  EXPECT_EQ(cams.run({cams.door.string(), cams.gate.string()}, err), 1);
  EXPECT_NE(err.find("holds recordings that no backup made"), std::string::npos) << err;
  EXPECT_NE(err.find(cams.gate.string()), std::string::npos) << err;
  EXPECT_EQ(Contents(cams.gate), gateBefore);
  EXPECT_FALSE(fs::exists(cams.door / ".nvr"));

  // The source itself, a folder inside it, a folder around it.
  fs::create_directories(cams.door / "sub");
  EXPECT_EQ(cams.run({cams.door.string(), cams.door.string()}, err), 1);
  EXPECT_NE(err.find("recordings folder itself"), std::string::npos) << err;
  EXPECT_EQ(cams.run({cams.door.string(), (cams.door / "sub").string()}, err), 1);
  EXPECT_NE(err.find("lies inside the source folder"), std::string::npos) << err;
  EXPECT_EQ(cams.run({cams.door.string(), (cams.recordings / "Yard").string()}, err), 1);
  EXPECT_NE(err.find("contains the source folder"), std::string::npos) << err;
  EXPECT_TRUE(fs::is_empty(cams.door / "sub"));
  EXPECT_FALSE(fs::exists(cams.recordings / "Yard" / ".nvr"));
  EXPECT_FALSE(fs::exists(cams.door / ".nvr"));

  // A folder holding other files only (hour files below it do not count) is fine.
  test::TempDir stick;
  test::WriteBytes(fs::path(stick.path()) / "notes.txt", "keep");
  fs::create_directories(fs::path(stick.path()) / "old");
  test::WriteBytes(fs::path(stick.path()) / "old" / "26120806.vlj", "keep");
  EXPECT_EQ(cams.run({cams.door.string(), stick.path()}, err), 0) << err;
  EXPECT_EQ(test::ReadBytes(fs::path(stick.path()) / "notes.txt"), "keep");
  EXPECT_EQ(test::ReadBytes(fs::path(stick.path()) / "old" / "26120806.vlj"), "keep");
  EXPECT_EQ(Contents(stick.path()).size(), 3u * 2 + 2);
}

TEST(BackupCommand, SecondDevicesBackupErasesTheFirstsOnlyWithReplace) {
  TwoCameras cams;
  test::TempDir stick;
  std::string err;
  ASSERT_EQ(cams.run({cams.gate.string(), stick.path()}, err), 0) << err;
  const auto gateBackup = Contents(stick.path());
  EXPECT_EQ(gateBackup.at(".nvr"), "root=\"Gate\"\r\n");

  // Door's backup would erase Gate's: refused, saying whose, the stick as it was.
  EXPECT_EQ(cams.run({cams.door.string(), stick.path()}, err), 1);
  EXPECT_NE(err.find("holds the backup of \"Gate\""), std::string::npos) << err;
  EXPECT_NE(err.find("--replace"), std::string::npos) << err;
  EXPECT_EQ(Contents(stick.path()), gateBackup);
  EXPECT_FALSE(fs::exists(cams.door / ".nvr"));
  // A simulation erases nothing: it runs, and says what a real run would need.
  EXPECT_EQ(cams.run({"--simulate", cams.door.string(), stick.path()}, err), 0) << err;
  EXPECT_NE(err.find("only with --replace"), std::string::npos) << err;
  EXPECT_EQ(Contents(stick.path()), gateBackup);

  // With --replace: Gate's backup gives way to Door's.
  EXPECT_EQ(cams.run({"--replace", cams.door.string(), stick.path()}, err), 0) << err;
  const auto doorBackup = Contents(stick.path());
  EXPECT_EQ(doorBackup.at(".nvr"), "root=\"Door\"\r\n");
  EXPECT_EQ(doorBackup, Contents(cams.door));
  // Door's own backup is simply renewed.
  EXPECT_EQ(cams.run({cams.door.string(), stick.path()}, err), 0) << err;
  EXPECT_EQ(Contents(stick.path()), doorBackup);
}

TEST(BackupCommand, ImagesAreNeverWrittenOverRecordingsOrOtherFiles) {
  TwoCameras cams;
  test::TempDir out;
  std::string err;
  const fs::path hour = DataFilePath(cams.door, HourKey(test::UtcHour(2026, 12, 8, 7)));
  const std::string hourBytes = test::ReadBytes(hour);
  EXPECT_EQ(cams.run({cams.door.string(), "stdio:" + hour.string()}, err), 1);
  EXPECT_NE(err.find("would lie inside the source folder"), std::string::npos) << err;
  EXPECT_EQ(test::ReadBytes(hour), hourBytes);
  EXPECT_FALSE(fs::exists(cams.door / ".nvr"));

  const std::string notes = out.file("notes.txt");
  test::WriteBytes(notes, "a file that is no disc image");
  EXPECT_EQ(cams.run({cams.door.string(), "stdio:" + notes}, err), 1);
  EXPECT_NE(err.find("is not a disc image; it is not overwritten"), std::string::npos) << err;
  EXPECT_EQ(test::ReadBytes(notes), "a file that is no disc image");
  EXPECT_EQ(cams.run({cams.door.string(), "stdio:" + out.path()}, err), 1);
  EXPECT_NE(err.find("is not a file"), std::string::npos) << err;
  EXPECT_EQ(cams.run({cams.door.string(), "stdio:" + out.path() + "/missing/x.iso"}, err), 1);
  EXPECT_NE(err.find("there is no folder"), std::string::npos) << err;

  // An empty file, and then the disc image it became, are written over.
  const std::string image = out.file("door.iso");
  test::WriteBytes(image, "");
  EXPECT_EQ(cams.run({cams.door.string(), "stdio:" + image}, err), 0) << err;
  const std::string first = test::ReadBytes(image);
  EXPECT_EQ(first.substr(32769, 5), "CD001");
  EXPECT_EQ(cams.run({"--label", "again", cams.door.string(), "stdio:" + image}, err), 0) << err;
  EXPECT_NE(test::ReadBytes(image), first);
}

TEST(BackupCommand, ChecksEverythingBeforeWritingAndNothingToBackUpFails) {
  TwoCameras cams;
  test::TempDir stick;
  std::string err;
  // A missing target: the source stays as it was (no marker).
  EXPECT_EQ(cams.run({cams.door.string(), stick.path() + "/missing"}, err), 1);
  EXPECT_FALSE(fs::exists(cams.door / ".nvr"));

  // A folder without recordings is no source.
  test::TempDir plain;
  test::WriteBytes(fs::path(plain.path()) / "notes.txt", "text");
  EXPECT_EQ(cams.run({plain.path(), stick.path()}, err), 1);
  EXPECT_NE(err.find("holds no recordings"), std::string::npos) << err;
  EXPECT_FALSE(fs::exists(fs::path(plain.path()) / ".nvr"));
  // Days without recordings: nothing to back up, said, and a failure.
  EXPECT_EQ(cams.run({"--from", "2026-11-01", "--to", "2026-11-02", cams.door.string(), stick.path()}, err), 1);
  EXPECT_NE(err.find("nothing to back up: no recordings of"), std::string::npos) << err;
  EXPECT_NE(err.find("from 2026-11-01 to 2026-11-02"), std::string::npos) << err;
  EXPECT_EQ(err.find("Success."), std::string::npos) << err;
  EXPECT_FALSE(fs::exists(cams.door / ".nvr"));
  EXPECT_TRUE(fs::is_empty(stick.path()));

  // A folder under /dev/ (shared memory) is a folder, not a drive.
  char pattern[] = "/dev/shm/velmora-backup-XXXXXX";
  if (::mkdtemp(pattern) == nullptr) GTEST_SKIP() << "no folder can be made under /dev/shm";
  const fs::path shm = pattern;
  EXPECT_FALSE(IsDiscAddress(shm.string()));
  EXPECT_TRUE(IsDiscAddress("/dev/velmora-no-such-drive"));
  EXPECT_EQ(cams.run({cams.door.string(), shm.string()}, err), 0) << err;
  EXPECT_EQ(Contents(shm), Contents(cams.door));
  fs::remove_all(shm);
}

}  // namespace
}  // namespace velmora::backup
