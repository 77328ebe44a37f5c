// One request of the embedded HTTP server, from the received bytes to the reply:
// routing, the listings, the file handler of node folders (newest image, record,
// header, footer, the first and last index entries, whole files) and the not-found and
// unauthorised answers. No sockets here: the server feeds bytes in and writes the
// reply out, so every route is testable on its own.
#pragma once

#include <cstdint>
#include <ctime>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>

#include "net/http_listing.h"
#include "net/http_monitor.h"

namespace velmora::net {

// A file descriptor that closes itself.
class FileHandle {
 public:
  FileHandle() = default;
  explicit FileHandle(int fd) : fd_(fd) {}
  ~FileHandle() { reset(); }
  FileHandle(FileHandle&& other) noexcept : fd_(other.release()) {}
  FileHandle& operator=(FileHandle&& other) noexcept {
    if (this != &other) {
      reset();
      fd_ = other.release();
    }
    return *this;
  }
  FileHandle(const FileHandle&) = delete;
  FileHandle& operator=(const FileHandle&) = delete;

  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  int release() {
    int fd = fd_;
    fd_ = -1;
    return fd;
  }
  void reset();

 private:
  int fd_ = -1;
};

struct HttpReply {
  // False: the request was not a GET; the connection is closed without an answer.
  bool answer = false;
  int status = 0;
  std::string header;  // the complete header block
  std::string body;    // the body held in memory, or
  FileHandle file;     // a whole file sent from its descriptor,
  uint64_t fileLength = 0;  // this many bytes from its start
  // Records go out through a send buffer of at least 32 KiB.
  bool recordSendBuffer = false;

  uint64_t bodyLength() const { return file.valid() ? fileLength : body.size(); }
};

struct HttpAuth {
  std::string user;  // empty: the server is open
  std::string password;
  // The one client address that may read /metrics (and only that) without the login, as
  // the server writes client addresses ("192.0.2.7", "2001:db8::7"); empty: none.
  std::string metricsAddress{};
  bool required() const { return !user.empty() || !password.empty(); }
};

// Who asks, and the server's side of the monitoring routes; filled by the server for
// each request.
struct HttpRequestContext {
  // The client's address: an IPv4 address (also when it came as an IPv4-mapped IPv6
  // one) or an IPv6 address in its shortest form; empty when unknown.
  std::string clientAddress;
  // What /metrics and /healthz read from the server (its counters, the main loop's
  // heartbeat, the limits); called only for those routes. Empty: they are not served.
  std::function<MonitorState()> monitor;
};

// The monitoring routes (/metrics, /healthz): the server hands them the snapshot it
// holds without asking the main thread for a new one first.
bool IsMonitorPath(std::string_view path);

// The newest image of the device folders served last. A viewer asks for a device's
// image.jpg many times a second, and the image only changes with the next record: while
// the folder holds the same files, its greatest index file is known without listing it;
// while that index file has the same size (it only grows, one entry per record), the
// image is the one read last. A request then costs two stat calls instead of a listing
// of the folder and the reads of two files. Safe for the handler threads.
class NewestImageCache {
 public:
  // The JPEG of the folder's newest record (as ServeNodeFile serves it); false when the
  // folder has no index file or the record cannot be read.
  bool Serve(const std::string& folder, std::string& body);

  // Identity and state of a file or folder as stat gives them.
  struct Stamp {
    uint64_t device = 0, inode = 0, size = 0;
    int64_t modifiedNs = 0;
    bool operator==(const Stamp&) const = default;
  };

 private:
  struct Entry {
    Stamp folder;           // the folder as it was listed; zero: list it again
    std::string lastIndex;  // its greatest index file
    Stamp index;            // that index file as it was when the image was read
    std::shared_ptr<const std::string> image;
  };
  // Folders remembered at most (node folders only reach here; the bound only keeps a
  // tree of many thousand devices from growing it without end).
  static constexpr std::size_t kMaxFolders = 1024;

  std::mutex lock_;
  std::unordered_map<std::string, Entry> entries_;
};

// Builds the reply for the bytes received on a connection (the request line first;
// the header block is only read for the Authorization line). Logs the lines of the
// routes ("HTTP 404 [%s]", "HTTP 200 [%s] (size=%lu)", ...); the monitoring routes,
// polled every few seconds, log nothing of their own (a refused login is logged as on
// every route). images: the server's cache of newest images (null: every image.jpg is
// read from the files). context: the client and the monitoring routes' source (null:
// client unknown, monitoring routes not served).
HttpReply HandleRequest(std::string_view received, const TreeSnapshot& tree, const HttpAuth& auth, std::time_t now,
                        NewestImageCache* images = nullptr, const HttpRequestContext* context = nullptr);

// The answer to a complete request that finds the handler queue full: 503 with a short
// page and "Retry-After: 1".
HttpReply BusyReply(std::time_t now);

// The file handler for a canonicalised path: fills status 200, the body and its type
// and returns true, or returns false when nothing is served (the caller answers 404).
bool ServeNodeFile(const TreeSnapshot& tree, const std::string& canonicalPath, HttpReply& reply,
                   std::string& contentType, NewestImageCache* images = nullptr);

// The smallest and the greatest hour-key index file (".vlx") in a folder; false when
// there is none.
bool BoundaryIndexFiles(const std::string& folder, std::string& first, std::string& last);

}  // namespace velmora::net
