// The removable-disk backup: erase the old backup files of the target folder, then copy
// each selected file through a temporary name, check the copy against what was read, and
// give it its own name only when it is complete and equal.
#include <dirent.h>
#include <fcntl.h>
#include <openssl/evp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <memory>

#include "app/log.h"
#include "backup/backup_internal.h"
#include "backup/copy_plan.h"
#include "platform/clock.h"

namespace velmora::backup {

namespace {

constexpr const char* kTempSuffix = ".copying";
constexpr std::size_t kChunkBytes = 1 << 20;

struct DigestDeleter {
  void operator()(EVP_MD_CTX* ctx) const { EVP_MD_CTX_free(ctx); }
};
using Digest = std::unique_ptr<EVP_MD_CTX, DigestDeleter>;

struct Checksum {
  unsigned char bytes[EVP_MAX_MD_SIZE] = {};
  unsigned length = 0;
  bool operator==(const Checksum& other) const {
    return length == other.length && std::memcmp(bytes, other.bytes, length) == 0;
  }
};

Digest NewDigest() {
  Digest digest(EVP_MD_CTX_new());
  if (digest && EVP_DigestInit_ex(digest.get(), EVP_sha256(), nullptr) != 1) digest.reset();
  return digest;
}

class Fd {
 public:
  explicit Fd(int fd = -1) : fd_(fd) {}
  ~Fd() { reset(); }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }
  void reset() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }
  // Closes and reports the close's own failure (a late write error of the file system).
  bool close() {
    const int fd = fd_;
    fd_ = -1;
    return fd < 0 || ::close(fd) == 0;
  }

 private:
  int fd_;
};

bool WriteAll(int fd, const uint8_t* data, std::size_t length) {
  while (length > 0) {
    const ssize_t n = ::write(fd, data, length);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (n == 0) {
      errno = ENOSPC;
      return false;
    }
    data += n;
    length -= static_cast<std::size_t>(n);
  }
  return true;
}

std::string SystemReason(const std::string& what, int code) {
  if (code == ENOSPC || code == EDQUOT) return "the target is full (" + what + ")";
  return what + ": " + std::strerror(code);
}

