// Where a backup may go: the folders of the instance that no backup writes into, the
// verdict on a target folder or image file, and the ".nvr" marker's root. Every check
// here only reads (stat, a folder listing, the first bytes of a file) and runs before
// anything is written; RunBackup runs it again on its own thread just before it starts.
// Any thread; the tree walk of FoldersOfTree on the main thread.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>

#include "app/helpers.h"
#include "app/log.h"
#include "app/paths.h"
#include "app/settings.h"
#include "backup/backup.h"
#include "backup/backup_internal.h"
#include "backup/copy_plan.h"
#include "model/group_record.h"
#include "model/tree_file.h"
#include "platform/files.h"
#include "recording/format.h"

namespace velmora::backup {

namespace fs = std::filesystem;

namespace {

// A marker holds one short line; anything longer is not read further.
constexpr std::size_t kMaxMarkerBytes = 4096;
// Folders are walked up to their root; no real path has more levels than this.
constexpr int kMaxFolderLevels = 4096;

struct Identity {
  dev_t dev = 0;
  ino_t ino = 0;
  bool operator==(const Identity&) const = default;
};

bool IdentityOf(const fs::path& path, Identity& id) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return false;
  id = Identity{st.st_dev, st.st_ino};
  return true;
}

// A folder no backup may write into, and how a message names it.
struct Guarded {
  Identity id;
  std::string name;
  bool source = false;
};

std::string Quoted(const fs::path& path) { return "'" + path.string() + "'"; }

// The source first (the plainest message), then the devices, then the recordings
// folder around them. Folders that do not exist cannot hold a target.
std::vector<Guarded> GuardedFolders(const BackupOptions& options) {
  std::vector<Guarded> guarded;
  Identity id;
  if (!options.source.empty() && IdentityOf(options.source, id))
    guarded.push_back({id, "the source folder " + Quoted(options.source), true});
  for (const DeviceFolder& device : options.instance.devices) {
    if (!device.folder.empty() && IdentityOf(device.folder, id))
      guarded.push_back({id, "the recordings folder of \"" + device.devicePath + "\" (" + Quoted(device.folder) + ")"});
  }
  if (!options.instance.recordings.empty() && IdentityOf(options.instance.recordings, id))
    guarded.push_back({id, "the recordings folder " + Quoted(options.instance.recordings)});
  return guarded;
}

// The guarded folder that `folder` is (same) or lies inside, walking its resolved path
// up to the root; null when there is none.
const Guarded* EnclosingGuarded(const fs::path& folder, const std::vector<Guarded>& guarded, bool& same) {
  std::error_code ec;
  fs::path at = fs::canonical(folder, ec);
  if (ec) return nullptr;
  for (int level = 0; level < kMaxFolderLevels; ++level) {
    Identity id;
    if (IdentityOf(at, id)) {
      for (const Guarded& g : guarded) {
        if (g.id == id) {
          same = level == 0;
          return &g;
        }
      }
    }
    if (at == at.root_path() || !at.has_parent_path()) break;
    at = at.parent_path();
  }
  return nullptr;
}

// True when `folder` (resolved) lies inside the folder with identity `outer`.
bool LiesInside(const fs::path& folder, const Identity& outer) {
  std::error_code ec;
  fs::path at = fs::canonical(folder, ec);
  if (ec) return false;
  for (int level = 0; level < kMaxFolderLevels; ++level) {
    Identity id;
    if (level > 0 && IdentityOf(at, id) && id == outer) return true;
    if (at == at.root_path() || !at.has_parent_path()) break;
    at = at.parent_path();
  }
  return false;
}

TargetCheck Refused(std::string reason) { return TargetCheck::Refused(std::move(reason)); }
TargetCheck Fine() { return TargetCheck::Fine(); }

// The root text of a marker: root="<path>" (CR LF). Empty when it names none.
std::string MarkerRootOf(std::string_view text) {
  constexpr std::string_view kStart = "root=\"";
  if (!text.starts_with(kStart)) return std::string();
  text.remove_prefix(kStart.size());
  const std::size_t end = text.find('"');
  if (end == std::string_view::npos) return std::string();
  return std::string(text.substr(0, end));
}

TargetCheck CheckFolderTarget(const BackupOptions& options) {
  const fs::path target(options.target);
  struct stat st {};
  if (::stat(target.c_str(), &st) != 0) return Refused("no target folder " + Quoted(target));
  if (!S_ISDIR(st.st_mode)) return Refused("the target " + Quoted(target) + " is not a folder");

  // Old backup files directly in the target are erased: never where recordings live.
  const std::vector<Guarded> guarded = GuardedFolders(options);
  bool same = false;
  if (const Guarded* g = EnclosingGuarded(target, guarded, same)) {
    if (g->source && same)
      return Refused("the target " + Quoted(target) + " is the recordings folder itself (the source)");
    return Refused("the target " + Quoted(target) + (same ? " is " : " lies inside ") + g->name +
                   "; a backup there would erase recordings");
  }
  Identity targetId;
  if (IdentityOf(target, targetId) && LiesInside(options.source, targetId))
    return Refused("the target " + Quoted(target) + " contains the source folder " + Quoted(options.source));

  std::string root;
  const bool marked = ReadMarkerRoot(target, root);
  if (!marked) {
    if (HoldsHourFiles(target))
      return Refused("the target " + Quoted(target) +
                     " holds recordings that no backup made (hour files without a \".nvr\" marker); "
                     "they would be erased");
    return Fine();
  }
  std::string own = options.devicePath;
  if (own.empty()) ReadMarkerRoot(options.source, own);
  if (!root.empty() && root == own) return Fine();
  return TargetCheck::Replace(root);
}

TargetCheck CheckImageTarget(const BackupOptions& options) {
  fs::path image;
  std::string reason;
  if (!ResolveImagePath(options.target, image, reason)) return Refused(reason);
  const std::string shown = options.target.substr(std::strlen("stdio:"));
  const std::vector<Guarded> guarded = GuardedFolders(options);
  bool same = false;
  if (const Guarded* g = EnclosingGuarded(image.parent_path(), guarded, same))
    return Refused("the disc image '" + shown + "' would lie inside " + g->name);

  struct stat st {};
  if (::stat(image.c_str(), &st) != 0) {
    if (errno == ENOENT) return Fine();
    return Refused("the disc image '" + shown + "' cannot be looked at: " + std::strerror(errno));
  }
  if (!S_ISREG(st.st_mode)) return Refused("'" + shown + "' is not a file; no disc image is written over it");
  if (st.st_size == 0) return Fine();
  // An ISO 9660 image starts its volume descriptors at byte 32768: a type byte, "CD001".
  char id[6] = {};
  bool iso = false;
  const int fd = ::open(image.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd >= 0) {
    iso = ::pread(fd, id, sizeof id, 32768) == static_cast<ssize_t>(sizeof id) &&
          std::memcmp(id + 1, "CD001", 5) == 0;
    ::close(fd);
  }
  if (!iso) return Refused("'" + shown + "' exists and is not a disc image; it is not overwritten");
  return Fine();
}

}  // namespace

