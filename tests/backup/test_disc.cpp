// Disc backups through libburn's "stdio:" pseudo-drive: the image read back with
// libisofs holds the selection flat in its root under its Joliet names, each file equal
// to its source (the hour being written up to its last whole record). A file cut while
// the image is written, a library message of severity SORRY, an image that differs when
// read back: each is a failure, and the image keeps its old content under its name.
#include <stdint.h>
#include <sys/types.h>

#include <libisofs/libisofs.h>

#include <gtest/gtest.h>
#include <signal.h>

#include <unistd.h>

#include <map>

#include "backup/backup.h"
#include "backup_support.h"
#include "process.h"
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

  // An image file there before (longer than the new one) is replaced.
  const std::string image = out.file("x.iso");
  std::string older(3 << 20, 'j');
  older.replace(32768, 6, "\x01" "CD001");
  test::WriteBytes(image, older);
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
                                                    "Verifying disc...", "Success."}));

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

namespace fs = std::filesystem;

// A device folder with six hours of 8 December 2026 and its marker, and a folder for
// images.
struct DiscFixture {
  test::ZoneForTest zone{"UTC0"};
  test::TempDir src, out;
  fs::path source = fs::path(src.path()) / "Door";
  std::string image = out.file("door.iso");
  DiscFixture() {
    test::MakeHours(source, test::UtcHour(2026, 12, 8, 6), 6, 4);
    WriteBackupMarker(source, "Yard/Door");
  }
  BackupOptions options(const std::string& label = "DOOR") const {
    BackupOptions o;
    o.source = source;
    o.target = "stdio:" + image;
    o.range = kDay;
    o.volumeLabel = label;
    return o;
  }
  fs::path hour(int h) const { return DataFilePath(source, HourKey(test::UtcHour(2026, 12, 8, h))); }
  bool writing() const { return fs::exists(image + ".writing"); }
};

TEST(BackupDisc, FileCutOrRemovedWhileTheImageIsWrittenFailsAndKeepsTheOldImage) {
  DiscFixture f;
  ASSERT_TRUE(RunBackup(f.options("OLD"), nullptr).ok);
  const std::string old = test::ReadBytes(f.image);
  ASSERT_GT(old.size(), 32768u);

  // The removal pass cuts one hour and deletes another after the image was planned,
  // before its files are read: the disc would hold zeros in their place.
  for (const bool removed : {false, true}) {
    Recorded rec;
    bool cut = false;
    const BackupOutcome outcome = RunBackup(f.options(), [&](const BackupProgress& p) {
      rec.statuses.push_back(p.status);
      if (p.status == "Preparing burn..." && !cut) {
        cut = true;
        if (removed) fs::remove(f.hour(9));
        else fs::resize_file(f.hour(8), 100);
      }
    });
    EXPECT_FALSE(outcome.ok);
    EXPECT_EQ(outcome.status.rfind("Failed (0x", 0), 0u) << outcome.status;
    const std::string name = removed ? f.hour(9).filename().string() : f.hour(8).filename().string();
    EXPECT_NE(outcome.reason.find(name), std::string::npos) << outcome.reason;
    EXPECT_NE(outcome.reason.find(removed ? "cannot be opened" : "became shorter"), std::string::npos)
        << outcome.reason;
    EXPECT_EQ(std::count(rec.statuses.begin(), rec.statuses.end(), "Success."), 0);
    EXPECT_EQ(test::ReadBytes(f.image), old);
    EXPECT_FALSE(f.writing());
  }
}

TEST(BackupDisc, LibraryMessagesOfSeveritySorryFailTheBackup) {
  DiscFixture f;
  // A message the library queues while the disc is written: SORRY (or worse) is a
  // failure whose text is the reason; a WARNING is only logged.
  for (const char* severity : {"WARNING", "SORRY"}) {
    bool sent = false;
    const BackupOutcome outcome = RunBackup(f.options(), [&](const BackupProgress& p) {
      if (p.status == "Recording disc..." && !sent) {
        sent = true;
        char text[] = "a block of the image was not written";
        iso_msgs_submit(0, text, 0, const_cast<char*>(severity), 0);
      }
    });
    ASSERT_TRUE(sent);
    if (std::string(severity) == "WARNING") {
      EXPECT_TRUE(outcome.ok) << outcome.reason;
      EXPECT_EQ(outcome.status, "Success.");
      continue;
    }
    EXPECT_FALSE(outcome.ok);
    EXPECT_EQ(outcome.status.rfind("Failed (0x", 0), 0u) << outcome.status;
    EXPECT_NE(outcome.reason.find("libisofs: a block of the image was not written"), std::string::npos)
        << outcome.reason;
    EXPECT_FALSE(f.writing());
  }
}

TEST(BackupDisc, WrittenImageIsReadBackAndComparedBeforeSuccess) {
  DiscFixture f;
  // One byte of the marker changed on its way to the medium: found by the read-back.
  bool changed = false;
  const BackupOutcome outcome = RunBackup(f.options(), [&](const BackupProgress& p) {
    if (p.status != "Verifying disc..." || changed) return;
    changed = true;
    const std::string written = test::ReadBytes(f.image + ".writing");
    const std::size_t at = written.find("root=\"Yard/Door\"");
    ASSERT_NE(at, std::string::npos);
    const int fd = ::open((f.image + ".writing").c_str(), O_WRONLY);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::pwrite(fd, "R", 1, static_cast<off_t>(at)), 1);
    ::close(fd);
  });
  ASSERT_TRUE(changed);
  EXPECT_FALSE(outcome.ok);
  EXPECT_NE(outcome.reason.find(".nvr on the disc differs"), std::string::npos) << outcome.reason;
  EXPECT_EQ(outcome.status.rfind("Failed (0x", 0), 0u) << outcome.status;
  EXPECT_FALSE(fs::exists(f.image));
  EXPECT_FALSE(f.writing());
}

