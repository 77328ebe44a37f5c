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
  // kError (errno set): the folder cannot hold the lock: it is missing, not a folder of
  // this user, writable by others (anyone could take or fake the lock there), or the
  // lock file cannot be opened or locked.
  Result acquire(const std::string& folder);

  // True when another process holds the lock in folder. Creates nothing.
  static bool heldElsewhere(const std::string& folder);

  // Sends one request line to the running instance and waits for its one-line answer:
  // at most timeoutMs to reach it, then at most answerTimeoutMs (timeoutMs when
  // negative) for the answer. False when no instance answered.
  static bool sendRequest(const std::string& folder, const std::string& request,
                          std::string& answer, int timeoutMs = 5000, int answerTimeoutMs = -1);

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
