// Discs: the optical drives libburn finds, what is in one of them, and writing an
// ISO 9660 + Joliet image of the selected files to it. libburn keeps process-wide drive
// state (a new scan invalidates every drive handle), so every use here runs under one
// lock; libisofs builds the image while libburn reads it, on libisofs's own thread.
// A backup is a success only when the libraries reported nothing of severity SORRY or
// worse, every file was read whole, and the written image, read back, holds exactly
// what was read (disc_image.h). An image file is written beside its name and renamed.
#include <stdint.h>
#include <sys/types.h>

#include <libburn/libburn.h>
#include <libisofs/libisofs.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>
#include <optional>
#include <thread>

#include "app/log.h"
#include "backup/backup_internal.h"
#include "backup/copy_plan.h"
#include "backup/disc_image.h"
#include "platform/clock.h"

namespace velmora::backup {

// libburn declares its interface inside namespace burn when compiled as C++; libisofs
// names the same struct burn_source at global scope (an incomplete type there).
using namespace burn;
using BurnSource = burn::burn_source;

namespace {

// Failure codes of our own, shown in "Failed (0x%08lx)" when libburn gave none.
constexpr uint32_t kFailLibrary = 0x00000001;
constexpr uint32_t kFailNoDrive = 0x00000002;
constexpr uint32_t kFailMedia = 0x00000003;
constexpr uint32_t kFailImage = 0x00000004;
constexpr uint32_t kFailWrite = 0x00000005;
constexpr uint32_t kFailCancelled = 0x00000006;
constexpr uint32_t kFailSource = 0x00000007;
constexpr uint32_t kFailTarget = 0x00000008;
constexpr uint32_t kFailVerify = 0x00000009;

std::mutex& BurnLock() {
  static std::mutex lock;
  return lock;
}

// Starts both libraries once per process. Their messages from WARNING up are queued
// (never printed) and moved into the log by DrainMessages; the queue levels are set
// again on every use, since starting a library again (libisofs's iso_init) resets them.
bool StartLibraries() {
  static bool started = [] {
    if (!burn_initialize()) {
      Log("burn_initialize failed");
      return false;
    }
    const int rc = iso_init();
    if (rc < 0) {
      Log("iso_init failed (0x%08X)", static_cast<unsigned>(rc));
      return false;
    }
    return true;
  }();
  if (started) {
    burn_msgs_set_severities(const_cast<char*>("WARNING"), const_cast<char*>("NEVER"),
                             const_cast<char*>("libburn: "));
    iso_set_msgs_severities(const_cast<char*>("WARNING"), const_cast<char*>("NEVER"),
                            const_cast<char*>("libisofs: "));
  }
  return started;
}

// The first message of severity SORRY or worse among those drained: such a message
// means part of the work went wrong (a file read as zeros, a write error), whatever
// the call that caused it returned.
struct LibraryFailure {
  uint32_t code = 0;  // 0: none
  std::string text;
};

bool IsFailureSeverity(const char* severity, bool fromBurn) {
  int rank = 0, sorry = 0;
  if (fromBurn) {
    if (burn_text_to_sev(const_cast<char*>(severity), &rank, 0) <= 0 ||
        burn_text_to_sev(const_cast<char*>("SORRY"), &sorry, 0) <= 0)
      return true;
  } else if (iso_text_to_sev(const_cast<char*>(severity), &rank) <= 0 ||
             iso_text_to_sev(const_cast<char*>("SORRY"), &sorry) <= 0) {
    return true;
  }
  return rank >= sorry;
}

// Logs the queued library messages; returns the first failure among them.
LibraryFailure DrainMessages(const char* label) {
  LibraryFailure failure;
  char text[BURN_MSGS_MESSAGE_LEN > ISO_MSGS_MESSAGE_LEN ? BURN_MSGS_MESSAGE_LEN : ISO_MSGS_MESSAGE_LEN];
  char severity[80];
  int errorCode = 0, osErrno = 0;
  auto note = [&](const char* library, bool fromBurn) {
    Log("%s: %s %s 0x%08X: %s", label, library, severity, static_cast<unsigned>(errorCode), text);
    if (failure.code == 0 && IsFailureSeverity(severity, fromBurn)) {
      failure.code = static_cast<uint32_t>(errorCode) != 0 ? static_cast<uint32_t>(errorCode) : kFailLibrary;
      failure.text = std::string(library) + ": " + text;
      while (!failure.text.empty() && (failure.text.back() == '\n' || failure.text.back() == ' '))
        failure.text.pop_back();
    }
  };
  for (int i = 0; i < 1000 && burn_msgs_obtain(const_cast<char*>("WARNING"), &errorCode, text, &osErrno,
                                                severity) > 0;
       ++i)
    note("libburn", true);
  int imageId = 0;
  for (int i = 0; i < 1000 && iso_obtain_msgs(const_cast<char*>("WARNING"), &errorCode, &imageId, text,
                                              severity) > 0;
       ++i)
    note("libisofs", false);
  return failure;
}

std::string Trimmed(const char* text, std::size_t size) {
  std::string s(text, strnlen(text, size));
  while (!s.empty() && s.back() == ' ') s.pop_back();
  std::size_t start = 0;
  while (start < s.size() && s[start] == ' ') ++start;
  return s.substr(start);
}

std::string ResolvedDevice(const std::string& address) {
  if (address.starts_with("stdio:")) return address;
  char resolved[PATH_MAX];
  if (::realpath(address.c_str(), resolved) != nullptr) return resolved;
  return address;
}

const char* DiscStatusName(enum burn_disc_status status) {
  switch (status) {
    case BURN_DISC_UNREADY: return "unready";
    case BURN_DISC_BLANK: return "blank";
    case BURN_DISC_EMPTY: return "empty";
    case BURN_DISC_APPENDABLE: return "appendable";
    case BURN_DISC_FULL: return "full";
    case BURN_DISC_UNGRABBED: return "ungrabbed";
    case BURN_DISC_UNSUITABLE: return "unsuitable";
  }
  return "unknown";
}

// Media profiles libburn reads but does not write.
bool IsReadOnlyProfile(int profile) {
  return profile == 0x08 || profile == 0x10 || profile == 0x40 || profile == 0x42;
}

// A drive grabbed for the length of one examination or backup.
class GrabbedDrive {
 public:
  explicit GrabbedDrive(const std::string& address) {
    std::string adr = address;
    if (!adr.starts_with("stdio:")) {
      // Links such as /dev/cdrom lead to the drive's own address.
      char converted[BURN_DRIVE_ADR_LEN] = "";
      if (burn_drive_convert_fs_adr(const_cast<char*>(adr.c_str()), converted) > 0)
        adr = converted;
    }
    if (burn_drive_scan_and_grab(&infos_, const_cast<char*>(adr.c_str()), 1) == 1 &&
        infos_ != nullptr)
      drive_ = infos_[0].drive;
  }
  ~GrabbedDrive() { release(false); }
  GrabbedDrive(const GrabbedDrive&) = delete;
  GrabbedDrive& operator=(const GrabbedDrive&) = delete;

