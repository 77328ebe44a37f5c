#include "platform/mount_table.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <system_error>

#include "platform/files.h"

namespace velmora::platform {

namespace {

namespace fs = std::filesystem;

// A mount table bigger than this is not a mount table.
constexpr std::size_t kMaxMountInfoBytes = 16u << 20;

bool IsOctal(char c) { return c >= '0' && c <= '7'; }

// The first line of a small sysfs attribute file, without its line feed.
bool ReadAttribute(const fs::path& path, std::string& value) {
  std::ifstream in(path);
  if (!in) return false;
  std::getline(in, value);
  while (!value.empty() && (value.back() == '\n' || value.back() == ' ')) value.pop_back();
  return true;
}

bool FileExists(const fs::path& path) {
  std::error_code error;
  return fs::exists(path, error);
}

// `path` is `root` or lies below it (whole components only).
bool IsAtOrBelow(const std::string& path, const std::string& root) {
  if (root.empty()) return false;
  if (root == "/") return true;
  if (path.compare(0, root.size(), root) != 0) return false;
  return path.size() == root.size() || path[root.size()] == '/';
}

std::string WithoutTrailingSlash(std::string path) {
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  return path;
}

std::string LastComponent(const std::string& path) {
  const std::string trimmed = WithoutTrailingSlash(path);
  const std::size_t slash = trimmed.rfind('/');
  std::string name = slash == std::string::npos ? trimmed : trimmed.substr(slash + 1);
  return name.empty() ? trimmed : name;
}

std::string ReadMountTable(const std::string& path, bool& ok) {
  std::string text;
  ok = ReadWholeFile(path, text, kMaxMountInfoBytes);
  return text;
}

}  // namespace

std::string UnescapeMountField(std::string_view field) {
  std::string out;
  out.reserve(field.size());
  for (std::size_t i = 0; i < field.size(); ++i) {
    if (field[i] == '\\' && i + 3 < field.size() && IsOctal(field[i + 1]) && IsOctal(field[i + 2]) &&
        IsOctal(field[i + 3])) {
      const int value = (field[i + 1] - '0') * 64 + (field[i + 2] - '0') * 8 + (field[i + 3] - '0');
      if (value <= 0xFF && value != 0) {
        out += static_cast<char>(value);
        i += 3;
        continue;
      }
    }
    out += field[i];
  }
  return out;
}

std::vector<MountEntry> ParseMountInfo(std::string_view text) {
  // mount-id parent-id major:minor root mount-point options [optional fields...] - fstype source super-options
  std::vector<MountEntry> entries;
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string_view::npos) end = text.size();
    const std::string_view line = text.substr(start, end - start);
    start = end + 1;

    std::vector<std::string_view> fields;
    std::size_t at = 0;
    while (at < line.size()) {
      while (at < line.size() && line[at] == ' ') ++at;
      if (at >= line.size()) break;
      std::size_t stop = line.find(' ', at);
      if (stop == std::string_view::npos) stop = line.size();
      fields.push_back(line.substr(at, stop - at));
      at = stop;
    }
    auto separator = std::find(fields.begin(), fields.end(), std::string_view("-"));
    if (fields.size() < 6 || separator == fields.end() || separator - fields.begin() < 6 ||
        fields.end() - separator < 3)
      continue;
    MountEntry entry;
    const std::string_view device = fields[2];
    const std::size_t colon = device.find(':');
    if (colon == std::string_view::npos) continue;
    try {
      entry.major = static_cast<unsigned>(std::stoul(std::string(device.substr(0, colon))));
      entry.minor = static_cast<unsigned>(std::stoul(std::string(device.substr(colon + 1))));
    } catch (const std::exception&) {
      continue;
    }
    entry.root = UnescapeMountField(fields[3]);
    entry.mountPoint = UnescapeMountField(fields[4]);
    entry.fsType = UnescapeMountField(separator[1]);
    entry.source = UnescapeMountField(separator[2]);
    if (entry.mountPoint.empty() || entry.mountPoint.front() != '/') continue;
    entries.push_back(std::move(entry));
  }
  return entries;
}

BlockDeviceInfo DescribeBlockDevice(const std::string& sysfsRoot, const MountEntry& entry) {
  BlockDeviceInfo info;
  std::error_code error;
  fs::path device;
  // By device number first (it names the device whatever the source text says), then by
  // the device node's name.
  if (entry.major != 0) {
    const fs::path byNumber =
        fs::path(sysfsRoot) / "dev" / "block" / (std::to_string(entry.major) + ":" + std::to_string(entry.minor));
    if (FileExists(byNumber)) device = fs::canonical(byNumber, error);
    if (error) device.clear();
  }
  if (device.empty() && entry.source.rfind("/dev/", 0) == 0) {
    const std::string name = LastComponent(entry.source);
    const fs::path byName = fs::path(sysfsRoot) / "class" / "block" / name;
    error.clear();
    if (!name.empty() && name != "." && name != ".." && FileExists(byName)) device = fs::canonical(byName, error);
    if (error) device.clear();
  }
  if (device.empty()) return info;
  info.found = true;
  // A partition has no `removable` of its own: its disk is the folder above it.
  fs::path disk = device;
  if (!FileExists(disk / "removable") && FileExists(disk.parent_path() / "removable")) disk = disk.parent_path();
  info.disk = disk.filename().string();
  std::string value;
  info.removable = ReadAttribute(disk / "removable", value) && value == "1";
  info.optical = info.disk.rfind("sr", 0) == 0;
  return info;
}

