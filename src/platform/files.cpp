#include "platform/files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>
#include <filesystem>

namespace velmora::platform {

bool WriteFileAtomic(const std::string& path, const std::string& content, const char** failedCall) {
  const std::string temp = path + ".tmp";
  auto fail = [&](const char* call, int fd) {
    int saved = errno;
    if (fd >= 0) ::close(fd);
    ::unlink(temp.c_str());
    if (failedCall) *failedCall = call;
    errno = saved;
    return false;
  };
  // A temporary file left by an interrupted write goes first, so the new one is ours
  // and created private; a link planted under the temporary name is never followed.
  ::unlink(temp.c_str());
  int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) {
    if (failedCall) *failedCall = "open";
    return false;
  }
  // The creation mask may have taken more bits than these: set exactly owner read/write.
  if (::fchmod(fd, 0600) != 0) return fail("fchmod", fd);
  const char* data = content.data();
  size_t remaining = content.size();
  while (remaining > 0) {
    ssize_t n = ::write(fd, data, remaining);
    if (n < 0) {
      if (errno == EINTR) continue;
      return fail("write", fd);
    }
    data += n;
    remaining -= static_cast<size_t>(n);
  }
  if (::fsync(fd) != 0) return fail("fsync", fd);
  if (::close(fd) != 0) return fail("close", -1);
  if (::rename(temp.c_str(), path.c_str()) != 0) return fail("rename", -1);
  return true;
}

bool MakePrivate(int fd) {
  struct stat info {};
  if (::fstat(fd, &info) != 0) return false;
  if ((info.st_mode & 077) == 0) return true;
  return ::fchmod(fd, info.st_mode & 0700) == 0;
}

bool MakePrivate(const std::string& path) {
  struct stat info {};
  if (path.empty() || ::lstat(path.c_str(), &info) != 0 || S_ISLNK(info.st_mode)) return false;
  if ((info.st_mode & 077) == 0) return true;
  return ::chmod(path.c_str(), info.st_mode & 0700) == 0;
}

bool ReadWholeFile(const std::string& path, std::string& content, std::size_t maxBytes) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat info {};
  if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) ||
      static_cast<uint64_t>(info.st_size) > maxBytes) {
    int saved = errno;
    ::close(fd);
    errno = saved;
    return false;
  }
  content.clear();
  content.reserve(static_cast<size_t>(info.st_size));
  char buffer[65536];
  for (;;) {
    ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0) {
      if (errno == EINTR) continue;
      int saved = errno;
      ::close(fd);
      errno = saved;
      return false;
    }
    if (n == 0) break;
    if (content.size() + static_cast<size_t>(n) > maxBytes) {
      ::close(fd);
      errno = EFBIG;
      return false;
    }
    content.append(buffer, static_cast<size_t>(n));
  }
  ::close(fd);
  return true;
}

bool IsDirectory(const std::string& path) {
  struct stat info {};
  return !path.empty() && ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

bool FileExists(const std::string& path) {
  struct stat info {};
  return !path.empty() && ::stat(path.c_str(), &info) == 0;
}

bool CreateFolders(const std::string& path) {
  if (path.empty()) return false;
  std::error_code error;
  std::filesystem::create_directories(path, error);
  if (error) errno = error.value();
  return IsDirectory(path);
}

bool CreatePrivateFolder(const std::string& path) {
  if (path.empty()) return false;
  // Level by level, so that every folder made here is private from its creation on.
  std::filesystem::path partial;
  for (const auto& part : std::filesystem::path(path)) {
    partial /= part;
    if (part.empty() || part == "/") continue;
    if (::mkdir(partial.c_str(), 0700) != 0 && errno != EEXIST) break;
  }
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) return false;
  // A folder of this user that others may read or enter is made private; a folder of
  // another owner is left as it is (it is not ours to change).
  if ((info.st_mode & 077) != 0 && info.st_uid == ::geteuid()) {
    ::chmod(path.c_str(), info.st_mode & 0700);
  }
  return true;
}

}  // namespace velmora::platform
