// Disc backups through libburn's "stdio:" pseudo-drive: the image read back with
// libisofs holds the selection flat in its root under its Joliet names, each file equal
// to its source (the hour being written up to its last whole record).
#include <stdint.h>
#include <sys/types.h>

#include <libisofs/libisofs.h>

#include <gtest/gtest.h>
#include <signal.h>

#include <map>

#include "backup/backup.h"
#include "backup_support.h"
#include "recording/format_append.h"
#include "temp_dir.h"

namespace velmora::backup {
namespace {

const DateRange kDay{LocalDate{2026, 12, 8}, LocalDate{2026, 12, 8}};

struct ImageContents {
  std::string volumeId;
  std::map<std::string, std::string> files;  // name -> bytes
  int folders = 0;
};

bool ReadImage(const std::string& path, ImageContents& contents) {
  if (iso_init() < 0) return false;
  IsoDataSource* source = nullptr;
  if (iso_data_source_new_from_file(path.c_str(), &source) < 0) return false;
  IsoReadOpts* opts = nullptr;
  iso_read_opts_new(&opts, 0);
  iso_read_opts_set_preferjoliet(opts, 1);
  iso_read_opts_set_no_rockridge(opts, 1);
  IsoImage* image = nullptr;
  iso_image_new("check", &image);
  const int rc = iso_image_import(image, source, opts, nullptr);
  iso_read_opts_free(opts);
  iso_data_source_unref(source);
  if (rc < 0) {
    iso_image_unref(image);
    return false;
  }
  contents.volumeId = iso_image_get_volume_id(image) ? iso_image_get_volume_id(image) : "";
  IsoDirIter* iter = nullptr;
  iso_dir_get_children(iso_image_get_root(image), &iter);
  IsoNode* node = nullptr;
  while (iso_dir_iter_next(iter, &node) == 1) {
    if (iso_node_get_type(node) == LIBISO_DIR) {
      ++contents.folders;
      continue;
    }
    if (iso_node_get_type(node) != LIBISO_FILE) continue;
    IsoStream* stream = iso_file_get_stream(reinterpret_cast<IsoFile*>(node));
    std::string bytes;
    if (iso_stream_open(stream) >= 0) {
      char buffer[65536];
      int n;
      while ((n = iso_stream_read(stream, buffer, sizeof buffer)) > 0) bytes.append(buffer, static_cast<std::size_t>(n));
      iso_stream_close(stream);
    }
    contents.files[iso_node_get_name(node)] = bytes;
  }
  iso_dir_iter_free(iter);
  iso_image_unref(image);
  return true;
}

struct Recorded {
  std::vector<std::string> statuses;
  ProgressCallback callback() {
    return [this](const BackupProgress& p) {
      if (statuses.empty() || statuses.back() != p.status) statuses.push_back(p.status);
    };
  }
};

TEST(BackupDisc, BurnToAnImageFileHoldsTheSelectionUnderItsJolietNames) {
  test::ZoneForTest zone("UTC0");
  test::TempDir src, out;
  const std::filesystem::path source = std::filesystem::path(src.path()) / "Door";
  const int32_t first = test::UtcHour(2026, 12, 7, 22);
  test::MakeHours(source, first, 28, 3);  // 22:00 on the 7th to 01:00 on the 9th
  ASSERT_TRUE(WriteBackupMarker(source, "Yard/Door"));
  test::WriteBytes(source / "notes.txt", "not taken");
  test::WriteBytes(source / "26120812a.vlx", "");  // an empty file is taken as one
  std::filesystem::create_directories(source / "26120810x.vlj");  // a folder: not taken
  // The hour being written ends in half a record: the disc gets its whole records.
  const int32_t current = test::UtcHour(2026, 12, 8, 23);
  {
    test::PairWriter writer(source, HourKey(current));
    writer.appendTorn(test::MakeRecord(4000, 7, current));
  }
  AppendPoint point;
  {
    const int dataFd = ::open(DataFilePath(source, HourKey(current)).c_str(), O_RDONLY);
    const int indexFd = ::open(IndexFilePath(source, HourKey(current)).c_str(), O_RDONLY);
    ASSERT_TRUE(ScanAppendPoint(dataFd, indexFd, point));
    ::close(dataFd);
    ::close(indexFd);
  }
  ASSERT_LT(point.dataEnd, point.dataSize);

  // An image file there before is replaced.
  const std::string image = out.file("x.iso");
  test::WriteBytes(image, std::string(3 << 20, 'j'));
  BackupOptions options;
  options.source = source;
  options.target = "stdio:" + image;
  options.range = kDay;
  options.volumeLabel = "Door-20261208";
  Recorded rec;
  const BackupOutcome outcome = RunBackup(options, rec.callback());
  ASSERT_TRUE(outcome.ok) << outcome.reason;
  EXPECT_EQ(outcome.status, "Success.");
  EXPECT_EQ(outcome.files, 50u);
  EXPECT_EQ(rec.statuses, (std::vector<std::string>{"Creating disc image...", "Preparing burn...",
                                                    "Recording disc...", "Closing disc...",
                                                    "Success."}));

  const std::size_t imageSize = test::ReadBytes(image).size();
  EXPECT_LT(imageSize, std::size_t{3} << 20);
  EXPECT_EQ(imageSize % 2048, 0u);
  ImageContents contents;
  ASSERT_TRUE(ReadImage(image, contents));
  EXPECT_EQ(contents.folders, 0);
  EXPECT_EQ(contents.volumeId, "Door-20261208");
  ASSERT_EQ(contents.files.size(), 50u);
  EXPECT_EQ(contents.files.count("26120812a.vlx"), 1u);
  std::vector<SelectedFile> selected;
  ASSERT_TRUE(ListSelectedFiles(source, MakeSelection(kDay), selected));
  for (const SelectedFile& f : selected) {
    ASSERT_TRUE(contents.files.count(f.name)) << f.name;
    std::string expected = test::ReadBytes(source / f.name);
    if (f.name == HourKey(current) + ".vlj") expected.resize(point.dataEnd);
    EXPECT_EQ(contents.files[f.name], expected) << f.name;
  }
  EXPECT_EQ(contents.files[".nvr"], "root=\"Yard/Door\"\r\n");
  EXPECT_EQ(contents.files.count("notes.txt"), 0u);

  // The libraries leave the process's signal handling alone (the command's Ctrl-C).
  struct sigaction action {};
  ASSERT_EQ(sigaction(SIGINT, nullptr, &action), 0);
  EXPECT_EQ(action.sa_handler, SIG_DFL);

  // The drive as the dialog sees it: a writable, rewritable medium with room.
  const DriveInfo info = ExamineTarget("stdio:" + out.file("new.iso"));
  EXPECT_TRUE(info.ready) << info.status;
  EXPECT_TRUE(info.writable);
  EXPECT_TRUE(info.blank);
  EXPECT_GT(info.mediaBytes, 0u);
  EXPECT_EQ(info.mediaBytes % 2048, 0u);
  EXPECT_EQ(info.status, "Ready.");
  EXPECT_NE(info.deviceType, "Unknown");
}

TEST(BackupDisc, SimulatedBurnWritesNothingAndMissingDrivesFail) {
  test::ZoneForTest zone("UTC0");
  test::TempDir src, out;
  test::MakeHours(src.path(), test::UtcHour(2026, 12, 8, 0), 4);
  BackupOptions options;
  options.source = src.path();
  options.target = "stdio:" + out.file("sim.iso");
  options.range = kDay;
  options.simulate = true;
  BackupOutcome outcome = RunBackup(options, nullptr);
  EXPECT_TRUE(outcome.ok) << outcome.reason;
  EXPECT_EQ(outcome.status, "Success.");
  EXPECT_EQ(test::ReadBytes(out.file("sim.iso")).size(), 0u);

  // No drive at the address: "Failed (0x...)", never success.
  options.target = "/dev/velmora-no-such-drive";
  options.simulate = false;
  Recorded rec;
  outcome = RunBackup(options, rec.callback());
  EXPECT_FALSE(outcome.ok);
  EXPECT_NE(outcome.failureCode, 0u);
  ASSERT_FALSE(rec.statuses.empty());
  EXPECT_EQ(rec.statuses.back().rfind("Failed (0x", 0), 0u) << rec.statuses.back();
  EXPECT_EQ(rec.statuses.back().size(), std::string("Failed (0x00000000)").size());

  const DriveInfo info = ExamineTarget("/dev/velmora-no-such-drive");
  EXPECT_FALSE(info.ready);
  EXPECT_EQ(info.deviceType, "Unknown");
  EXPECT_TRUE(IsDiscAddress("/dev/sr0"));
  EXPECT_TRUE(IsDiscAddress("stdio:/tmp/x.iso"));
  EXPECT_FALSE(IsDiscAddress("/media/usb"));

  // The removable examination: free bytes of the folder's file system.
  const DriveInfo disk = ExamineTarget(out.path());
  EXPECT_EQ(disk.deviceType, "Removable Disk");
  EXPECT_TRUE(disk.ready);
  EXPECT_GT(disk.mediaBytes, 0u);
  EXPECT_FALSE(ExamineTarget(out.path() + "/missing").ready);

  // Listing drives works without any (none here, or whatever the machine has).
  for (const OpticalDrive& d : ListOpticalDrives()) EXPECT_FALSE(d.address.empty());
}

}  // namespace
}  // namespace velmora::backup
