// Removable-disk backups: simulated, real into a folder while the current hour is being
// written (checked record by record), refusals, and a target that fills up.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <map>
#include <thread>

#include "backup/backup.h"
#include "backup_support.h"
#include "process.h"
#include "recording/format_append.h"
#include "recording/format_reader.h"
#include "temp_dir.h"

namespace velmora::backup {
namespace {

const DateRange kDay{LocalDate{2026, 12, 8}, LocalDate{2026, 12, 8}};

struct Recorded {
  std::vector<BackupProgress> steps;
  ProgressCallback callback() {
    return [this](const BackupProgress& p) { steps.push_back(p); };
  }
  std::vector<std::string> statuses() const {
    std::vector<std::string> out;
    for (const auto& s : steps)
      if (out.empty() || out.back() != s.status) out.push_back(s.status);
    return out;
  }
};

// A copied hour checked against its source: whole records only, every record equal to
// the source's bytes at the same offset, and an index naming exactly those records.
// Returns the number of records.
uint64_t ExpectWholeRecords(const std::filesystem::path& source, const std::filesystem::path& copy,
                            const std::string& key) {
  RecordFileReader reader;
  EXPECT_TRUE(reader.open(copy, key));
  const uint64_t size = reader.dataSize();
  const std::string sourceData = test::ReadBytes(DataFilePath(source, key));
  const std::string copyData = test::ReadBytes(DataFilePath(copy, key));
  EXPECT_LE(copyData.size(), sourceData.size());
  EXPECT_EQ(sourceData.compare(0, copyData.size(), copyData), 0) << key << ": bytes differ";
  std::vector<uint64_t> offsets;
  uint64_t at = 0;
  while (at < size) {
    RecordHeader header;
    const RecordStatus status = reader.checkRecord(at, header);
    EXPECT_EQ(status, RecordStatus::ok) << key << " at " << at << " of " << size;
    if (status != RecordStatus::ok) break;
    offsets.push_back(at);
    at += header.recordLength;
  }
  EXPECT_EQ(at, size) << key << ": the copy ends inside a record";
  EXPECT_LE(reader.entryCount(), offsets.size());
  EXPECT_EQ(reader.indexSize() % kIndexEntryBytes, 0u);
  for (uint64_t i = 0; i < reader.entryCount(); ++i) {
    IndexEntry entry;
    EXPECT_EQ(reader.readEntry(i, entry), RecordStatus::ok);
    EXPECT_EQ(entry.offset, offsets[i]) << key << " entry " << i;
  }
  // The index leaves out at most the record written last, whose entry was not there yet.
  EXPECT_GE(reader.entryCount() + 1, offsets.size());
  return offsets.size();
}

TEST(BackupRemovable, SimulatedBackupCountsEveryFileAndChangesNothing) {
  test::ZoneForTest zone("UTC0");
  test::TempDir src, dst;
  test::MakeHours(src.path(), test::UtcHour(2026, 12, 7, 20), 30);  // 24 of them on the 8th
  ASSERT_TRUE(WriteBackupMarker(src.path(), "Door"));
  // Old backup files on the target stay when simulated.
  test::WriteBytes(std::filesystem::path(dst.path()) / "25010100.vlj", "old");
  test::WriteBytes(std::filesystem::path(dst.path()) / ".nvr", "old");

  BackupOptions options;
  options.source = src.path();
  options.target = dst.path();
  options.range = kDay;
  options.simulate = true;
  Recorded rec;
  const BackupOutcome outcome = RunBackup(options, rec.callback());
  EXPECT_TRUE(outcome.ok) << outcome.reason;
  EXPECT_EQ(outcome.status, "Success.");
  EXPECT_EQ(outcome.files, 49u);
  EXPECT_EQ(outcome.bytes, 0u);
  EXPECT_EQ(rec.statuses(),
            (std::vector<std::string>{"Erasing media...", "Copying files...", "Success."}));
  EXPECT_EQ(rec.steps.back().position, 50u);
  EXPECT_EQ(rec.steps.back().range, 50u);
  EXPECT_EQ(rec.steps.front().range, 50u);
  std::size_t entries = 0;
  for (const auto& e : std::filesystem::directory_iterator(dst.path())) {
    (void)e;
    ++entries;
  }
  EXPECT_EQ(entries, 2u);
  EXPECT_EQ(test::ReadBytes(std::filesystem::path(dst.path()) / ".nvr"), "old");
}

TEST(BackupRemovable, RealBackupWhileTheHourIsWrittenCopiesWholeRecordsAndVerifies) {
  test::ZoneForTest zone("UTC0");
  test::TempDir src, dst;
  const std::filesystem::path source = src.path();
  const int32_t first = test::UtcHour(2026, 12, 8, 0);
  test::MakeHours(source, first, 14, 3);  // closed hours 00-13
  ASSERT_TRUE(WriteBackupMarker(source, "Yard/Door"));
  const int32_t current = test::UtcHour(2026, 12, 8, 14);
  const std::string key = HourKey(current);

  // A torn record at the end of the current hour, as a write cut off leaves it: the copy
  // stops before it.
  {
    test::PairWriter writer(source, key);
    for (uint32_t i = 0; i < 3; ++i) writer.append(test::MakeRecord(3000 + i, i, current), current);
    writer.appendTorn(test::MakeRecord(5000, 99, current));
  }
  // Old files of an earlier backup of this device on the target: erased; other files:
  // kept.
  const std::filesystem::path target = dst.path();
  ASSERT_TRUE(WriteBackupMarker(target, "Yard/Door"));
  test::WriteBytes(target / "25010100.VLJ", "old");
  test::WriteBytes(target / "25010100.vlx.copying", "half");
  test::WriteBytes(target / "readme.txt", "keep");
  std::filesystem::create_directories(target / "sub");
  test::WriteBytes(target / "sub" / "25010100.vlj", "keep");

  BackupOptions options;
  options.source = source;
  options.target = target.string();
  options.range = kDay;
  Recorded rec;
  BackupOutcome outcome = RunBackup(options, rec.callback());
  ASSERT_TRUE(outcome.ok) << outcome.reason;
  EXPECT_EQ(rec.statuses(),
            (std::vector<std::string>{"Erasing media...", "Copying files...", "Success."}));
  EXPECT_EQ(outcome.files, 31u);  // 15 pairs and the marker
  EXPECT_FALSE(std::filesystem::exists(target / "25010100.VLJ"));
  EXPECT_FALSE(std::filesystem::exists(target / "25010100.vlx.copying"));
  EXPECT_TRUE(std::filesystem::exists(target / "readme.txt"));
  EXPECT_TRUE(std::filesystem::exists(target / "sub" / "25010100.vlj"));
  EXPECT_EQ(test::ReadBytes(target / ".nvr"), "root=\"Yard/Door\"\r\n");
  for (int h = 0; h < 14; ++h) {
    const std::string k = HourKey(first + h * 3600);
    EXPECT_EQ(test::ReadBytes(DataFilePath(target, k)), test::ReadBytes(DataFilePath(source, k)));
    EXPECT_EQ(test::ReadBytes(IndexFilePath(target, k)), test::ReadBytes(IndexFilePath(source, k)));
  }
  EXPECT_EQ(ExpectWholeRecords(source, target, key), 3u);

  // Now the hour keeps growing while backups run: records written in two halves, with
  // the index entry after each. Every backup taken meanwhile holds whole records only.
  // The recorder, opening the hour again, first cuts the torn tail.
  AppendPoint point;
  ASSERT_TRUE(PrepareAppendFiles(DataFilePath(source, key), IndexFilePath(source, key), point));
  ASSERT_TRUE(point.dataCut());
  std::atomic<bool> stop{false};
  std::thread recorder([&] {
    test::PairWriter writer(source, key);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    for (int i = 0; i < 3000 && !stop.load() && std::chrono::steady_clock::now() < deadline; ++i) {
      writer.append(test::MakeRecord(2000 + static_cast<std::size_t>(i % 50) * 97, 1000 + i, current), current,
                    [] { std::this_thread::sleep_for(std::chrono::microseconds(300)); });
      std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
  });
  for (int round = 0; round < 4; ++round) {
    test::TempDir again;
    options.target = again.path();
    outcome = RunBackup(options, nullptr);
    EXPECT_TRUE(outcome.ok) << outcome.reason;
    ExpectWholeRecords(source, again.path(), key);
    EXPECT_EQ(test::ReadBytes(DataFilePath(again.path(), HourKey(first))),
              test::ReadBytes(DataFilePath(source, HourKey(first))));
  }
  stop.store(true);
  recorder.join();
}

TEST(BackupRemovable, RefusesTheSourceAsTargetAndMissingFolders) {
  test::ZoneForTest zone("UTC0");
  test::TempDir src;
  test::MakeHours(src.path(), test::UtcHour(2026, 12, 8, 0), 2);
  BackupOptions options;
  options.source = src.path();
  options.range = kDay;

  // Erasing the target would delete the recordings: refused before anything is touched.
  options.target = src.path() + "/.";
  Recorded rec;
  BackupOutcome outcome = RunBackup(options, rec.callback());
  EXPECT_FALSE(outcome.ok);
  EXPECT_EQ(outcome.status, "Failure.");
  EXPECT_NE(outcome.reason.find("recordings folder itself"), std::string::npos);
  EXPECT_TRUE(std::filesystem::exists(DataFilePath(src.path(), HourKey(test::UtcHour(2026, 12, 8, 0)))));

  options.target = src.path() + "/missing";
  outcome = RunBackup(options, nullptr);
  EXPECT_FALSE(outcome.ok);
  EXPECT_NE(outcome.reason.find("no target folder"), std::string::npos);

  // A stop before the first file: nothing copied, a failure.
  test::TempDir dst;
  options.target = dst.path();
  std::atomic<bool> cancel{true};
  outcome = RunBackup(options, nullptr, &cancel);
  EXPECT_FALSE(outcome.ok);
  EXPECT_TRUE(outcome.cancelled);
  EXPECT_EQ(outcome.status, "Failure.");
}

TEST(BackupRemovable, JobRunsOnItsOwnThreadAndReportsTheOutcome) {
  test::ZoneForTest zone("UTC0");
  test::TempDir src, dst;
  test::MakeHours(src.path(), test::UtcHour(2026, 12, 8, 0), 3);
  BackupOptions options;
  options.source = src.path();
  options.target = dst.path();
  options.range = kDay;
  std::atomic<int> reports{0};
  std::atomic<bool> done{false};
  std::thread::id worker;
  BackupOutcome result;
  {
    BackupJob job;
    ASSERT_TRUE(job.start(options, [&](const BackupProgress&) { ++reports; },
                          [&](const BackupOutcome& o) {
                            worker = std::this_thread::get_id();
                            result = o;
                            done.store(true);
                          }));
    job.wait();
    EXPECT_FALSE(job.running());
  }
  EXPECT_TRUE(done.load());
  EXPECT_NE(worker, std::this_thread::get_id());
  EXPECT_TRUE(result.ok) << result.reason;
  EXPECT_EQ(result.files, 6u);
  EXPECT_GT(reports.load(), 6);
}

// A target of 64 KiB (a tmpfs in a user and mount namespace of the test's own) cannot
// take 400 KiB: the command reports the failure and exits 1, leaving no half-written file.
TEST(BackupRemovable, FullTargetIsAFailureWithTheReason) {
  if (test::ChildProcess({"/usr/bin/unshare", "-rm", "/bin/true"}, {}).wait(std::chrono::seconds(10)) != 0)
    GTEST_SKIP() << "user and mount namespaces are not available here";
  test::ZoneForTest zone("UTC0");
  test::TempDir src, dst, out;
  test::MakeHours(src.path(), test::UtcHour(2026, 12, 8, 0), 20, 20);
  const std::string program = std::string(VELMORA_BINARY_DIR) + "/velmora-nvr";
  const std::string script =
      "mount -t tmpfs -o size=64k tmpfs \"$1\" && TZ=UTC0 \"$2\" backup --from 2026-12-08 "
      "--to 2026-12-08 \"$3\" \"$1\"; rc=$?; ls -a \"$1\" > \"$4\"; exit $rc";
  const std::string listing = out.file("listing");
  test::ChildProcess child;
  child.start({"/usr/bin/unshare", "-rm", "/bin/sh", "-c", script, "sh", dst.path(), program,
               src.path(), listing},
              {}, std::string(), out.file("log"));
  EXPECT_EQ(child.wait(std::chrono::seconds(60)), 1);
  const std::string log = test::ReadBytes(out.file("log"));
  EXPECT_NE(log.find("Failure."), std::string::npos) << log;
  EXPECT_NE(log.find("the target is full"), std::string::npos) << log;
  EXPECT_EQ(log.find("Success."), std::string::npos) << log;
  EXPECT_EQ(test::ReadBytes(listing).find(".copying"), std::string::npos);
}

}  // namespace
}  // namespace velmora::backup
