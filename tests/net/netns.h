// Network namespaces for the tests that must not touch the machine's own network:
// named namespaces made with `ip netns` (removed again by their destructor, with every
// veth and bridge inside them), and threads that run inside one. setns() moves only the
// calling thread, so the test process itself stays where it is; sockets a thread opens
// belong to the namespace that thread is in, and threads it starts are in it too.
#pragma once

#include <fcntl.h>
#include <net/if.h>
#include <sched.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace velmora::test {

// Runs a command through /bin/sh with its output discarded; true when it exited with 0.
inline bool Shell(const std::string& command) {
  const std::string quiet = command + " >/dev/null 2>&1";
  const int status = std::system(quiet.c_str());
  return status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// The inode of the calling thread's network namespace (0 when unknown).
inline ino_t ThreadNetnsInode() {
  struct stat st {};
  if (::stat("/proc/thread-self/ns/net", &st) != 0) return 0;
  return st.st_ino;
}

// The namespace of the process's first thread: the machine's own network as far as this
// test knows. Scans are refused there.
inline ino_t ProcessNetnsInode() {
  struct stat st {};
  if (::stat("/proc/self/ns/net", &st) != 0) return 0;
  return st.st_ino;
}

// Why namespace tests cannot run here, or empty when they can.
inline std::string NamespaceUnavailableReason() {
  if (::geteuid() != 0) return "network namespace tests need root";
  const std::string probe = "velmora-probe-" + std::to_string(::getpid());
  if (!Shell("ip netns add " + probe)) return "'ip netns add' failed (no iproute2 or no permission)";
  Shell("ip netns del " + probe);
  return std::string();
}

// Removes namespaces left behind by earlier runs of this test that were killed (their
// names carry the PID of a process that no longer exists).
inline void RemoveStaleNamespaces(const std::string& prefix) {
  FILE* pipe = ::popen("ip netns list 2>/dev/null", "r");
  if (pipe == nullptr) return;
  char line[256];
  std::vector<std::string> stale;
  while (std::fgets(line, sizeof line, pipe) != nullptr) {
    std::string name(line);
    name = name.substr(0, name.find_first_of(" \n"));
    if (name.rfind(prefix, 0) != 0) continue;
    const int pid = std::atoi(name.c_str() + prefix.size());
    if (pid > 0 && pid != ::getpid() && ::kill(pid, 0) != 0 && errno == ESRCH) stale.push_back(name);
  }
  ::pclose(pipe);
  for (const auto& name : stale) Shell("ip netns del " + name);
}

class NetNamespace {
 public:
  explicit NetNamespace(std::string name) : name_(std::move(name)) {
    created_ = Shell("ip netns add " + name_);
    if (created_) Shell("ip netns exec " + name_ + " ip link set lo up");
  }
  ~NetNamespace() {
    if (created_) Shell("ip netns del " + name_);
  }
  NetNamespace(const NetNamespace&) = delete;
  NetNamespace& operator=(const NetNamespace&) = delete;

  bool ok() const { return created_; }
  const std::string& name() const { return name_; }
  std::string path() const { return "/var/run/netns/" + name_; }
  // Runs `ip ...` (or any command) inside the namespace.
  bool exec(const std::string& command) const { return Shell("ip netns exec " + name_ + " " + command); }

 private:
  std::string name_;
  bool created_ = false;
};

// Moves the calling thread into the namespace at `path` and checks that it left the
// process's namespace. False (and the thread stays where it was) on any failure.
inline bool EnterNamespace(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  const bool moved = ::setns(fd, CLONE_NEWNET) == 0;
  ::close(fd);
  return moved && ThreadNetnsInode() != 0 && ThreadNetnsInode() != ProcessNetnsInode();
}

// Moves the calling thread into a new, empty namespace with its loopback up.
inline bool EnterFreshNamespace() {
  if (::unshare(CLONE_NEWNET) != 0) return false;
  if (ThreadNetnsInode() == 0 || ThreadNetnsInode() == ProcessNetnsInode()) return false;
  const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  ifreq request{};
  std::strncpy(request.ifr_name, "lo", IFNAMSIZ - 1);
  bool up = ::ioctl(fd, SIOCGIFFLAGS, &request) == 0;
  request.ifr_flags = static_cast<short>(request.ifr_flags | IFF_UP);
  up = up && ::ioctl(fd, SIOCSIFFLAGS, &request) == 0;
  ::close(fd);
  return up;
}

// Runs body on a new thread inside the namespace (an empty path: a fresh namespace) and
// waits for it. The body does not run at all when the thread could not be moved.
inline bool RunInNamespace(const std::string& path, const std::function<void()>& body) {
  bool entered = false;
  std::thread worker([&] {
    entered = path.empty() ? EnterFreshNamespace() : EnterNamespace(path);
    if (entered) body();
  });
  worker.join();
  return entered;
}

}  // namespace velmora::test
