// The removable-media scan: what a drive's folders give (recordings at the root, three
// levels down but not four), the queue and its lock, and the scan thread handing its
// results to the main queue until its stop event ends it.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>

#include "app/log.h"
#include "app/program_signals.h"
#include "model/media_scan.h"
#include "app/messages.h"
#include "temp_dir.h"

namespace velmora {
namespace {

namespace fs = std::filesystem;

void Touch(const fs::path& file) {
  fs::create_directories(file.parent_path());
  test::WriteFile(file.string(), "x");
}

// Drains the main queue (other tests' leftovers included), keeping scan results.
std::vector<std::unique_ptr<ScanNode>> TakeResults() {
  std::vector<std::unique_ptr<ScanNode>> results;
  while (auto message = mainQueue().take())
    if (auto* result = std::get_if<MsgMediaScanResult>(&*message)) results.push_back(std::move(result->node));
  return results;
}

class MediaScanTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SetLogPath(dir_.file("test.log"));
    ClearMediaScanQueue();
    mainQueue().reopen();
    TakeResults();
  }
  void TearDown() override {
    ClearMediaScanQueue();
    SetLogPath("");
  }
  std::string log() const { return test::ReadFile(dir_.file("test.log")); }
  ScanNode Drive(const std::string& path, const std::string& name) const {
    ScanNode node;
    node.scanType = -8;
    node.name = name;
    node.path = path;
    return node;
  }

  test::TempDir dir_;
};

TEST_F(MediaScanTest, RootRecordingsGiveOneChildNamedLikeTheDriveAndFoldersCountToThreeLevels) {
  const fs::path drive = fs::path(dir_.path()) / "STICK";
  Touch(drive / "000101.VLJ");                         // at the root, upper case
  Touch(drive / "a" / "b" / "c" / "091201.vlj");       // three levels down: found
  Touch(drive / "a" / "b" / "c" / "d" / "091202.vlj"); // four levels down: not found
  Touch(drive / "empty" / "notes.txt");
  Touch(drive / "index-only" / "091201.vlx");          // an index alone is no recording
  fs::create_directories(drive / "link-target");
  Touch(drive / "link-target" / "1.vlj");
  fs::create_symlink(drive / "link-target", drive / "z-link");  // links are not followed

  ScanNode root = Drive(drive.string(), "STICK");
  ASSERT_TRUE(ScanMediaNode(root));
  ASSERT_EQ(root.children.size(), 3u);
  const ScanNode& data = *root.children[0];
  EXPECT_EQ(data.scanType, -6);
  EXPECT_EQ(data.scanDepth, 1);
  EXPECT_EQ(data.name, "STICK");
  EXPECT_EQ(data.path, drive.string());
  EXPECT_TRUE(data.children.empty());

  const ScanNode& a = *root.children[1];
  EXPECT_EQ(a.scanType, -7);
  EXPECT_EQ(a.name, "a");
  ASSERT_EQ(a.children.size(), 1u);
  const ScanNode& b = *a.children[0];
  ASSERT_EQ(b.children.size(), 1u);
  const ScanNode& c = *b.children[0];
  EXPECT_EQ(c.scanDepth, 3);
  EXPECT_EQ(c.path, (drive / "a" / "b" / "c").string());
  ASSERT_EQ(c.children.size(), 1u);  // its own recordings, not folder d
  EXPECT_EQ(c.children[0]->scanType, -6);
  EXPECT_EQ(c.children[0]->name, "c");
  EXPECT_EQ(root.children[2]->name, "link-target");

  // Only the deep folder: nothing within reach.
  const fs::path deep = fs::path(dir_.path()) / "DEEP";
  Touch(deep / "1" / "2" / "3" / "4" / "091201.vlj");
  ScanNode deepRoot = Drive(deep.string(), "DEEP");
  EXPECT_FALSE(ScanMediaNode(deepRoot));
  EXPECT_TRUE(deepRoot.children.empty());
  // A folder that cannot be listed yields nothing.
  ScanNode missing = Drive(dir_.file("gone"), "gone");
  EXPECT_FALSE(ScanMediaNode(missing));

  const std::string text = log();
  EXPECT_NE(text.find("srm_scan: " + drive.string()), std::string::npos);
  EXPECT_NE(text.find("adding data STICK/" + drive.string()), std::string::npos);
  EXPECT_NE(text.find("adding directory a/" + (drive / "a").string()), std::string::npos);
  EXPECT_EQ(text.find("srm_scan: " + (deep / "1" / "2" / "3" / "4").string()), std::string::npos);

  // A stop event already set finds nothing.
  platform::Event stop(platform::Event::Reset::kManual, true);
  ScanNode stopped = Drive(drive.string(), "STICK");
  EXPECT_FALSE(ScanMediaNode(stopped, &stop));
}