TEST(BackupDisc, ImageIsWrittenBesideItsNameAndRenamedOnceChecked) {
  DiscFixture f;
  ASSERT_TRUE(RunBackup(f.options("OLD"), nullptr).ok);
  const std::string old = test::ReadBytes(f.image);

  // While the disc is written, the old image is whole under its name (a kill -9 then
  // leaves it so) and the new one grows beside it.
  bool oldWhileWriting = false, besideWhileWriting = false;
  BackupOutcome outcome = RunBackup(f.options("NEW"), [&](const BackupProgress& p) {
    if (p.status == "Recording disc..." || p.status == "Verifying disc...") {
      oldWhileWriting = test::ReadBytes(f.image) == old;
      besideWhileWriting = f.writing();
    }
  });
  ASSERT_TRUE(outcome.ok) << outcome.reason;
  EXPECT_TRUE(oldWhileWriting);
  EXPECT_TRUE(besideWhileWriting);
  EXPECT_FALSE(f.writing());
  ImageContents contents;
  ASSERT_TRUE(ReadImage(f.image, contents));
  EXPECT_EQ(contents.volumeId, "NEW");
  EXPECT_EQ(contents.files.size(), 13u);

  // A stop before the write, and a temporary file left by a killed run: the image as
  // it was, nothing beside it.
  const std::string renewed = test::ReadBytes(f.image);
  test::WriteBytes(f.image + ".writing", "left by a run that was killed");
  std::atomic<bool> cancel{false};
  outcome = RunBackup(
      f.options("STOPPED"),
      [&](const BackupProgress& p) {
        if (p.status == "Creating disc image...") cancel.store(true);
      },
      &cancel);
  EXPECT_FALSE(outcome.ok);
  EXPECT_TRUE(outcome.cancelled);
  EXPECT_EQ(test::ReadBytes(f.image), renewed);
  EXPECT_FALSE(f.writing());
  // A simulation writes nothing under either name.
  BackupOptions simulated = f.options("SIM");
  simulated.simulate = true;
  ASSERT_TRUE(RunBackup(simulated, nullptr).ok);
  EXPECT_EQ(test::ReadBytes(f.image), renewed);
  EXPECT_FALSE(f.writing());
}

// A file system of 256 KiB (a tmpfs in a user and mount namespace of the test's own)
// holding an old image cannot take a new image of about 1 MiB: the command fails, the
// old image stays whole and no partial image is left.
TEST(BackupDisc, FullDiskLeavesTheOldImageAndNoPartialOne) {
  if (test::ChildProcess({"/usr/bin/unshare", "-rm", "/bin/true"}, {}).wait(std::chrono::seconds(10)) != 0)
    GTEST_SKIP() << "user and mount namespaces are not available here";
  test::ZoneForTest zone("UTC0");
  test::TempDir src, dst, out, data;
  test::MakeHours(fs::path(src.path()) / "small", test::UtcHour(2026, 12, 8, 0), 1, 1);
  test::MakeHours(fs::path(src.path()) / "big", test::UtcHour(2026, 12, 8, 0), 20, 20);
  BackupOptions small;
  small.source = fs::path(src.path()) / "small";
  small.target = "stdio:" + out.file("old.iso");
  small.range = kDay;
  ASSERT_TRUE(RunBackup(small, nullptr).ok);
  const std::string old = test::ReadBytes(out.file("old.iso"));
  ASSERT_LT(old.size(), 200u * 1024);

  const std::string program = std::string(VELMORA_BINARY_DIR) + "/velmora-nvr";
  const std::string script =
      "mount -t tmpfs -o size=256k tmpfs \"$1\" && cp \"$4\" \"$1/x.iso\" && TZ=UTC0 \"$2\" backup "
      "--from 2026-12-08 --to 2026-12-08 \"$3\" \"stdio:$1/x.iso\"; rc=$?; ls -a \"$1\" > \"$5\"; "
      "cp \"$1/x.iso\" \"$6\"; exit $rc";
  test::ChildProcess child;
  child.start({"/usr/bin/unshare", "-rm", "/bin/sh", "-c", script, "sh", dst.path(), program,
               (fs::path(src.path()) / "big").string(), out.file("old.iso"), out.file("listing"),
               out.file("after.iso")},
              {"XDG_DATA_HOME=" + data.path()}, std::string(), out.file("log"));
  EXPECT_EQ(child.wait(std::chrono::seconds(60)), 1);
  const std::string log = test::ReadBytes(out.file("log"));
  EXPECT_NE(log.find("Failed (0x"), std::string::npos) << log;
  EXPECT_EQ(log.find("Success."), std::string::npos) << log;
  EXPECT_EQ(test::ReadBytes(out.file("after.iso")), old);
  EXPECT_EQ(test::ReadBytes(out.file("listing")).find(".writing"), std::string::npos) << test::ReadBytes(out.file("listing"));
}

}  // namespace
}  // namespace velmora::backup
