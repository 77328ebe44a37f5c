// One running instance per user: a lock file held with flock, and a Unix-domain socket
// beside it on which a second start asks the running instance to do something (come
// to the front, import a file) and reads its one-line answer.
#pragma once

#include <string>
#include <vector>

namespace velmora::platform {

class SingleInstance {
 public:
  enum class Result { kFirst, kOtherRunning, kError };

  SingleInstance() = default;
  ~SingleInstance();
  SingleInstance(const SingleInstance&) = delete;
  SingleInstance& operator=(const SingleInstance&) = delete;

  // Takes the lock in folder. kFirst: this process is the instance and listens for
  // requests. kOtherRunning: another process holds it; nothing was created.
  Result acquire(const std::string& folder);

  // Sends one request line to the running instance and waits (at most timeoutMs) for
  // its one-line answer. False when no instance answered.
  static bool sendRequest(const std::string& folder, const std::string& request,
                          std::string& answer, int timeoutMs = 5000);

  struct Request {
    std::string line;
    int fd = -1;  // answer with reply(), which closes it
  };
  // Accepts waiting connections and reads their request lines without blocking the
  // caller for long (each read waits at most 200 ms; lines longer than 4096 bytes are refused).
  std::vector<Request> poll();
  static void reply(Request& request, const std::string& answer);

  void release();

 private:
  int lockFd_ = -1;
  int listenFd_ = -1;
  std::string socketPath_;
};

}  // namespace velmora::platform