// Folder and drive names are the medium's: a name that holds a line break and a time
// stamp, or a terminal's control sequence, stays inside its own escaped log line.
TEST_F(MediaScanTest, NamesFromTheMediumReachTheLogEscaped) {
  const std::string evil = "Cam\n[Mon Jan 01 00:00:00 2024]: forged\x1b]0;title\x07";
  const fs::path drive = fs::path(dir_.path()) / "ST\x1b[2JICK";
  Touch(drive / evil / "091201.vlj");
  ASSERT_TRUE(QueueMediaScan(drive.string(), "ST\x1b[2JICK\r"));
  ScanNode root = Drive(drive.string(), "ST\x1b[2JICK\r");
  ASSERT_TRUE(ScanMediaNode(root));
  ASSERT_EQ(root.children.size(), 1u);
  EXPECT_EQ(root.children[0]->name, evil) << "the scan itself keeps the name as it is";

  const std::string text = log();
  EXPECT_EQ(text.find('\x1b'), std::string::npos) << text;
  EXPECT_EQ(text.find('\x07'), std::string::npos) << text;
  EXPECT_EQ(text.find("\n[Mon Jan 01 00:00:00 2024]"), std::string::npos) << text;
  const std::string shownDrive = dir_.path() + "/ST\\x1b[2JICK";
  const std::string shownName = "Cam\\n[Mon Jan 01 00:00:00 2024]: forged\\x1b]0;title\\x07";
  EXPECT_NE(text.find("queing removable media scan for 'ST\\x1b[2JICK\\r'\r\n"), std::string::npos) << text;
  EXPECT_NE(text.find("]: srm_scan: " + shownDrive + "/" + shownName + "\r\n"), std::string::npos) << text;
  EXPECT_NE(text.find("]: adding data " + shownName + "/" + shownDrive + "/" + shownName + "\r\n"), std::string::npos)
      << text;
  EXPECT_NE(text.find("]: adding directory " + shownName + "/" + shownDrive + "/" + shownName + "\r\n"),
            std::string::npos)
      << text;
  ClearMediaScanQueue();
}

TEST_F(MediaScanTest, QueueRefusesAWaitingPathAndTheThreadPostsOnlyWhatFoundSomething) {
  const fs::path full = fs::path(dir_.path()) / "FULL";
  Touch(full / "cam" / "091201.vlj");
  const fs::path bare = fs::path(dir_.path()) / "BARE";
  fs::create_directories(bare / "x");

  EXPECT_TRUE(QueueMediaScan(full.string(), "FULL", "/dev/sdb1"));
  EXPECT_FALSE(QueueMediaScan(full.string(), "FULL"));
  EXPECT_TRUE(QueueMediaScan(bare.string(), "BARE"));
  EXPECT_TRUE(QueueMediaScan(dir_.file("going"), "going"));
  EXPECT_TRUE(DropMediaScan(dir_.file("going")));
  EXPECT_FALSE(DropMediaScan(dir_.file("going")));
  EXPECT_EQ(PendingMediaScans(), 2u);
  EXPECT_NE(log().find("queing removable media scan for 'FULL'"), std::string::npos);

  platform::Event stop(platform::Event::Reset::kManual);
  std::thread worker([&] { RunMediaScanThread(stop); });
  std::vector<std::unique_ptr<ScanNode>> results;
  for (int i = 0; i < 250 && (results.empty() || PendingMediaScans() > 0); ++i) {
    for (auto& r : TakeResults()) results.push_back(std::move(r));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  for (auto& r : TakeResults()) results.push_back(std::move(r));
  ASSERT_EQ(results.size(), 1u);  // the bare drive found nothing and was freed
  EXPECT_EQ(results[0]->path, full.string());
  EXPECT_EQ(results[0]->device, "/dev/sdb1");
  ASSERT_EQ(results[0]->children.size(), 1u);
  EXPECT_EQ(results[0]->children[0]->name, "cam");

  // A closed main queue refuses the post: the result is dropped (and freed) and the
  // thread goes on.
  mainQueue().close();
  EXPECT_TRUE(QueueMediaScan(full.string(), "FULL"));
  for (int i = 0; i < 250 && PendingMediaScans() > 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(20));
  mainQueue().reopen();

  stop.set();
  programSignals().mediaScan.set();
  worker.join();
  const std::string text = log();
  EXPECT_NE(text.find("removable media scan event"), std::string::npos);
  EXPECT_NE(text.find("scanning FULL"), std::string::npos);
  EXPECT_NE(text.find("scanning BARE"), std::string::npos);
  EXPECT_NE(text.find("removable media scan thread exit"), std::string::npos);
  EXPECT_TRUE(TakeResults().empty());
}

TEST_F(MediaScanTest, ThreadStartsOnceAndJoinsWhenItsStopEventIsSet) {
  platform::Event stop(platform::Event::Reset::kManual);
  ASSERT_TRUE(StartMediaScanThread(&stop));
  EXPECT_FALSE(StartMediaScanThread(&stop));
  // Queued scans that have not started are dropped when the thread ends.
  stop.set();
  EXPECT_TRUE(JoinMediaScanThread(std::chrono::milliseconds(5000)));
  EXPECT_TRUE(QueueMediaScan(dir_.file("late"), "late"));
  EXPECT_EQ(PendingMediaScans(), 1u);
  EXPECT_TRUE(JoinMediaScanThread(std::chrono::milliseconds(100)));  // not running: at once
  programSignals().mediaScan.reset();
}

}  // namespace
}  // namespace velmora
