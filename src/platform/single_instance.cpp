#include "platform/single_instance.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

namespace velmora::platform {
namespace {

constexpr const char* kLockName = "/velmora-nvr.lock";
constexpr const char* kSocketName = "/velmora-nvr.sock";
constexpr size_t kMaxLine = 4096;

bool MakeAddress(const std::string& path, sockaddr_un& address) {
  std::memset(&address, 0, sizeof address);
  address.sun_family = AF_UNIX;
  if (path.size() >= sizeof address.sun_path) return false;
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  return true;
}

// Reads up to the first line feed, waiting at most timeoutMs in all (a real wait of poll:
// the system's steady clock).
bool ReadLine(int fd, std::string& line, int timeoutMs) {
  line.clear();
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                    deadline - std::chrono::steady_clock::now())
                    .count();
    if (left <= 0) return false;
    pollfd p{fd, POLLIN, 0};
    int ready = ::poll(&p, 1, static_cast<int>(left));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) return false;
    char buffer[512];
    ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return !line.empty();
    line.append(buffer, static_cast<size_t>(n));
    auto lf = line.find('\n');
    if (lf != std::string::npos) {
      line.resize(lf);
      return true;
    }
    if (line.size() > kMaxLine) return false;
  }
}

void WriteAll(int fd, const std::string& text) {
  const char* data = text.data();
  size_t left = text.size();
  while (left > 0) {
    ssize_t n = ::send(fd, data, left, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    data += n;
    left -= static_cast<size_t>(n);
  }
}

}  // namespace

SingleInstance::~SingleInstance() { release(); }

SingleInstance::Result SingleInstance::acquire(const std::string& folder) {
  release();
  struct stat info {};
  if (folder.empty() || ::stat(folder.c_str(), &info) != 0) {
    if (folder.empty()) errno = ENOENT;
    return Result::kError;
  }
  if (!S_ISDIR(info.st_mode)) {
    errno = ENOTDIR;
    return Result::kError;
  }
  if (info.st_uid != ::geteuid() || (info.st_mode & 022) != 0) {
    errno = EACCES;
    return Result::kError;
  }
  std::string lockPath = folder + kLockName;
  int fd = ::open(lockPath.c_str(), O_RDWR | O_CLOEXEC);
  if (fd < 0 && errno == ENOENT) fd = ::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (fd < 0) return Result::kError;
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    int saved = errno;
    ::close(fd);
    errno = saved;
    return saved == EWOULDBLOCK ? Result::kOtherRunning : Result::kError;
  }
  lockFd_ = fd;

  socketPath_ = folder + kSocketName;
  sockaddr_un address{};
  if (!MakeAddress(socketPath_, address)) return Result::kFirst;
  ::unlink(socketPath_.c_str());  // a socket left by an instance that died
  listenFd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (listenFd_ >= 0 &&
      (::bind(listenFd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
       ::listen(listenFd_, 8) != 0)) {
    ::close(listenFd_);
    listenFd_ = -1;
  }
  return Result::kFirst;
}

bool SingleInstance::heldElsewhere(const std::string& folder) {
  if (folder.empty()) return false;
  std::string lockPath = folder + kLockName;
  int fd = ::open(lockPath.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) return false;
  // A shared lock is refused exactly while an instance holds its exclusive one.
  bool held = ::flock(fd, LOCK_SH | LOCK_NB) != 0 && errno == EWOULDBLOCK;
  ::close(fd);
  return held;
}

bool SingleInstance::sendRequest(const std::string& folder, const std::string& request,
                                 std::string& answer, int timeoutMs, int answerTimeoutMs) {
  if (answerTimeoutMs < 0) answerTimeoutMs = timeoutMs;
  sockaddr_un address{};
  if (!MakeAddress(folder + kSocketName, address)) return false;
  // The running instance may still be starting: retry the connection for a while (real
  // waits: the system's steady clock).
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
      WriteAll(fd, request + "\n");
      bool ok = ReadLine(fd, answer, answerTimeoutMs);
      ::close(fd);
      return ok;
    }
    ::close(fd);
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
}

std::vector<SingleInstance::Request> SingleInstance::poll() {
  std::vector<Request> requests;
  if (listenFd_ < 0) return requests;
  for (int i = 0; i < 8; ++i) {
    int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) break;
    Request request;
    request.fd = fd;
    if (ReadLine(fd, request.line, 200)) {
      requests.push_back(std::move(request));
    } else {
      ::close(fd);
    }
  }
  return requests;
}

void SingleInstance::reply(Request& request, const std::string& answer) {
  if (request.fd < 0) return;
  WriteAll(request.fd, answer + "\n");
  ::close(request.fd);
  request.fd = -1;
}

void SingleInstance::release() {
  if (listenFd_ >= 0) {
    ::close(listenFd_);
    listenFd_ = -1;
    ::unlink(socketPath_.c_str());
  }
  if (lockFd_ >= 0) {
    ::close(lockFd_);
    lockFd_ = -1;
  }
}

}  // namespace velmora::platform
