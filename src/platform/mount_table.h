// Removable drives from the mount table: which mounted file systems are removable or
// optical media, and a watcher that reports such mounts as they come and go.
//
// A mount counts as a removable drive when
// - its block device (found through sysfs, from the mount's device number, else from
//   the device node's name) is optical ("sr*"), or its disk's sysfs `removable` is 1
//   (a partition is walked up to its disk), and its mount point lies below one of the
//   default mount roots (/media, /run/media); or
// - its mount point is, or lies below, one of the extra roots the user named: there any
//   block device counts, as many external disks report `removable` 0.
//
// The mount table's path and the sysfs root are part of the source, so that tests use
// files of their own.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace velmora::platform {

// One line of a mountinfo table (fields unescaped).
struct MountEntry {
  unsigned major = 0;
  unsigned minor = 0;
  std::string root;        // the part of the file system mounted
  std::string mountPoint;  // absolute path
  std::string fsType;
  std::string source;      // the device node ("/dev/sdb1") or another source text
};

// "\040" style octal escapes (space, tab, line feed, backslash) replaced by their bytes;
// a backslash not followed by three octal digits stays as it is.
std::string UnescapeMountField(std::string_view field);

// The lines of a mountinfo text that have all their fields; others are skipped.
std::vector<MountEntry> ParseMountInfo(std::string_view text);

// A removable drive as the program lists it.
struct RemovableMount {
  std::string mountPoint;   // where its files are ("/media/user/STICK")
  std::string deviceNode;   // "/dev/sdb1", "/dev/sr0"
  std::string displayName;  // the last component of the mount point ("STICK")
  bool optical = false;     // a CD/DVD/BD drive

  bool operator==(const RemovableMount&) const = default;
};

struct MountTableSource {
  std::string mountInfoPath = "/proc/self/mountinfo";
  std::string sysfsRoot = "/sys";
  // Mount points below these roots may be removable drives.
  std::vector<std::string> defaultRoots = {"/media", "/run/media"};
  // Mount points the user named (the mount point itself or a folder above it).
  std::vector<std::string> extraRoots;
};

// How the block device of a mount stands, from sysfs under `sysfsRoot`.
struct BlockDeviceInfo {
  bool found = false;      // sysfs knows the device
  bool removable = false;  // its disk's `removable` is 1
  bool optical = false;    // its disk is "sr*"
  std::string disk;        // the disk's name ("sdb", "sr0")
};
BlockDeviceInfo DescribeBlockDevice(const std::string& sysfsRoot, const MountEntry& entry);

// The removable drives among `entries`, in table order; a mount point met twice (a mount
// over a mount) is listed once, with its newest (last) mount.
std::vector<RemovableMount> RemovableMounts(const std::vector<MountEntry>& entries,
                                            const MountTableSource& source);

// The removable drives mounted now: reads source.mountInfoPath. Empty when the table
// cannot be read. For callers that list drives (the backup dialog's drive list, the
// scan of all drives at start-up).
std::vector<RemovableMount> ListRemovableMounts(const MountTableSource& source = {});

// Extra roots from a setting's text: entries separated by ';' or line feeds, blanks at
// either end trimmed, empty and relative entries dropped, trailing '/' removed.
std::vector<std::string> ParseMountRoots(std::string_view text);

// Watches the mount table on a thread of its own and reports removable drives that
// appear (added true) or disappear (added false), by comparing successive reads. The
// thread wakes when the kernel flags a change of its table (POLLPRI on a mountinfo file
// under /proc, which is then read only on a change) and, for tables that give no such
// signal (plain files in tests), every `period`. Reports come on the watcher's thread.
class MountWatcher {
 public:
  using Report = std::function<void(const RemovableMount& mount, bool added)>;

  MountWatcher(MountTableSource source, Report report,
               std::chrono::milliseconds period = std::chrono::milliseconds(1500));
  ~MountWatcher();
  MountWatcher(const MountWatcher&) = delete;
  MountWatcher& operator=(const MountWatcher&) = delete;

  // Reads the table once (what is mounted now is not reported) and starts the thread.
  // False when the thread or its wake-up could not be made (errno holds why).
  bool start();
  // Ends the thread; no report comes after stop returns. Safe to call twice.
  void stop();
  bool running() const { return thread_.joinable(); }

  // The removable drives of the last read.
  std::vector<RemovableMount> current() const;
  // One read and comparison on the calling thread, reporting the differences (tests,
  // and the thread's own loop).
  void Refresh();

 private:
  void Run();

  const MountTableSource source_;
  const Report report_;
  const std::chrono::milliseconds period_;
  mutable std::mutex lock_;
  std::vector<RemovableMount> current_;  // guarded by lock_
  std::mutex refreshLock_;               // one Refresh at a time
  int wakeFd_ = -1;                      // eventfd that ends the thread's wait
  std::atomic<bool> stopping_{false};
  std::thread thread_;
};

}  // namespace velmora::platform
