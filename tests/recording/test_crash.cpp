// A recorder killed at random moments loses at most the frame it was writing. Child
// processes record frames of mixed sizes as fast as they can and are killed with
// SIGKILL one after another; each appends to what the last one left. Afterwards every
// index entry must name a complete record of the right frame, every frame a child had
// finished must be there, and nothing but its frame in flight may be missing.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <map>
#include <random>
#include <set>
#include <thread>

#include "recording/format_append.h"
#include "test_recorder_fixture.h"
#include "test_tree.h"
#include "test_paths.h"

using velmora::test::TestPaths;
using velmora::test::TestTree;

namespace velmora {
namespace {

constexpr int kKills = 20;

// Mostly small frames, some large ones whose writes a kill is likely to cut. The child
// and frame numbers are inside, so every record can be checked against its origin.
std::vector<uint8_t> FrameBytes(int child, int frame) {
  uint64_t r =
      (static_cast<uint64_t>(child) << 32 | static_cast<uint32_t>(frame)) * 0x9E3779B97F4A7C15ull;
  r ^= r >> 29;
  const std::size_t length = r % 100 < 70   ? 16 + (r >> 8) % 20000
                             : r % 100 < 95 ? 20000 + (r >> 8) % 280000
                                            : 300000 + (r >> 8) % 1700000;
  auto bytes = rectest::FakeJpeg(length, static_cast<uint8_t>(child * 31 + frame));
  bytes[2] = static_cast<uint8_t>(child);
  std::memcpy(&bytes[3], &frame, sizeof frame);
  return bytes;
}

[[noreturn]] void RecordUntilKilled(const std::filesystem::path& root, int child, int readyFd,
                                    std::atomic<int>* finished) {
  TestPaths().pathData = root.string() + "/";
  TestTree().recordingsFolder = TestPaths().pathData;
  velmora::test::TestSettings().recordEnable = true;
  SetLogPath("");
  auto cam = CreateRecord(EntryKind::Device, "Cam");
  cam->path = "Cam";
  cam->enabled = cam->recording = true;
  cam->motionEnabled = false;
  // Children start three minutes apart: some share an hour, some cross into the next.
  platform::ManualClock clock;
  clock.setWall(rectest::Utc(2026, 12, 8, 13, 40, 0) + std::chrono::minutes(3) * child);
  platform::ScopedClock useClock(clock);
  // The test's own bound runs on the real clock.
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(2);
  for (int frame = 0; frame < 4000 && std::chrono::steady_clock::now() < end; ++frame) {
    rectest::Frame(FrameBytes(child, frame)).RecordFor(*cam);
    finished->store(frame + 1);
    if (frame == 0 && ::write(readyFd, "r", 1) != 1) ::_exit(3);
    clock.advance(std::chrono::milliseconds(40));
  }
  ::_exit(0);
}

TEST(RecorderCrash, KillNineLosesAtMostTheFrameBeingWritten) {
  rectest::TempFolder temp;
  const auto root = temp.path() / "rec";
  std::filesystem::create_directories(root);
  // Frames each child has handed over completely, readable after it was killed.
  void* shared = ::mmap(nullptr, sizeof(std::atomic<int>) * kKills, PROT_READ | PROT_WRITE,
                        MAP_SHARED | MAP_ANONYMOUS, -1, 0);
  ASSERT_NE(shared, MAP_FAILED);
  auto* finished = new (shared) std::atomic<int>[kKills]();

  std::mt19937 random(20261208);
  int killedWhileRecording = 0;
  for (int child = 0; child < kKills; ++child) {
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) RecordUntilKilled(root, child, fds[1], &finished[child]);
    ::close(fds[1]);
    pollfd ready{fds[0], POLLIN, 0};
    EXPECT_EQ(::poll(&ready, 1, 2000), 1) << "child " << child << " never recorded";
    ::close(fds[0]);
    std::this_thread::sleep_for(std::chrono::milliseconds(1 + random() % 150));
    ::kill(pid, SIGKILL);
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    killedWhileRecording += WIFSIGNALED(status);
  }
  EXPECT_GT(killedWhileRecording, kKills / 2);

  const auto folder = root / "Cam";
  std::map<int, std::set<int>> indexed;  // child -> its frames reachable through an index
  std::map<int, int> complete;           // child -> its complete records in the data files
  std::vector<std::string> keys;
  for (const auto& file : std::filesystem::directory_iterator(folder))
    if (file.path().extension() == ".vlj") keys.push_back(file.path().stem().string());
  ASSERT_GE(keys.size(), 2u);
  uint64_t unindexed = 0;
  for (const auto& key : keys) {
    const auto check = rectest::CheckPair(folder, key);
    for (const auto& record : check.indexed) {
      int frame = 0;
      std::memcpy(&frame, &record.jpeg[3], sizeof frame);
      EXPECT_EQ(record.jpeg, FrameBytes(record.jpeg[2], frame));
      EXPECT_TRUE(indexed[record.jpeg[2]].insert(frame).second) << "indexed twice";
    }
    unindexed += check.records - check.entries;
    RecordFileReader reader;
    ASSERT_TRUE(reader.open(folder, key));
    Record record;
    for (uint64_t pos = 0; reader.readRecord(static_cast<int64_t>(pos), record) == RecordStatus::ok;
         pos += record.header.recordLength)
      ++complete[record.jpeg[2]];
  }
  EXPECT_LE(unindexed, static_cast<uint64_t>(kKills)) << "at most one unindexed frame per kill";
  for (int child = 0; child < kKills; ++child) {
    const int done = finished[child].load();
    for (int frame = 0; frame < done; ++frame)
      EXPECT_TRUE(indexed[child].count(frame))
          << "child " << child << " lost finished frame " << frame;
    EXPECT_LE(complete[child], done + 1) << "child " << child;
  }
  // Reopening for appending leaves every pair clean.
  for (const auto& key : keys) {
    AppendPoint point;
    EXPECT_TRUE(PrepareAppendFiles(DataFilePath(folder, key), IndexFilePath(folder, key), point));
    EXPECT_FALSE(point.unrecognisedTail);
    EXPECT_FALSE(rectest::CheckPair(folder, key).tornTail) << key;
  }
  ::munmap(shared, sizeof(std::atomic<int>) * kKills);
}

}  // namespace
}  // namespace velmora