bool ResolveImagePath(const std::string& target, fs::path& image, std::string& reason) {
  const std::string path = target.substr(std::strlen("stdio:"));
  if (path.empty()) {
    reason = "no image file named after \"stdio:\"";
    return false;
  }
  std::error_code ec;
  fs::path given(path);
  struct stat st {};
  if (::lstat(given.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
    // The file the link leads to gets the image; the link stays.
    image = fs::canonical(given, ec);
    if (ec) {
      reason = "'" + path + "' is a link to nothing";
      return false;
    }
    return true;
  }
  fs::path folder = given.parent_path();
  if (folder.empty()) folder = ".";
  struct stat folderStat {};
  if (::stat(folder.c_str(), &folderStat) != 0 || !S_ISDIR(folderStat.st_mode) || !given.has_filename()) {
    reason = "there is no folder '" + folder.string() + "' for the disc image '" + path + "'";
    return false;
  }
  image = fs::canonical(folder, ec) / given.filename();
  if (ec) {
    reason = "there is no folder '" + folder.string() + "' for the disc image '" + path + "'";
    return false;
  }
  return true;
}

TargetCheck CheckTarget(const BackupOptions& options) {
  if (!IsDiscAddress(options.target)) return CheckFolderTarget(options);
  if (options.target.starts_with("stdio:")) return CheckImageTarget(options);
  return Fine();  // a drive: its medium is examined when it is grabbed
}

std::string TargetRefusal(const BackupOptions& options) {
  const TargetCheck check = CheckTarget(options);
  if (check.verdict == TargetVerdict::kRefused) return check.reason;
  if (check.verdict == TargetVerdict::kReplace && !options.replace && !options.simulate) {
    return "the target '" + options.target + "' holds the backup of " +
           (check.otherDevice.empty() ? std::string("another device") : "\"" + check.otherDevice + "\"") +
           ", which would be erased";
  }
  return std::string();
}

std::string NothingToBackUp(const BackupOptions& options) {
  if (!HoldsHourFiles(options.source)) return "'" + options.source.string() + "' holds no recordings";
  return "no recordings of '" + options.source.string() + "' from " + FormatLocalDate(options.range.start) +
         " to " + FormatLocalDate(options.range.end);
}

FilesToBackUp ListFilesToBackUp(const BackupOptions& options) {
  FilesToBackUp result;
  struct stat sourceStat {};
  if (::stat(options.source.c_str(), &sourceStat) != 0 || !S_ISDIR(sourceStat.st_mode)) {
    result.reason = "no recordings folder '" + options.source.string() + "'";
  } else if (std::string refusal = TargetRefusal(options); !refusal.empty()) {
    result.reason = std::move(refusal);
    result.targetRefused = true;
  } else if (!ListSelectedFiles(options.source, MakeSelection(options.range), result.files)) {
    result.reason = "the recordings folder cannot be read";
  } else if (!SelectsHourFiles(result.files)) {
    result.reason = NothingToBackUp(options);
  }
  return result;
}

bool ReadMarkerRoot(const fs::path& folder, std::string& root) {
  root.clear();
  const fs::path path = folder / kRootMarkerName;
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
  if (fd < 0) return false;
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    return false;
  }
  char text[kMaxMarkerBytes];
  ssize_t n;
  do {
    n = ::pread(fd, text, sizeof text, 0);
  } while (n < 0 && errno == EINTR);
  ::close(fd);
  if (n > 0) root = MarkerRootOf(std::string_view(text, static_cast<std::size_t>(n)));
  return true;
}