// Reads the copy back from the medium (its cached pages dropped first) and checks its
// size and checksum against the source's.
bool VerifyCopy(const std::filesystem::path& path, uint64_t length, const Checksum& expected,
                std::string& reason) {
  Fd in(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
  if (in.get() < 0) {
    reason = SystemReason("open(" + path.string() + ")", errno);
    LogLastError(("BackupCopy: open(" + path.string() + ")").c_str());
    return false;
  }
  ::posix_fadvise(in.get(), 0, 0, POSIX_FADV_DONTNEED);
  struct stat st {};
  if (::fstat(in.get(), &st) != 0 || static_cast<uint64_t>(st.st_size) != length) {
    reason = "the copy of " + path.filename().string() + " has the wrong size";
    Log("BackupCopy: size of %s is %lld, expected %llu", path.c_str(),
        static_cast<long long>(st.st_size), static_cast<unsigned long long>(length));
    return false;
  }
  Digest digest = NewDigest();
  std::vector<uint8_t> buffer(kChunkBytes);
  uint64_t done = 0;
  while (digest && done < length) {
    const std::size_t want = static_cast<std::size_t>(std::min<uint64_t>(buffer.size(), length - done));
    const ssize_t n = ::pread(in.get(), buffer.data(), want, static_cast<off_t>(done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      reason = SystemReason("read(" + path.string() + ")", n < 0 ? errno : EIO);
      LogLastError(("BackupCopy: read(" + path.string() + ")").c_str());
      return false;
    }
    EVP_DigestUpdate(digest.get(), buffer.data(), static_cast<std::size_t>(n));
    done += static_cast<uint64_t>(n);
  }
  Checksum actual;
  if (!digest || EVP_DigestFinal_ex(digest.get(), actual.bytes, &actual.length) != 1) {
    reason = "no checksum could be computed";
    Log("BackupCopy: EVP_DigestFinal_ex failed");
    return false;
  }
  if (!(actual == expected)) {
    reason = "the copy of " + path.filename().string() + " differs from the source";
    Log("BackupCopy: checksum of %s differs from the source", path.c_str());
    return false;
  }
  return true;
}

}  // namespace

// Copies the first `length` bytes of source to target folder / name. True when the copy
// is in place under its own name, verified.
bool CopyVerified(const std::filesystem::path& source, const std::filesystem::path& folder,
                  const std::string& name, uint64_t length, std::string& reason) {
  const std::filesystem::path finalPath = folder / name;
  const std::filesystem::path tempPath = folder / (name + kTempSuffix);
  Fd in(::open(source.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
  if (in.get() < 0) {
    reason = SystemReason("open(" + source.string() + ")", errno);
    LogLastError(("BackupCopy: open(" + source.string() + ")").c_str());
    return false;
  }
  Fd out(::open(tempPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0644));
  if (out.get() < 0) {
    reason = SystemReason("create(" + tempPath.string() + ")", errno);
    LogLastError(("BackupCopy: open(" + tempPath.string() + ")").c_str());
    return false;
  }
  auto fail = [&](const std::string& what, int code) {
    reason = SystemReason(what, code);
    errno = code;
    LogLastError(("BackupCopy: " + what).c_str());
    if (code == ENOSPC || code == EDQUOT)
      Log("BackupCopy: the target %s is full; %s not copied", folder.c_str(), name.c_str());
    out.reset();
    ::unlink(tempPath.c_str());
    return false;
  };

  Digest digest = NewDigest();
  if (!digest) return fail("EVP_DigestInit_ex", ENOMEM);
  std::vector<uint8_t> buffer(kChunkBytes);
  uint64_t done = 0;
  while (done < length) {
    const std::size_t want = static_cast<std::size_t>(std::min<uint64_t>(buffer.size(), length - done));
    const ssize_t n = ::pread(in.get(), buffer.data(), want, static_cast<off_t>(done));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return fail("read(" + source.string() + ")", errno);
    if (n == 0) {
      // The source is shorter than planned: it was cut or replaced meanwhile.
      reason = source.filename().string() + " became shorter while it was copied";
      Log("BackupCopy: %s ended at %llu of %llu bytes", source.c_str(),
          static_cast<unsigned long long>(done), static_cast<unsigned long long>(length));
      out.reset();
      ::unlink(tempPath.c_str());
      return false;
    }
    EVP_DigestUpdate(digest.get(), buffer.data(), static_cast<std::size_t>(n));
    if (!WriteAll(out.get(), buffer.data(), static_cast<std::size_t>(n)))
      return fail("write(" + tempPath.string() + ")", errno);
    done += static_cast<uint64_t>(n);
  }
  Checksum expected;
  EVP_DigestFinal_ex(digest.get(), expected.bytes, &expected.length);
  if (::fsync(out.get()) != 0) return fail("fsync(" + tempPath.string() + ")", errno);
  ::posix_fadvise(out.get(), 0, 0, POSIX_FADV_DONTNEED);
  if (!out.close()) return fail("close(" + tempPath.string() + ")", errno);

  if (!VerifyCopy(tempPath, length, expected, reason)) {
    ::unlink(tempPath.c_str());
    return false;
  }
  if (::rename(tempPath.c_str(), finalPath.c_str()) != 0) {
    const int code = errno;
    ::unlink(tempPath.c_str());
    errno = code;
    reason = SystemReason("rename(" + finalPath.string() + ")", code);
    LogLastError(("BackupCopy: rename(" + finalPath.string() + ")").c_str());
    return false;
  }
  return true;
}

namespace {

// Erases the old backup files lying directly in `target`, and copies an earlier run left
// half-done; everything else there stays.
void EraseOldBackups(const std::filesystem::path& target) {
  DIR* dir = ::opendir(target.c_str());
  if (dir == nullptr) {
    LogLastError(("Backup: opendir(" + target.string() + ")").c_str());
    return;
  }
  std::vector<std::string> doomed;
  while (struct dirent* entry = ::readdir(dir)) {
    std::string_view name(entry->d_name);
    struct stat st {};
    if (::fstatat(::dirfd(dir), entry->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0 || S_ISDIR(st.st_mode)) continue;
    std::string_view base = name;
    if (base.size() > std::strlen(kTempSuffix) && base.ends_with(kTempSuffix))
      base.remove_suffix(std::strlen(kTempSuffix));
    if (IsBackupFileName(base)) doomed.emplace_back(name);
  }
  ::closedir(dir);
  for (const std::string& name : doomed) {
    if (::unlink((target / name).c_str()) != 0 && errno != ENOENT)
      LogLastError(("Backup: unlink(" + (target / name).string() + ")").c_str());
  }
}

// Brings the folder's entries (the renames of the copies) to the medium.
void SyncFolder(const std::filesystem::path& folder) {
  const int dirFd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dirFd >= 0) {
    ::fsync(dirFd);
    ::close(dirFd);
  }
}

}  // namespace

BackupOutcome RunRemovableBackup(const BackupOptions& options, const ProgressCallback& progress,
                                 const std::atomic<bool>* cancel) {
  BackupOutcome outcome;
  auto report = [&](const char* status, uint64_t position, uint64_t range) {
    outcome.status = status;
    if (progress) progress(BackupProgress{status, position, range});
  };
  auto failWith = [&](const std::string& reason, uint64_t position, uint64_t range) {
    if (outcome.reason.empty()) outcome.reason = reason;
    Log("Backup: %s", outcome.reason.c_str());
    report("Failure.", position, range);
    return outcome;
  };

  // The erase step deletes hour files: never where recordings live, never another
  // device's backup unless that was agreed to.
  const FilesToBackUp selected = ListFilesToBackUp(options);
  if (!selected.reason.empty()) return failWith(selected.reason, 0, 0);
  const std::filesystem::path target(options.target);
  const uint64_t count = selected.files.size();
  const uint64_t range = count + 1;

  report("Erasing media...", 0, range);
  if (!options.simulate) EraseOldBackups(target);
  report("Erasing media...", 1, range);

  report("Copying files...", 1, range);
  const int64_t startedMs = platform::SteadyMs();
  uint64_t position = 1;
  for (const PlannedFile& file : PlanCopy(options.source, selected.files)) {
    if (cancel != nullptr && cancel->load()) {
      outcome.cancelled = true;
      return failWith("stopped before every file was copied", position, range);
    }
    if (!options.simulate) {
      std::string reason;
      if (!CopyVerified(options.source / file.name, target, file.name, file.length, reason)) {
        outcome.reason = reason;
        // A full target takes no further file either.
        if (reason.starts_with("the target is full")) break;
        continue;
      }
      outcome.bytes += file.length;
    }
    ++outcome.files;
    report("Copying files...", ++position, range);
  }
  // The renames themselves reach the medium before Success is shown.
  if (!options.simulate && outcome.files > 0) SyncFolder(target);
  const double seconds = static_cast<double>(platform::SteadyMs() - startedMs) / 1000.0;
  Log("Backup: %llu of %llu files, %llu bytes copied to %s in %.3f s%s",
      static_cast<unsigned long long>(outcome.files), static_cast<unsigned long long>(count),
      static_cast<unsigned long long>(outcome.bytes), target.c_str(), seconds,
      options.simulate ? " (simulated)" : "");
  if (outcome.files != count) {
    if (outcome.reason.empty()) outcome.reason = "not every file was copied";
    return failWith(outcome.reason, position, range);
  }
  outcome.ok = true;
  report("Success.", position, range);
  return outcome;
}

}  // namespace velmora::backup
