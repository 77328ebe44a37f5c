// Discs: the optical drives libburn finds, what is in one of them, and writing an
// ISO 9660 + Joliet image of the selected files to it. libburn keeps process-wide drive
// state (a new scan invalidates every drive handle), so every use here runs under one
// lock; libisofs builds the image while libburn reads it, on libisofs's own thread.
#include <stdint.h>
#include <sys/types.h>

#include <libburn/libburn.h>
#include <libisofs/libisofs.h>
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
#include <thread>

#include "app/log.h"
#include "backup/backup_internal.h"
#include "backup/copy_plan.h"

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

std::mutex& BurnLock() {
  static std::mutex lock;
  return lock;
}

// Starts both libraries once per process; their messages are queued (never printed) and
// moved into the log by DrainMessages.
bool StartLibraries() {
  static bool started = [] {
    if (!burn_initialize()) {
      Log("burn_initialize failed");
      return false;
    }
    burn_msgs_set_severities(const_cast<char*>("SORRY"), const_cast<char*>("NEVER"),
                             const_cast<char*>("libburn: "));
    const int rc = iso_init();
    if (rc < 0) {
      Log("iso_init failed (0x%08X)", static_cast<unsigned>(rc));
      return false;
    }
    iso_set_msgs_severities(const_cast<char*>("SORRY"), const_cast<char*>("NEVER"),
                            const_cast<char*>("libisofs: "));
    return true;
  }();
  return started;
}