  burn_drive* drive() const { return drive_; }
  const burn_drive_info& info() const { return infos_[0]; }
  void release(bool eject) {
    if (drive_ != nullptr) burn_drive_release(drive_, eject ? 1 : 0);
    drive_ = nullptr;
    if (infos_ != nullptr) burn_drive_info_free(infos_);
    infos_ = nullptr;
  }

  // The disc status once the drive has settled (bounded: at most 5 s).
  enum burn_disc_status settledStatus() const {
    enum burn_disc_status status = burn_disc_get_status(drive_);
    for (int i = 0; i < 50 && status == BURN_DISC_UNREADY; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
      status = burn_disc_get_status(drive_);
    }
    return status;
  }

 private:
  burn_drive_info* infos_ = nullptr;
  burn_drive* drive_ = nullptr;
};

void FillDriveInfo(GrabbedDrive& grabbed, DriveInfo& info) {
  const burn_drive_info& d = grabbed.info();
  burn_drive* drive = grabbed.drive();
  info.deviceType = Trimmed(d.vendor, sizeof d.vendor) + " " + Trimmed(d.product, sizeof d.product) +
                    " (" + Trimmed(d.revision, sizeof d.revision) + ")";
  const int role = burn_drive_get_drive_role(drive);
  const char* type = role != 1 ? "STDIO" : d.write_cdrw ? "CDRW" : d.write_cdr ? "CDR" : "UNKNOWN";
  Log("GetRecorderType: %s", type);

  const enum burn_disc_status status = grabbed.settledStatus();
  int profile = 0;
  char profileName[80] = "";
  burn_disc_get_profile(drive, &profile, profileName);
  info.profile = profileName;

  int sessions = 0;
  if (burn_disc* disc = burn_drive_get_disc(drive)) {
    burn_disc_get_sessions(disc, &sessions);
    burn_disc_free(disc);
  }
  burn_write_opts* opts = burn_write_opts_new(drive);
  off_t available = 0;
  int start = 0, next = 0;
  if (opts != nullptr) {
    if (status == BURN_DISC_BLANK || status == BURN_DISC_APPENDABLE) {
      available = burn_disc_available_space(drive, opts);
      if (burn_disc_track_lba_nwa(drive, opts, 0, &start, &next) <= 0) start = next = 0;
    }
    burn_write_opts_free(opts);
  }
  const long long freeBlocks = available > 0 ? static_cast<long long>(available / 2048) : 0;
  Log("QueryMediaInfo: sessions=%d, status=%s, start=%d, next=%d, free=%lld", sessions,
      DiscStatusName(status), start, next, freeBlocks);
  if (status == BURN_DISC_EMPTY || status == BURN_DISC_UNREADY || profile == 0) return;

  info.blank = status == BURN_DISC_BLANK;
  info.rewritable = burn_disc_erasable(drive) != 0 || profile == 0x12 || profile == 0x13 ||
                    profile == 0x1a || profile == 0x43 || profile == 0xffff;
  info.writable = status == BURN_DISC_BLANK || status == BURN_DISC_APPENDABLE;
  const bool unsupported = IsReadOnlyProfile(profile) || status == BURN_DISC_UNSUITABLE;
  const unsigned long flags = (info.blank ? 1ul : 0ul) | (info.rewritable ? 2ul : 0ul) |
                              (info.writable ? 4ul : 0ul) | (unsupported ? 8ul : 0ul);
  Log("QueryMediaType: type=0x%04x (%s), flags=0x%08lx", static_cast<unsigned>(profile),
      profileName, flags);
  info.mediaBytes = static_cast<uint64_t>(freeBlocks) * 2048;
  if (unsupported) {
    info.status = std::string(profileName[0] != '\0' ? profileName : "Disc") +
                  " recording not supported by this drive.";
    info.ready = false;
  } else if (!info.writable) {
    info.status = "The disc is full.";
    info.ready = false;
  } else {
    info.ready = true;
  }
}

}  // namespace

bool IsDiscAddress(std::string_view target) {
  if (target.starts_with("stdio:")) return true;
  if (!target.starts_with("/dev/")) return false;
  // A device (or a name that is nothing yet: its drive is not found); a folder there is
  // a folder like any other.
  struct stat st {};
  return ::stat(std::string(target).c_str(), &st) != 0 || !S_ISDIR(st.st_mode);
}

std::vector<OpticalDrive> ListOpticalDrives() {
  std::vector<OpticalDrive> drives;
  std::lock_guard<std::mutex> guard(BurnLock());
  if (!StartLibraries()) return drives;
  burn_drive_info* infos = nullptr;
  unsigned int count = 0;
  int rc = 0;
  // The scan is finished in steps; bounded at 30 s.
  for (int i = 0; i < 300 && (rc = burn_drive_scan(&infos, &count)) == 0; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  if (rc <= 0) {
    Log("burn_drive_scan failed (%d)", rc);
    DrainMessages("ListOpticalDrives");
    return drives;
  }
  for (unsigned int i = 0; i < count; ++i) {
    OpticalDrive drive;
    char adr[BURN_DRIVE_ADR_LEN] = "";
    if (burn_drive_get_adr(&infos[i], adr) > 0) drive.address = adr;
    drive.vendor = Trimmed(infos[i].vendor, sizeof infos[i].vendor);
    drive.product = Trimmed(infos[i].product, sizeof infos[i].product);
    drive.revision = Trimmed(infos[i].revision, sizeof infos[i].revision);
    drive.devicePath = ResolvedDevice(drive.address);
    drives.push_back(drive);
    // Not kept locked: another program may use the drive until a backup grabs it.
    burn_drive_info_forget(&infos[i], 0);
  }
  burn_drive_info_free(infos);
  DrainMessages("ListOpticalDrives");
  return drives;
}

DriveInfo ExamineDisc(const std::string& address) {
  DriveInfo info;
  std::lock_guard<std::mutex> guard(BurnLock());
  if (!StartLibraries()) return info;
  GrabbedDrive grabbed(address);
  if (grabbed.drive() == nullptr) {
    Log("ExamineDisc: no drive at %s", address.c_str());
    DrainMessages("ExamineDisc");
    return info;
  }
  FillDriveInfo(grabbed, info);
  grabbed.release(false);
  DrainMessages("ExamineDisc");
  return info;
}

namespace {

// The temporary file a "stdio:" image is written to, beside its final name. Removed
// unless it was given the final name.
class TemporaryImage {
 public:
  TemporaryImage() = default;
  ~TemporaryImage() {
    if (!path_.empty() && ::unlink(path_.c_str()) != 0 && errno != ENOENT)
      LogLastError(("Backup: unlink(" + path_.string() + ")").c_str());
  }
  TemporaryImage(const TemporaryImage&) = delete;
  TemporaryImage& operator=(const TemporaryImage&) = delete;

  // A new empty file <image>.writing (one left by an earlier run that was killed is
  // replaced). False with a reason.
  bool create(const std::filesystem::path& image, std::string& reason) {
    const std::filesystem::path path = image.string() + ".writing";
    struct stat st {};
    if (::lstat(path.c_str(), &st) == 0) {
      if (S_ISDIR(st.st_mode) || ::unlink(path.c_str()) != 0) {
        reason = "the temporary image '" + path.string() + "' is in the way";
        return false;
      }
    }
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0) {
      reason = "the temporary image '" + path.string() + "' cannot be made: " + std::strerror(errno);
      LogLastError(("Backup: open(" + path.string() + ")").c_str());
      return false;
    }
    ::close(fd);
    path_ = path;
    image_ = image;
    return true;
  }
  const std::filesystem::path& path() const { return path_; }

  // The written, checked image takes its own name; its data and the rename reach the
  // disk first. False with a reason (the temporary file is then removed).
  bool commit(std::string& reason) {
    const int fd = ::open(path_.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    const bool synced = fd >= 0 && ::fsync(fd) == 0;
    if (fd >= 0) ::close(fd);
    if (!synced) {
      reason = "the image '" + path_.string() + "' cannot be saved: " + std::strerror(errno);
      LogLastError(("Backup: fsync(" + path_.string() + ")").c_str());
      return false;
    }
    if (::rename(path_.c_str(), image_.c_str()) != 0) {
      reason = "the image cannot be given its name '" + image_.string() + "': " + std::strerror(errno);
      LogLastError(("Backup: rename(" + image_.string() + ")").c_str());
      return false;
    }
    path_.clear();
    const int dirFd = ::open(image_.parent_path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirFd >= 0) {
      ::fsync(dirFd);
      ::close(dirFd);
    }
    return true;
  }

 private:
  std::filesystem::path path_;   // empty once committed (or never made)
  std::filesystem::path image_;
};

// libburn's objects of one write, freed together.
struct BurnWrite {
  burn_disc* disc = burn_disc_create();
  burn_session* session = burn_session_create();
  burn_track* track = burn_track_create();
  burn_write_opts* opts = nullptr;
  BurnWrite() = default;
  BurnWrite(const BurnWrite&) = delete;
  BurnWrite& operator=(const BurnWrite&) = delete;
  ~BurnWrite() {
    if (opts != nullptr) burn_write_opts_free(opts);
    burn_track_free(track);
    burn_session_free(session);
    burn_disc_free(disc);
  }
};

// One disc backup, from the first check of the selection to the final report. Its steps
// run in order; each returns false once it has reported its failure (fail). The members
// are declared in the order the run takes them, so they are given back in reverse: the
// image's burn source and libburn's write objects, the drive, the image options, the
// reads, the image, the temporary image file, and last the libraries' lock.
class DiscBackupRun {
 public:
  DiscBackupRun(const BackupOptions& options, const ProgressCallback& progress,
                const std::atomic<bool>* cancel)
      : options_(options), progress_(progress), cancel_(cancel) {}
  DiscBackupRun(const DiscBackupRun&) = delete;
  DiscBackupRun& operator=(const DiscBackupRun&) = delete;

  BackupOutcome run() {
    const bool ok = planFiles() && takeLibraries() && prepareTarget() && buildImage() &&
                    makeImageOptions() && grabDrive() && prepareWrite() && writeDisc() &&
                    checkReads() && verifyDisc() && saveImage();
    if (ok) {
      outcome_.ok = true;
      report("Success.", plan_.size(), plan_.size());
    }
    return outcome_;
  }

 private:
  void report(const std::string& status, uint64_t position, uint64_t range) {
    outcome_.status = status;
    if (progress_) progress_(BackupProgress{status, position, range});
  }

  // Records the failure (the libraries' own code and text when they queued one), logs
  // it and reports "Failed (0x...)". Always false, so a step can end with it.
  bool fail(uint32_t ownCode, const std::string& reason) {
    const LibraryFailure library = librariesHeld_ ? DrainMessages("Backup") : LibraryFailure{};
    outcome_.failureCode = library.code != 0 ? library.code : ownCode;
    if (outcome_.reason.empty()) outcome_.reason = reason;
    if (!library.text.empty() && outcome_.reason.find(library.text) == std::string::npos)
      outcome_.reason += " (" + library.text + ")";
    Log("Backup: %s", outcome_.reason.c_str());
    Log("failure (status = 0x%08X)", outcome_.failureCode);
    char text[64];
    std::snprintf(text, sizeof text, "Failed (0x%08lx)", static_cast<unsigned long>(outcome_.failureCode));
    report(text, 0, 0);
    return false;
  }

  // True once the operator stopped the run (reported as a failure): until the write
  // begins, a backup can still be stopped.
  bool stoppedBeforeWrite() {
    if (cancel_ == nullptr || !cancel_->load()) return false;
    outcome_.cancelled = true;
    fail(kFailCancelled, "stopped before the disc was written");
    return true;
  }

  // The recordings folder, the target's own checks, and the files the range selects.
  bool planFiles() {
    const FilesToBackUp selected = ListFilesToBackUp(options_);
    if (!selected.reason.empty()) return fail(selected.targetRefused ? kFailTarget : kFailSource, selected.reason);
    plan_ = PlanCopy(options_.source, selected.files);
    label_ = options_.volumeLabel.empty()
                 ? DefaultVolumeLabel(options_.source, static_cast<int64_t>(platform::WallSeconds()))
                 : options_.volumeLabel;
    return true;
  }

  bool takeLibraries() {
    lock_.lock();
    if (!StartLibraries()) return fail(kFailLibrary, "libburn or libisofs cannot be started");
    librariesHeld_ = true;
    // What the libraries queued before this backup is not its concern.
    DrainMessages("Backup (before)");
    return true;
  }

  // An image file is written under a temporary name and renamed once checked: a run
  // that fails, is stopped or killed never leaves a damaged image under the name.
  bool prepareTarget() {
    driveAddress_ = options_.target;
    if (!options_.target.starts_with("stdio:")) return true;
    std::filesystem::path image;
    std::string reason;
    if (!ResolveImagePath(options_.target, image, reason) || !temporary_.create(image, reason))
      return fail(kFailTarget, reason);
    driveAddress_ = "stdio:" + temporary_.path().string();
    return true;
  }

  // The image: every selected file flat in the root, each cut to its planned length and
  // read through a stream that checks what it reads.
  bool buildImage() {
    report("Creating disc image...", 0, plan_.size());
    IsoImage* image = nullptr;
    if (iso_image_new(label_.c_str(), &image) < 0 || image == nullptr)
      return fail(kFailImage, "no disc image could be made");
    image_.reset(image);
    iso_image_set_volume_id(image, label_.c_str());
    IsoDir* root = iso_image_get_root(image);
    const std::filesystem::path source = std::filesystem::absolute(options_.source);
    uint64_t position = 0;
    for (const PlannedFile& file : plan_) {
      if (stoppedBeforeWrite()) return false;
      auto read = std::make_shared<SourceRead>(file.name, source / file.name, file.length);
      IsoStream* stream = nullptr;
      int rc = NewSourceStream(read, &stream);
      if (rc >= 0) {
        rc = iso_image_add_new_file(image, root, file.name.c_str(), stream, nullptr);
        if (rc < 0) iso_stream_unref(stream);
      }
      if (rc < 0)
        return fail(static_cast<uint32_t>(rc), "cannot add " + file.name + " to the disc image");
      reads_.push_back(std::move(read));
      outcome_.bytes += file.length;
      ++outcome_.files;
      report("Creating disc image...", ++position, plan_.size());
    }
    Log("adding data to disc image");
    return true;
  }

  bool makeImageOptions() {
    IsoWriteOpts* writeOpts = nullptr;
    if (iso_write_opts_new(&writeOpts, 0) < 0) return fail(kFailImage, "no image options");
    writeOpts_.reset(writeOpts);
    // Level 3: an hour of recordings may pass 4 GiB and is then written in several extents.
    iso_write_opts_set_iso_level(writeOpts, 3);
    iso_write_opts_set_joliet(writeOpts, 1);
    iso_write_opts_set_joliet_longer_paths(writeOpts, 1);
    // The label as the operator gave it (case and "-" kept), as the Joliet volume shows it.
    iso_write_opts_set_relaxed_vol_atts(writeOpts, 1);
    return true;
  }

  // The drive, holding a disc that takes a new session.
  bool grabDrive() {
    grabbed_.emplace(driveAddress_);
    if (grabbed_->drive() == nullptr) return fail(kFailNoDrive, "no drive at " + options_.target);
    report("Preparing burn...", 0, 0);
    status_ = grabbed_->settledStatus();
    if (status_ != BURN_DISC_BLANK && status_ != BURN_DISC_APPENDABLE)
      return fail(kFailMedia, std::string("the disc cannot be written (") + DiscStatusName(status_) + ")");
    return true;
  }

  // libburn's write options, the image placed after any session already on the disc,
  // and one data track whose source is the image.
  bool prepareWrite() {
    write_ = std::make_unique<BurnWrite>();
    write_->opts = burn_write_opts_new(grabbed_->drive());
    if (write_->opts == nullptr) return fail(kFailMedia, "no write options for the drive");
    burn_write_opts_set_perform_opc(write_->opts, 0);
    burn_write_opts_set_multi(write_->opts, 0);
    burn_write_opts_set_underrun_proof(write_->opts, 1);
    burn_write_opts_set_simulate(write_->opts, options_.simulate ? 1 : 0);
    // A disc that already holds a session gets the new one after it: the image's block
    // addresses must count from there, and it is read back from there.
    int lba = 0, nwa = 0;
    if (status_ == BURN_DISC_APPENDABLE &&
        burn_disc_track_lba_nwa(grabbed_->drive(), write_->opts, 0, &lba, &nwa) > 0 && nwa > 0)
      startLba_ = static_cast<uint32_t>(nwa);
    iso_write_opts_set_ms_block(writeOpts_.get(), startLba_);

    ::burn_source* isoData = nullptr;
    if (iso_image_create_burn_source(image_.get(), writeOpts_.get(), &isoData) < 0 || isoData == nullptr)
      return fail(kFailImage, "the disc image cannot be started");
    data_.reset(reinterpret_cast<BurnSource*>(isoData));

    burn_disc_add_session(write_->disc, write_->session, BURN_POS_END);
    burn_track_define_data(write_->track, 0, 0, 1, BURN_MODE1);
    burn_track_set_source(write_->track, data_.get());
    burn_session_add_track(write_->session, write_->track, BURN_POS_END);
    char reasons[BURN_REASONS_LEN] = "";
    if (burn_write_opts_auto_write_type(write_->opts, write_->disc, reasons, 0) == BURN_WRITE_NONE)
      return fail(kFailMedia, std::string("no way to write this disc: ") + reasons);
    return !stoppedBeforeWrite();
  }

  // Writes the disc and follows the drive until it is idle again. Freeing the image's
  // source afterwards (the track holds a reference too) ends libisofs's writer: what
  // each stream read is final.
  bool writeDisc() {
    Log("recording disc");
    burn_disc_write(write_->opts, write_->disc);
    followWrite();
    const bool wroteWell = burn_drive_wrote_well(grabbed_->drive()) == 1;
    role_ = burn_drive_get_drive_role(grabbed_->drive());
    write_.reset();
    data_.reset();
    if (!wroteWell) return fail(kFailWrite, "the disc was not written completely");
    return true;
  }

  // The write runs on libburn's thread; once it has started it cannot be stopped (a
  // disc cut off part-way is lost anyway), so this ends when the drive is idle.
  void followWrite() {
    burn_drive* drive = grabbed_->drive();
    while (burn_drive_get_status(drive, nullptr) == BURN_DRIVE_SPAWNING)
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    // Shown at once: a small image on a fast drive may be written between two looks.
    const int64_t imageBytes = data_->get_size != nullptr ? static_cast<int64_t>(data_->get_size(data_.get())) : 0;
    report("Recording disc...", 0, static_cast<uint64_t>(std::max<int64_t>(imageBytes / 2048, 0)));
    burn_progress p{};
    bool closingShown = false;
    for (;;) {
      const enum burn_drive_status state = burn_drive_get_status(drive, &p);
      if (state == BURN_DRIVE_IDLE) break;
      if (state == BURN_DRIVE_WRITING || state == BURN_DRIVE_WRITING_PREGAP) {
        report("Recording disc...", static_cast<uint64_t>(std::max(p.sector, 0)),
               static_cast<uint64_t>(std::max(p.sectors, 0)));
      } else if (state == BURN_DRIVE_WRITING_LEADOUT || state == BURN_DRIVE_CLOSING_TRACK ||
                 state == BURN_DRIVE_CLOSING_SESSION || state == BURN_DRIVE_WRITING_SYNC) {
        if (!closingShown) report("Closing disc...", 0, 0);
        closingShown = true;
      } else if (state == BURN_DRIVE_WRITING_LEADIN) {
        report("Preparing burn...", 0, 0);
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    if (!closingShown) report("Closing disc...", 0, 0);
  }

  // A file not read whole is on the disc as zeros; so may be one behind a message of
  // severity SORRY or worse, whatever the write reported.
  bool checkReads() {
    for (const auto& read : reads_) {
      Checksum checksum;
      std::string why;
      if (!read->result(checksum, why)) return fail(kFailSource, why);
    }
    if (const LibraryFailure library = DrainMessages("Backup"); library.code != 0)
      return fail(library.code, library.text);
    return true;
  }

  // Reads back what was written and compares it, file by file, with what was read. A
  // simulated write has nothing to read back.
  bool verifyDisc() {
    if (options_.simulate) return true;
    report("Verifying disc...", 0, outcome_.bytes);
    burn_drive* drive = grabbed_->drive();
    ReadBack back;
    if (burn_drive_re_assess(drive, 0) > 0) {
      back = ReadBackImage(
          [drive](uint32_t block, uint32_t count, uint8_t* buffer) {
            const off_t want = static_cast<off_t>(count) * 2048;
            off_t got = 0;
            // bit1: a block that cannot be read is our failure to report, not a message.
            return burn_read_data(drive, static_cast<off_t>(block) * 2048, reinterpret_cast<char*>(buffer), want,
                                  &got, 2) > 0 &&
                   got == want;
          },
          startLba_, reads_, [&](uint64_t done, uint64_t total) { report("Verifying disc...", done, total); });
    } else {
      back.unreadable = true;
      back.reason = "the written disc cannot be read back";
    }
    if (!back.ok) {
      // Some recorders cannot read what they wrote until the disc is loaded again: such
      // a disc stays unchecked (said in the log). An image file is always read back.
      if (!(back.unreadable && role_ == 1)) return fail(kFailVerify, back.reason);
      Log("Backup: %s; the drive cannot read it, so it was not checked", back.reason.c_str());
    }
    if (const LibraryFailure library = DrainMessages("Backup"); library.code != 0)
      return fail(library.code, library.text);
    return true;
  }

  // Lets the drive go (ejecting the disc when asked) and gives a checked image file its
  // name.
  bool saveImage() {
    grabbed_->release(options_.eject);
    if (!temporary_.path().empty() && !options_.simulate) {
      std::string reason;
      if (!temporary_.commit(reason)) return fail(kFailWrite, reason);
    }
    DrainMessages("Backup");
    Log("recording succeeded");
    return true;
  }

  const BackupOptions& options_;
  const ProgressCallback& progress_;
  const std::atomic<bool>* cancel_;
  BackupOutcome outcome_;
  std::vector<PlannedFile> plan_;
  std::string label_;

  // In the order taken (and given back in reverse).
  std::unique_lock<std::mutex> lock_{BurnLock(), std::defer_lock};
  bool librariesHeld_ = false;  // the libraries are started and this thread holds their lock
  TemporaryImage temporary_;
  std::string driveAddress_;
  std::unique_ptr<IsoImage, void (*)(IsoImage*)> image_{nullptr, iso_image_unref};
  std::vector<std::shared_ptr<SourceRead>> reads_;
  std::unique_ptr<IsoWriteOpts, void (*)(IsoWriteOpts*)> writeOpts_{nullptr, iso_write_opts_free};
  std::optional<GrabbedDrive> grabbed_;
  enum burn_disc_status status_ = BURN_DISC_UNREADY;
  uint32_t startLba_ = 0;
  int role_ = 0;  // the drive's role once written (1: a real drive)
  std::unique_ptr<BurnWrite> write_;
  std::unique_ptr<BurnSource, void (*)(BurnSource*)> data_{nullptr, burn_source_free};
};

}  // namespace

BackupOutcome RunDiscBackup(const BackupOptions& options, const ProgressCallback& progress,
                            const std::atomic<bool>* cancel) {
  DiscBackupRun run(options, progress, cancel);
  return run.run();
}

}  // namespace velmora::backup
