// Shared set-up for the recorder and removal tests: a recordings folder of its own, a
// settable clock, frames with the room the recorder writes into, the posted status
// texts, and a full check of one hour's file pair.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "app/log.h"
#include "app/messages.h"
#include "app/paths.h"
#include "app/settings.h"
#include "platform/clock.h"
#include "recording/format_reader.h"
#include "recording/recorder.h"
#include "test_tree.h"
#include "test_paths.h"

namespace velmora::rectest {

using Clock = std::chrono::system_clock;

class TempFolder {
 public:
  TempFolder() {
    std::string pattern = (std::filesystem::temp_directory_path() / "velmora-rec2-XXXXXX").string();
    if (char* made = mkdtemp(pattern.data())) path_ = made;
  }
  ~TempFolder() {
    std::error_code ec;
    if (!path_.empty()) std::filesystem::remove_all(path_, ec);
  }
  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

inline std::vector<uint8_t> FakeJpeg(std::size_t length, uint8_t seed = 1) {
  std::vector<uint8_t> jpeg(length);
  for (std::size_t i = 0; i < length; ++i) jpeg[i] = static_cast<uint8_t>(seed + i * 7);
  jpeg[0] = 0xFF, jpeg[1] = 0xD8, jpeg[length - 2] = 0xFF, jpeg[length - 1] = 0xD9;
  return jpeg;
}

inline void AppendBytes(const std::filesystem::path& path, const void* data, std::size_t length) {
  std::ofstream(path, std::ios::binary | std::ios::app)
      .write(static_cast<const char*>(data), static_cast<std::streamsize>(length));
}

inline std::string ReadText(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

inline Clock::time_point Utc(int year, int month, int day, int hour, int minute, int second,
                             int millisecond = 0) {
  struct tm t {};
  t.tm_year = year - 1900, t.tm_mon = month - 1, t.tm_mday = day;
  t.tm_hour = hour, t.tm_min = minute, t.tm_sec = second;
  return Clock::from_time_t(timegm(&t)) + std::chrono::milliseconds(millisecond);
}

// One frame as the stream parser hands it over: 48 bytes of room, the JPEG, 4 bytes.
struct Frame {
  std::vector<uint8_t> buffer;
  ImageHolder holder;

  explicit Frame(const std::vector<uint8_t>& jpeg)
      : buffer(jpeg.size() + kRecordOverheadBytes, 0xEE) {
    std::copy(jpeg.begin(), jpeg.end(), buffer.begin() + kRecordHeaderBytes);
  }
  explicit Frame(std::size_t length, uint8_t seed = 1) : Frame(FakeJpeg(length, seed)) {}
  void RecordFor(GroupRecord& device) {
    check_record(device, &holder, buffer.data(), buffer.size() - kRecordOverheadBytes, velmora::test::TestTree());
  }
};

struct Posted {
  std::vector<std::string> status;
  std::vector<bool> logged;  // per status text: whether the main thread also logs it
  int diskUsage = 0;
  int motionAlerts = 0;
  std::vector<std::string> foldersGone;
  bool Has(const std::string& text) const { return Index(text) >= 0; }
  int Index(const std::string& text) const {
    for (std::size_t i = 0; i < status.size(); ++i)
      if (status[i] == text) return static_cast<int>(i);
    return -1;
  }
};

inline Posted TakePosted() {
  Posted posted;
  while (auto message = mainQueue().take()) {
    if (auto* text = std::get_if<MsgStatusText>(&*message); text && text->text) {
      posted.status.push_back(*text->text);
      posted.logged.push_back(text->log);
    }
    posted.diskUsage += std::holds_alternative<MsgDiskUsage>(*message);
    posted.motionAlerts += std::holds_alternative<MsgMotionAlert>(*message);
    if (auto* gone = std::get_if<MsgRecordingsFolderGone>(&*message)) posted.foldersGone.push_back(gone->folder);
  }
  return posted;
}

// What a reader relies on in one hour's pair: every index entry names a complete record
// carrying the entry's time, in write order; stepping from the data file's start meets
// `records` complete records and then either the end or a torn record.
struct PairCheck {
  uint64_t entries = 0;
  uint64_t records = 0;
  bool tornTail = false;
  std::vector<Record> indexed;
};

inline PairCheck CheckPair(const std::filesystem::path& folder, const std::string& key) {
  PairCheck check;
  RecordFileReader reader;
  EXPECT_TRUE(reader.open(folder, key)) << folder << " " << key;
  EXPECT_EQ(reader.indexSize() % kIndexEntryBytes, 0u) << "partial index entry";
  check.entries = reader.entryCount();
  for (uint64_t i = 0; i < check.entries; ++i) {
    IndexEntry entry;
    Record record;
    EXPECT_EQ(reader.readEntry(i, entry), RecordStatus::ok);
    if (reader.readEntryRecord(i, record) != RecordStatus::ok) {
      ADD_FAILURE() << key << ": entry " << i << " names no complete record";
      continue;
    }
    EXPECT_EQ(record.header.time, entry.time);
    EXPECT_EQ(record.header.milliseconds, entry.milliseconds);
    EXPECT_EQ(HourKey(entry.time), key);
    if (!check.indexed.empty()) {
      EXPECT_GT(entry.offset, check.indexed.back().offset);
    }
    check.indexed.push_back(std::move(record));
  }
  RecordHeader header;
  uint64_t pos = 0;
  for (; pos < reader.dataSize() && reader.checkRecord(pos, header) == RecordStatus::ok;
       pos += header.recordLength)
    ++check.records;
  check.tornTail = pos != reader.dataSize();
  return check;
}

// Settings, folders, clock and log of one test, restored afterwards.
class RecordingTest : public ::testing::Test {
 protected:
  void SetUp() override {
    saved = {velmora::test::TestSettings(), velmora::test::TestPaths(), GetLogPath()};
    root = temp.path() / "rec";
    std::filesystem::create_directories(root);
    velmora::test::TestPaths().pathData = root.string() + "/";
    velmora::test::TestTree().recordingsFolder = velmora::test::TestPaths().pathData;
    SetLogPath((temp.path() / "test.log").string());
    velmora::test::TestSettings().recordEnable = true;
    clock.setWall(Utc(2026, 12, 8, 14, 5, 9));
    TakePosted();
  }
  void TearDown() override {
    velmora::test::TestSettings() = saved.settings;
    velmora::test::TestPaths() = saved.paths;
    velmora::test::TestTree().recordingsFolder = velmora::test::TestPaths().pathData;
    velmora::test::TestTree().filePath = velmora::test::TestPaths().deviceTreePath;
    SetLogPath(saved.log);
    TakePosted();
  }

  // A camera that records every frame (no motion detection, no schedule).
  std::shared_ptr<GroupRecord> Camera(const std::string& path, int32_t archiveTime = 0) {
    auto device = CreateRecord(EntryKind::Device, path.substr(path.rfind('/') + 1));
    device->path = path;
    device->enabled = device->recording = true;
    device->motionEnabled = false;
    device->archiveTime = archiveTime;
    return device;
  }
  std::filesystem::path Folder(const GroupRecord& device) const {
    return DeviceFolder(root, device.path);
  }
  std::string Key() const { return HourKey(static_cast<int32_t>(Clock::to_time_t(Now()))); }
  // The moment the recorder reads.
  Clock::time_point Now() const { return Clock::time_point(std::chrono::milliseconds(clock.wallMs())); }
  std::string LogText() const { return ReadText(temp.path() / "test.log"); }

  TempFolder temp;
  std::filesystem::path root;
  // The clock of the test, in effect from construction to destruction of the fixture.
  platform::ManualClock clock;
  platform::ScopedClock useClock{clock};

 private:
  struct {
    Settings settings;
    Paths paths;
    std::string log;
  } saved;
};

}  // namespace velmora::rectest
