#include "recording/recorder.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <mutex>
#include <system_error>

#include "app/application.h"
#include "app/log.h"
#include "app/messages.h"
#include "app/paths.h"
#include "app/program_signals.h"
#include "app/settings.h"
#include "media/jpeg.h"
#include "live/stream.h"
#include "live/view_slot.h"
#include "platform/clock.h"
#include "recording/cleanup.h"
#include "recording/format_append.h"

namespace velmora {

namespace {

std::atomic<int64_t>& renameWaitMs() {
  static std::atomic<int64_t> wait{1000};
  return wait;
}

// The file-handle argument of the write reports: the descriptor shown as a handle value.
void* HandleValue(int fd) { return reinterpret_cast<void*>(static_cast<intptr_t>(fd)); }

int ClampToInt(std::size_t value) {
  return value > static_cast<std::size_t>(INT_MAX) ? INT_MAX : static_cast<int>(value);
}

// A full disk fails every frame of every recording device; the log gets such a report
// once per device and minute, the status bar every one.
constexpr int64_t kFailureLogIntervalMs = 60000;

// Reports a failed open or write of the device's recording files ("%s failed" with
// errno). recordLock held.
void ReportRecordingFailure(GroupRecord& device, const char* operation) {
  const int error = errno;
  const int64_t now = platform::WallMs();
  const bool log = device.files.recordFailureLoggedMs < 0 || now - device.files.recordFailureLoggedMs >= kFailureLogIntervalMs ||
                   now < device.files.recordFailureLoggedMs;  // the clock went back
  if (log) device.files.recordFailureLoggedMs = now;
  errno = error;
  StatusLastError(operation, log);
}

// Opens an hour file of a device folder. A link in its place is not followed: nothing
// inside a device folder leads elsewhere.
int OpenFile(const std::string& name, int flags) {
  int fd;
  do {
    fd = ::open(name.c_str(), flags | O_CLOEXEC | O_NOFOLLOW, 0644);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

// Writes all bytes at `offset`, going on after a partial write. Returns the bytes
// written; when that is short, errno tells why (0 when the system gave no reason).
std::size_t WriteAllAt(int fd, const uint8_t* data, std::size_t length, uint64_t offset) {
  std::size_t done = 0;
  while (done < length) {
    const ssize_t n = ::pwrite(fd, data + done, length - done, static_cast<off_t>(offset + done));
    if (n < 0) {
      if (errno == EINTR) continue;
      return done;
    }
    if (n == 0) {
      errno = 0;
      return done;
    }
    done += static_cast<std::size_t>(n);
  }
  return done;
}

// The same for a file opened for appending.
std::size_t AppendAll(int fd, const uint8_t* data, std::size_t length) {
  std::size_t done = 0;
  while (done < length) {
    const ssize_t n = ::write(fd, data + done, length - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return done;
    }
    if (n == 0) {
      errno = 0;
      return done;
    }
    done += static_cast<std::size_t>(n);
  }
  return done;
}

// True when the folder lies below the recordings folder. Tree names may be "." or "..",
// which must not lead the recorder (or a rename) outside it.
bool InsideRecordings(const std::filesystem::path& root, const std::filesystem::path& folder) {
  const std::filesystem::path relative =
      folder.lexically_normal().lexically_relative(root.lexically_normal());
  return !relative.empty() && *relative.begin() != ".." && relative != ".";
}

// Opens (creating when missing) the data file of the hour, cutting a torn record left at
// its end by an interrupted write, and makes it the device's open pair. recordLock held.
bool OpenDataFile(GroupRecord& device, const std::filesystem::path& folder,
                  const std::string& hourKey, const std::string& baseName, const std::string& recordings) {
  const std::filesystem::path dataPath = DataFilePath(folder, hourKey);
  const std::string dataName = dataPath.string();
  if (!InsideRecordings(recordings, folder)) {
    errno = EINVAL;
    ReportRecordingFailure(device, ("CreateFile(" + dataName + ")").c_str());
    return false;
  }
  // The device folder may be a link to a folder elsewhere; the folders above it may not
  // (the rule the removal pass and the HTTP server follow too).
  if (const int error = MakeDeviceFolder(recordings, device.path); error != 0) {
    errno = error;
    ReportRecordingFailure(device, ("CreateFile(" + dataName + ")").c_str());
    return false;
  }
  int fd = OpenFile(dataName, O_RDWR | O_CREAT);
  if (fd < 0 && errno == ENOENT) {
    // The removal pass takes away device folders that it emptied; one may have gone
    // between the check above and the open.
    if (MakeDeviceFolder(recordings, device.path) == 0) fd = OpenFile(dataName, O_RDWR | O_CREAT);
  }
  if (fd < 0) {
    ReportRecordingFailure(device, ("CreateFile(" + dataName + ")").c_str());
    return false;
  }
  // Appending behind a torn record would leave it in the middle of the file, where
  // stepping from record to record lands inside it; so it is cut first. When the files
  // cannot be scanned the point is the end of the file as found, which still never
  // overwrites a record.
  AppendPoint point;
  PrepareAppend(fd, IndexFilePath(folder, hourKey), point);
  device.files.dataFile = fd;
  device.files.dataFileOffset = point.dataEnd;
  device.files.recordFileName = baseName;
  return true;
}

// The motion decision for the frame, with the record's masks. Returns recordFrame.
bool DecideMotion(GroupRecord& device, ImageHolder& frame, const uint8_t* jpeg,
                  std::size_t jpegLength) {
  MotionState& state = DeviceMotionState(device);
  state.recordFrame = false;
  if (!device.motionEnabled) {
    state.recordFrame = true;
    state.motionMaskLow = 0;
    state.motionMaskHigh = 0;
    return true;
  }
  const MotionConfig& motion = device;  // the saved detector settings (fetchLock held)
  // The pixel detectors need the decoded frame; a frame that arrived undecoded is
  // decoded here and keeps its image for the view.
  if (!frame.image && motion.motionType != 2) frame.image = ImageFromBuffer(jpeg, jpegLength);
  FrameView view;
  if (frame.image && frame.image->valid()) {
    view.pixels = frame.image->pixels();
    view.width = frame.image->width();
    view.height = frame.image->height();
    view.stride = static_cast<int>(frame.image->pitch());
    view.bitsPerPixel = frame.image->bitsPerPixel();
  }
  MotionCall call;
  call.deviceName = device.name.c_str();
  call.markingApplies = device.fetchActive && !device.stillShown &&
                        (device.viewIndex < 0 || device.shownIn == nullptr ||
                         device.shownIn->PlaybackSlot(device.viewIndex) < 0);
  if (DetectMotion(state, motion, view, jpeg, jpegLength, call)) mainQueue().post(MsgMotionAlert{});
  return state.recordFrame;
}

// Writes the frame under the recording locks. Returns the motion decision (recordFrame).
bool WriteFrame(GroupRecord& device, ImageHolder& frame, uint8_t* buffer, std::size_t jpegLength, DeviceTree& tree) {
  const std::string& recordings = tree.recordingsFolder;
  std::lock_guard<std::mutex> recording(tree.recordingLock);
  std::lock_guard<std::mutex> files(device.files.recordLock);

  const RecordTime time = RecordTimeOf(platform::WallTime());
  const std::string hourKey = HourKey(time.seconds);
  const std::filesystem::path folder = DeviceFolder(recordings, device.path);
  const std::string baseName = (folder / hourKey).string();
  if (device.files.dataFile < 0 || device.files.recordFileName != baseName) {
    device.files.Close();
    // Without a data file the frame is dropped before detection; the next frame retries.
    if (!OpenDataFile(device, folder, hourKey, baseName, recordings)) return false;
  }

  uint8_t* const jpeg = buffer + kRecordHeaderBytes;
  const bool recordFrame = DecideMotion(device, frame, jpeg, jpegLength);
  uint64_t low;
  uint64_t high;
  if (recordFrame) {
    const MotionState& state = DeviceMotionState(device);
    low = state.motionMaskLow;
    high = state.motionMaskHigh;
  } else if (device.files.dataFileOffset == 0) {
    // Every file pair starts with a record, motion or not.
    low = kAllZones;
    high = kAllZones;
  } else {
    return false;
  }

  const uint32_t recordLength =
      FillRecord(buffer, static_cast<uint32_t>(jpegLength), time, low, high);
  if (recordLength == 0) return recordFrame;
  const std::size_t written =
      WriteAllAt(device.files.dataFile, buffer, recordLength, device.files.dataFileOffset);
  if (written != recordLength) {
    const int error = errno;
    // A partial record must not stay behind the last complete one.
    if (written > 0 && ::ftruncate(device.files.dataFile, static_cast<off_t>(device.files.dataFileOffset)) != 0)
      LogLastError("ftruncate");
    char text[512];
    std::snprintf(text, sizeof text, "WriteFile(%p, %p, %d, %d, NULL) [%s] (vlj)",
                  HandleValue(device.files.dataFile), static_cast<void*>(buffer),
                  static_cast<int>(recordLength), ClampToInt(written), device.name.c_str());
    errno = error;
    ReportRecordingFailure(device, text);
    return recordFrame;
  }
  DeviceCounters& counters = *device.counters;
  counters.add(counters.bytesRecorded, recordLength);

  if (device.files.indexFile < 0) {
    const std::string indexName = IndexFilePath(folder, hourKey).string();
    device.files.indexFile = OpenFile(indexName, O_WRONLY | O_CREAT | O_APPEND);
    if (device.files.indexFile < 0) ReportRecordingFailure(device, ("CreateFile(" + indexName + ")").c_str());
  }
  if (device.files.indexFile >= 0) {
    uint8_t entry[kIndexEntryBytes];
    MakeIndexEntry(time, device.files.dataFileOffset).ToBytes(entry);
    const std::size_t done = AppendAll(device.files.indexFile, entry, sizeof entry);
    if (done != sizeof entry) {
      const int error = errno;
      // A partial entry would shift every later one: cut it off again.
      if (done > 0) {
        struct stat st {};
        if (::fstat(device.files.indexFile, &st) != 0 ||
            ::ftruncate(device.files.indexFile, st.st_size - static_cast<off_t>(done)) != 0)
          LogLastError("ftruncate");
      }
      char text[512];
      std::snprintf(text, sizeof text, "WriteFile(%p, %p, %d, %d, NULL) [%s] (vlx)",
                    HandleValue(device.files.indexFile), static_cast<void*>(entry),
                    static_cast<int>(sizeof entry), ClampToInt(done), device.name.c_str());
      errno = error;
      ReportRecordingFailure(device, text);
    } else {
      counters.add(counters.framesRecorded);
    }
  }
  device.files.dataFileOffset += recordLength;
  return recordFrame;
}

}  // namespace

RecordTime RecordTimeOf(std::chrono::system_clock::time_point when) {
  const int64_t ms =
      std::chrono::duration_cast<std::chrono::milliseconds>(when.time_since_epoch()).count();
  int64_t seconds = ms / 1000;
  int64_t rest = ms % 1000;
  if (rest < 0) {
    rest += 1000;
    seconds -= 1;
  }
  return RecordTimeAt(seconds, static_cast<unsigned>(rest));
}

bool InSchedule(const GroupRecord& device, std::chrono::system_clock::time_point when) {
  if (!device.scheduleEnabled) return true;
  const time_t seconds = std::chrono::system_clock::to_time_t(when);
  struct tm local {};
  if (localtime_r(&seconds, &local) == nullptr) return false;
  if (local.tm_wday < 0 || local.tm_wday > 6 || local.tm_hour < 0 || local.tm_hour > 23)
    return false;
  return device.daysOfWeek[static_cast<std::size_t>(local.tm_wday)] &&
         device.hoursOfDay[static_cast<std::size_t>(local.tm_hour)];
}

MotionState& DeviceMotionState(GroupRecord& device) {
  if (!device.motionState) device.motionState = std::make_shared<MotionState>();
  return *device.motionState;
}

void check_record(GroupRecord& device, ImageHolder* frame, uint8_t* buffer, std::size_t jpegLength, DeviceTree& tree) {
  if (jpegLength < kMinJpegBytes || jpegLength > kMaxJpegBytes) {
    Log("check_record: BAD SIZE; gr=%p, ps=%p, buf=%p, size=%d [%s]", static_cast<void*>(&device),
        static_cast<void*>(frame), static_cast<void*>(buffer), ClampToInt(jpegLength),
        device.name.c_str());
    return;
  }
  if (frame == nullptr || buffer == nullptr || !tree.settings->recordEnable || !device.recording) return;

  int mark = kRecordingMarkIdle;
  if (InSchedule(device, platform::WallTime())) {
    mark = kRecordingMarkOn;
    if (WriteFrame(device, *frame, buffer, jpegLength, tree)) frame->motion = 1;
  }
  if (device.viewIndex != -1 && device.shownIn != nullptr) device.shownIn->SetRecordingMark(device.viewIndex, mark);
}

void record_stop(ViewSlots& slots) { slots.ClearAllRecordingMarks(); }

void record_close_files(GroupRecord& device) {
  std::lock_guard<std::mutex> guard(device.files.recordLock);
  device.files.Close();
}

void SetRenameWait(std::chrono::milliseconds wait) { renameWaitMs() = wait.count(); }

bool record_rename_folder(const std::string& recordings, const std::string& oldPath, const std::string& newPath) {
  int error = 0;
  return record_rename_folder(recordings, oldPath, newPath, error);
}

bool record_rename_folder(const std::string& recordings, const std::string& oldPath, const std::string& newPath,
                          int& failure) {
  failure = 0;
  programSignals().renaming = true;
  if (!programSignals().deletePass.wait(std::chrono::milliseconds(renameWaitMs().load())))
    Log("record_rename_folder: delete thread still running");

  const std::filesystem::path root(recordings);
  const std::filesystem::path from = DeviceFolder(root, oldPath);
  const std::filesystem::path to = DeviceFolder(root, newPath);
  if (from == to) return true;
  int error = EINVAL;
  if (InsideRecordings(root, from) && InsideRecordings(root, to)) {
    if (::rename(from.c_str(), to.c_str()) == 0) return true;
    error = errno;
  }
  if (error == ENOENT || error == ENOTDIR) {
    // The usual case is a device that never recorded. The same code also comes when the
    // new parent folder is missing; then the recordings would stay behind unreported.
    struct stat st {};
    if (::lstat(from.c_str(), &st) != 0) return true;
  }
  char text[128];
  std::snprintf(text, sizeof text, "Error renaming folder for recorded images (%d)!", error);
  Log("record_rename_folder: rename(%s, %s) failed (%d)", from.c_str(), to.c_str(), error);
  PostStatus(text);
  failure = error;
  return false;
}

void DeviceRecorder::recordFrame(GroupRecord& device, ImageHolder& frame, uint8_t* headroom,
                                 std::size_t jpegLength) {
  if (tree_) check_record(device, &frame, headroom, jpegLength, *tree_);
}

void DeviceRecorder::clearRecordingMark(GroupRecord& device) {
  if (device.viewIndex != -1 && device.shownIn != nullptr) {
    device.shownIn->SetRecordingMark(device.viewIndex, kRecordingMarkOff);
  }
}

void DeviceRecorder::closeRecordings(GroupRecord& device) { record_close_files(device); }

void RecorderSteps::recordStop() { record_stop(slots_); }

void RecorderSteps::closeRecordings() {
  if (GroupRecord* root = tree_.root.get()) CloseAllRecordings(root);
}

void RecorderSteps::startCleanupThread() {
  CleanupOptions options;
  options.root = tree_.recordingsFolder;
  options.entries = tree_.root.get();
  options.settings = tree_.settings;
  StartCleanupThread(std::move(options));
}

bool RecorderSteps::joinCleanup(std::chrono::milliseconds timeout) { return JoinCleanupThread(timeout); }

void RecorderSteps::periodic() { ServeCleanupSnapshot(tree_.root.get(), tree_.recordingsFolder); }

}  // namespace velmora