bool HoldsHourFiles(const fs::path& folder) {
  DIR* dir = ::opendir(folder.c_str());
  if (dir == nullptr) return false;
  bool found = false;
  while (struct dirent* entry = ::readdir(dir)) {
    const std::string_view name(entry->d_name);
    if (!HasDataExtension(name) && !HasIndexExtension(name)) continue;
    struct stat st {};
    // What the erase step would delete: anything of that name but a folder.
    if (::fstatat(::dirfd(dir), entry->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 && !S_ISDIR(st.st_mode)) {
      found = true;
      break;
    }
  }
  ::closedir(dir);
  return found;
}

bool SelectsHourFiles(const std::vector<SelectedFile>& files) {
  for (const SelectedFile& file : files)
    if (HasDataExtension(file.name) || HasIndexExtension(file.name)) return true;
  return false;
}

std::string DevicePathOf(const fs::path& source, const InstanceFolders& instance) {
  Identity id;
  if (IdentityOf(source, id)) {
    for (const DeviceFolder& device : instance.devices) {
      Identity other;
      if (IdentityOf(device.folder, other) && other == id) return device.devicePath;
    }
  }
  fs::path folder = source;
  if (!folder.has_filename()) folder = folder.parent_path();  // "a/b/" names b
  return folder.filename().string();
}

InstanceFolders FoldersOfTree(const GroupRecord* root, const std::string& pathData) {
  InstanceFolders folders;
  folders.recordings = pathData;
  if (root == nullptr) return folders;
  std::vector<const GroupRecord*> pending{root};
  while (!pending.empty()) {
    const GroupRecord* record = pending.back();
    pending.pop_back();
    if (record->kind == EntryKind::NASDevice) {
      // A storage folder's recordings lie at its location (unless another instance
      // serves them).
      if (!record->location.empty() && !StartsWithNoCase(record->location, "http://") &&
          !StartsWithNoCase(record->location, "https://"))
        folders.devices.push_back({record->path, fs::path(record->location)});
    } else if (IsRecordableKind(record->kind)) {
      folders.devices.push_back({record->path, fs::path(pathData) / record->path});
    }
    for (const auto& child : record->children)
      if (child) pending.push_back(child.get());
  }
  return folders;
}

InstanceFolders ReadInstanceFolders(const std::string& appDataFolder) {
  const std::string base = WithSlash(appDataFolder);
  Settings settings;
  ReadSettingsFile(base + "Velmora NVR.exe.config", settings);
  // The instance's own rule: an empty, overlong or missing pathData means the
  // "Recordings" folder of the data folder.
  std::size_t characters = 0;
  for (unsigned char c : settings.pathData) characters += (c & 0xC0) != 0x80;
  std::string pathData = WithSlash(settings.pathData);
  if (settings.pathData.empty() || characters > kMaxSettingText || !platform::IsDirectory(pathData))
    pathData = base + "Recordings/";

  const std::string treePath = base + "Velmora NVR.xml";
  std::string text;
  struct stat treeStat {};
  if (::stat(treePath.c_str(), &treeStat) == 0 && S_ISREG(treeStat.st_mode)) {
    // Read up to the size the instance itself reads.
    std::ifstream in(treePath, std::ios::binary);
    if (in) {
      text.resize(kMaxTreeFileBytes);
      in.read(text.data(), static_cast<std::streamsize>(text.size()));
      text.resize(static_cast<std::size_t>(in.gcount()));
    }
  }
  if (text.empty()) {
    InstanceFolders folders;
    folders.recordings = pathData;
    return folders;
  }
  const std::shared_ptr<GroupRecord> root = CreateRecord(EntryKind::Root, kRootName);
  LoadTreeText(*root, text, treePath);
  InstanceFolders folders = FoldersOfTree(root.get(), pathData);
  DestroyTree(root.get());
  return folders;
}

}  // namespace velmora::backup