std::vector<RemovableMount> RemovableMounts(const std::vector<MountEntry>& entries,
                                            const MountTableSource& source) {
  std::vector<RemovableMount> mounts;
  for (const MountEntry& entry : entries) {
    const std::string point = WithoutTrailingSlash(entry.mountPoint);
    bool underDefault = false, underExtra = false;
    for (const std::string& root : source.defaultRoots) {
      const std::string r = WithoutTrailingSlash(root);
      // Strictly below: /media itself is the folder the drives are mounted in.
      if (IsAtOrBelow(point, r) && point != r) underDefault = true;
    }
    for (const std::string& root : source.extraRoots)
      if (IsAtOrBelow(point, WithoutTrailingSlash(root))) underExtra = true;
    if (!underDefault && !underExtra) continue;
    const BlockDeviceInfo block = DescribeBlockDevice(source.sysfsRoot, entry);
    if (!block.found) continue;
    if (!underExtra && !block.removable && !block.optical) continue;
    RemovableMount mount;
    mount.mountPoint = point;
    mount.deviceNode = entry.source.rfind("/dev/", 0) == 0 ? entry.source : "/dev/" + LastComponent(entry.source);
    mount.displayName = LastComponent(point);
    mount.optical = block.optical;
    // A later mount on the same point hides the earlier one.
    auto same = std::find_if(mounts.begin(), mounts.end(),
                             [&](const RemovableMount& m) { return m.mountPoint == mount.mountPoint; });
    if (same != mounts.end()) mounts.erase(same);
    mounts.push_back(std::move(mount));
  }
  return mounts;
}

std::vector<RemovableMount> ListRemovableMounts(const MountTableSource& source) {
  bool ok = false;
  const std::string text = ReadMountTable(source.mountInfoPath, ok);
  if (!ok) return {};
  return RemovableMounts(ParseMountInfo(text), source);
}

std::vector<std::string> ParseMountRoots(std::string_view text) {
  std::vector<std::string> roots;
  std::size_t start = 0;
  while (start <= text.size()) {
    std::size_t end = text.find_first_of(";\n", start);
    if (end == std::string_view::npos) end = text.size();
    std::string_view item = text.substr(start, end - start);
    while (!item.empty() && (item.front() == ' ' || item.front() == '\t' || item.front() == '\r'))
      item.remove_prefix(1);
    while (!item.empty() && (item.back() == ' ' || item.back() == '\t' || item.back() == '\r'))
      item.remove_suffix(1);
    if (!item.empty() && item.front() == '/') roots.push_back(WithoutTrailingSlash(std::string(item)));
    start = end + 1;
  }
  return roots;
}

MountWatcher::MountWatcher(MountTableSource source, Report report, std::chrono::milliseconds period)
    : source_(std::move(source)), report_(std::move(report)), period_(period) {}

MountWatcher::~MountWatcher() { stop(); }

bool MountWatcher::start() {
  if (thread_.joinable()) return true;
  {
    std::lock_guard<std::mutex> guard(lock_);
    current_ = ListRemovableMounts(source_);
  }
  wakeFd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (wakeFd_ < 0) return false;
  stopping_ = false;
  try {
    thread_ = std::thread([this] { Run(); });
  } catch (const std::system_error& error) {
    close(wakeFd_);
    wakeFd_ = -1;
    errno = error.code().value();
    return false;
  }
  return true;
}

void MountWatcher::stop() {
  if (!thread_.joinable()) return;
  stopping_ = true;
  const uint64_t one = 1;
  if (write(wakeFd_, &one, sizeof one) < 0) {
    // The counter is full only if it was written 2^64 times: the flag alone ends the
    // wait at the next period.
  }
  thread_.join();
  close(wakeFd_);
  wakeFd_ = -1;
}

std::vector<RemovableMount> MountWatcher::current() const {
  std::lock_guard<std::mutex> guard(lock_);
  return current_;
}

void MountWatcher::Refresh() {
  std::lock_guard<std::mutex> refreshing(refreshLock_);
  bool ok = false;
  const std::string text = ReadMountTable(source_.mountInfoPath, ok);
  // A table that cannot be read now says nothing about the drives: keep the last view
  // rather than report every drive as gone.
  if (!ok) return;
  std::vector<RemovableMount> now = RemovableMounts(ParseMountInfo(text), source_);
  std::vector<RemovableMount> before;
  {
    std::lock_guard<std::mutex> guard(lock_);
    before = current_;
    current_ = now;
  }
  auto holds = [](const std::vector<RemovableMount>& list, const RemovableMount& m) {
    return std::find(list.begin(), list.end(), m) != list.end();
  };
  for (const RemovableMount& gone : before)
    if (!holds(now, gone) && report_ && !stopping_) report_(gone, false);
  for (const RemovableMount& added : now)
    if (!holds(before, added) && report_ && !stopping_) report_(added, true);
}

void MountWatcher::Run() {
  // The kernel flags a change of the mount table as POLLPRI (with POLLERR) on an open
  // mountinfo file; a plain file never does, and the period covers it.
  const int table = open(source_.mountInfoPath.c_str(), O_RDONLY | O_CLOEXEC);
  // The kernel's own table signals every change, so it is read again only then; a plain
  // file is read again every period.
  const bool signalled = table >= 0 && source_.mountInfoPath.rfind("/proc/", 0) == 0;
  const int timeout = signalled ? -1 : static_cast<int>(period_.count());
  while (!stopping_) {
    pollfd fds[2] = {{wakeFd_, POLLIN, 0}, {table, POLLPRI, 0}};
    const int ready = poll(fds, table >= 0 ? 2 : 1, timeout);
    if (stopping_) break;
    if (ready < 0 && errno != EINTR) {
      // Nothing sensible to wait on: the period still paces the loop.
      std::this_thread::sleep_for(period_);
    }
    Refresh();
  }
  if (table >= 0) close(table);
}

}  // namespace velmora::platform