// Logs the queued library messages; returns the code of the last failure among them (0
// when there was none).
uint32_t DrainMessages(const char* label) {
  uint32_t code = 0;
  char text[BURN_MSGS_MESSAGE_LEN];
  char severity[80];
  int errorCode = 0, osErrno = 0;
  for (int i = 0; i < 1000 && burn_msgs_obtain(const_cast<char*>("SORRY"), &errorCode, text,
                                                &osErrno, severity) > 0;
       ++i) {
    Log("%s: libburn %s 0x%08X: %s", label, severity, static_cast<unsigned>(errorCode), text);
    if (std::strcmp(severity, "SORRY") != 0) code = static_cast<uint32_t>(errorCode);
  }
  int imageId = 0;
  for (int i = 0; i < 1000 && iso_obtain_msgs(const_cast<char*>("SORRY"), &errorCode, &imageId,
                                              text, severity) > 0;
       ++i) {
    Log("%s: libisofs %s 0x%08X: %s", label, severity, static_cast<unsigned>(errorCode), text);
    if (std::strcmp(severity, "SORRY") != 0) code = static_cast<uint32_t>(errorCode);
  }
  return code;
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
  return target.starts_with("stdio:") || target.starts_with("/dev/");
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

BackupOutcome RunDiscBackup(const BackupOptions& options, const ProgressCallback& progress,
                            const std::atomic<bool>* cancel) {
  BackupOutcome outcome;
  auto report = [&](const std::string& status, uint64_t position, uint64_t range) {
    outcome.status = status;
    if (progress) progress(BackupProgress{status, position, range});
  };
  auto fail = [&](uint32_t ownCode, const std::string& reason) {
    const uint32_t libraryCode = DrainMessages("Backup");
    outcome.failureCode = libraryCode != 0 ? libraryCode : ownCode;
    if (outcome.reason.empty()) outcome.reason = reason;
    Log("Backup: %s", outcome.reason.c_str());
    Log("failure (status = 0x%08X)", outcome.failureCode);
    char text[64];
    std::snprintf(text, sizeof text, "Failed (0x%08lx)", static_cast<unsigned long>(outcome.failureCode));
    report(text, 0, 0);
    return outcome;
  };

  std::vector<SelectedFile> files;
  if (!ListSelectedFiles(options.source, MakeSelection(options.range), files))
    return fail(kFailSource, "the recordings folder cannot be read");
  const std::vector<PlannedFile> plan = PlanCopy(options.source, files);
  const std::string label =
      options.volumeLabel.empty()
          ? DefaultVolumeLabel(options.source, static_cast<int64_t>(std::time(nullptr)))
          : options.volumeLabel;

  std::lock_guard<std::mutex> guard(BurnLock());
  if (!StartLibraries()) return fail(kFailLibrary, "libburn or libisofs cannot be started");

  // The image: every selected file flat in the root, each cut to its planned length.
  report("Creating disc image...", 0, plan.size());
  IsoImage* image = nullptr;
  if (iso_image_new(label.c_str(), &image) < 0 || image == nullptr)
    return fail(kFailImage, "no disc image could be made");
  std::unique_ptr<IsoImage, void (*)(IsoImage*)> imageOwner(image, iso_image_unref);
  iso_image_set_volume_id(image, label.c_str());
  IsoDir* root = iso_image_get_root(image);
  const std::filesystem::path source = std::filesystem::absolute(options.source);
  uint64_t position = 0;
  for (const PlannedFile& file : plan) {
    if (cancel != nullptr && cancel->load()) {
      outcome.cancelled = true;
      return fail(kFailCancelled, "stopped before the disc was written");
    }
    const std::string path = (source / file.name).string();
    int rc;
    if (file.length > 0) {
      rc = iso_tree_add_new_cut_out_node(image, root, file.name.c_str(), path.c_str(), 0,
                                         static_cast<off_t>(file.length), nullptr);
    } else {
      // Nothing to take from the file (an empty marker, an hour with no whole record
      // yet): an empty file of that name.
      IsoStream* empty = nullptr;
      unsigned char* none = static_cast<unsigned char*>(std::malloc(1));
      rc = none != nullptr ? iso_memory_stream_new(none, 0, &empty) : -1;
      if (rc >= 0) rc = iso_image_add_new_file(image, root, file.name.c_str(), empty, nullptr);
    }
    if (rc < 0)
      return fail(static_cast<uint32_t>(rc), "cannot add " + file.name + " to the disc image");
    outcome.bytes += file.length;
    ++outcome.files;
    report("Creating disc image...", ++position, plan.size());
  }
  Log("adding data to disc image");

  IsoWriteOpts* writeOpts = nullptr;
  if (iso_write_opts_new(&writeOpts, 0) < 0) return fail(kFailImage, "no image options");
  std::unique_ptr<IsoWriteOpts, void (*)(IsoWriteOpts*)> writeOptsOwner(writeOpts,
                                                                        iso_write_opts_free);
  // Level 3: an hour of recordings may pass 4 GiB and is then written in several extents.
  iso_write_opts_set_iso_level(writeOpts, 3);
  iso_write_opts_set_joliet(writeOpts, 1);
  iso_write_opts_set_joliet_longer_paths(writeOpts, 1);
  // The label as the operator gave it (case and "-" kept), as the Joliet volume shows it.
  iso_write_opts_set_relaxed_vol_atts(writeOpts, 1);

  GrabbedDrive grabbed(options.target);
  if (grabbed.drive() == nullptr) return fail(kFailNoDrive, "no drive at " + options.target);
  report("Preparing burn...", 0, 0);
  const enum burn_disc_status status = grabbed.settledStatus();
  if (status != BURN_DISC_BLANK && status != BURN_DISC_APPENDABLE)
    return fail(kFailMedia, std::string("the disc cannot be written (") + DiscStatusName(status) + ")");

  ::burn_source* isoData = nullptr;
  if (iso_image_create_burn_source(image, writeOpts, &isoData) < 0 || isoData == nullptr)
    return fail(kFailImage, "the disc image cannot be started");
  BurnSource* data = reinterpret_cast<BurnSource*>(isoData);
  std::unique_ptr<BurnSource, void (*)(BurnSource*)> dataOwner(data, burn_source_free);

  burn_disc* disc = burn_disc_create();
  burn_session* session = burn_session_create();
  burn_track* track = burn_track_create();
  burn_disc_add_session(disc, session, BURN_POS_END);
  burn_track_define_data(track, 0, 0, 1, BURN_MODE1);
  burn_track_set_source(track, data);
  burn_session_add_track(session, track, BURN_POS_END);
  burn_write_opts* opts = burn_write_opts_new(grabbed.drive());
  auto freeBurnObjects = [&] {
    burn_write_opts_free(opts);
    burn_track_free(track);
    burn_session_free(session);
    burn_disc_free(disc);
  };
  burn_write_opts_set_perform_opc(opts, 0);
  burn_write_opts_set_multi(opts, 0);
  burn_write_opts_set_underrun_proof(opts, 1);
  burn_write_opts_set_simulate(opts, options.simulate ? 1 : 0);
  char reasons[BURN_REASONS_LEN] = "";
  if (burn_write_opts_auto_write_type(opts, disc, reasons, 0) == BURN_WRITE_NONE) {
    freeBurnObjects();
    return fail(kFailMedia, std::string("no way to write this disc: ") + reasons);
  }
  if (cancel != nullptr && cancel->load()) {
    freeBurnObjects();
    outcome.cancelled = true;
    return fail(kFailCancelled, "stopped before the disc was written");
  }

  Log("recording disc");
  burn_disc_write(opts, disc);
  burn_progress p{};
  // The write runs on libburn's thread; once it has started it cannot be stopped (a
  // disc cut off part-way is lost anyway), so this loop ends when the drive is idle.
  while (burn_drive_get_status(grabbed.drive(), nullptr) == BURN_DRIVE_SPAWNING)
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  // Shown at once: a small image on a fast drive may be written between two looks.
  const int64_t imageBytes = data->get_size != nullptr ? static_cast<int64_t>(data->get_size(data)) : 0;
  report("Recording disc...", 0, static_cast<uint64_t>(std::max<int64_t>(imageBytes / 2048, 0)));
  bool closingShown = false;
  for (;;) {
    const enum burn_drive_status state = burn_drive_get_status(grabbed.drive(), &p);
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
  const bool wroteWell = burn_drive_wrote_well(grabbed.drive()) == 1;
  if (!closingShown) report("Closing disc...", 0, 0);
  const int role = burn_drive_get_drive_role(grabbed.drive());
  freeBurnObjects();
  grabbed.release(options.eject);
  if (!wroteWell) return fail(kFailWrite, "the disc was not written completely");
  if (role == 2 && !options.simulate && imageBytes > 0) {
    // An image file is overwritten from its start; a longer earlier file would keep its
    // old tail behind the new image.
    const std::string path = options.target.substr(std::strlen("stdio:"));
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && st.st_size > imageBytes &&
        ::truncate(path.c_str(), static_cast<off_t>(imageBytes)) != 0)
      LogLastError(("Backup: truncate(" + path + ")").c_str());
  }
  DrainMessages("Backup");
  Log("recording succeeded");
  outcome.ok = true;
  report("Success.", plan.size(), plan.size());
  return outcome;
}

}  // namespace velmora::backup
