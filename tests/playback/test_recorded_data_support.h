// Test-side helpers for recorded-data access and playback: a temporary folder, real
// small JPEG frames, a record writer of our own over the format module, a log capture,
// and a throw-away HTTP peer on 127.0.0.1 that serves a folder the way another instance
// does (or misbehaves on purpose).
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "app/log.h"
#include "media/image.h"
#include "media/jpeg.h"
#include "recording/format.h"

namespace velmora::playtest {

class TempFolder {
 public:
  TempFolder() {
    std::string pattern = (std::filesystem::temp_directory_path() / "velmora-play-XXXXXX").string();
    if (char* made = ::mkdtemp(pattern.data())) path_ = made;
  }
  ~TempFolder() {
    std::error_code ec;
    if (!path_.empty()) std::filesystem::remove_all(path_, ec);
  }
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;
  const std::filesystem::path& path() const { return path_; }
  std::string str() const { return path_.string(); }

 private:
  std::filesystem::path path_;
};

// A real JPEG of a small solid-colour picture (decodable by the program's decoder).
inline std::vector<uint8_t> SmallJpeg(uint8_t shade = 128, int side = 16) {
  std::unique_ptr<Image> image = Image::New(side, side, 24);
  image->Fill(Colour{shade, static_cast<uint8_t>(255 - shade), 64});
  return EncodeJpeg(*image, 80);
}

inline std::vector<uint8_t> ReadAll(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

inline void AppendBytes(const std::filesystem::path& path, const void* data, std::size_t length) {
  std::ofstream out(path, std::ios::binary | std::ios::app);
  out.write(static_cast<const char*>(data), static_cast<std::streamsize>(length));
}

inline uint64_t SizeOf(const std::filesystem::path& path) {
  std::error_code ec;
  const auto size = std::filesystem::file_size(path, ec);
  return ec ? 0 : size;
}

// Appends records the way the recorder does: the whole record to the hour's data file,
// then its entry to the index file.
class RecordWriter {
 public:
  explicit RecordWriter(std::filesystem::path folder) : folder_(std::move(folder)) {
    std::filesystem::create_directories(folder_);
  }

  // Returns the position written (time, milliseconds, offset).
  IndexEntry Append(int64_t seconds, unsigned ms, const std::vector<uint8_t>& jpeg, bool motion = false,
                    bool withEntry = true) {
    const RecordTime time = RecordTimeAt(seconds, ms);
    const std::string key = HourKey(time.seconds);
    const auto dataPath = DataFilePath(folder_, key);
    const uint64_t offset = SizeOf(dataPath);
    std::vector<uint8_t> record(jpeg.size() + kRecordOverheadBytes);
    std::copy(jpeg.begin(), jpeg.end(), record.begin() + kRecordHeaderBytes);
    FillRecord(record.data(), static_cast<uint32_t>(jpeg.size()), time, motion ? 0x10 : 0, 0);
    AppendBytes(dataPath, record.data(), record.size());
    const IndexEntry entry = MakeIndexEntry(time, offset);
    if (withEntry) {
      uint8_t bytes[kIndexEntryBytes];
      entry.ToBytes(bytes);
      AppendBytes(IndexFilePath(folder_, key), bytes, sizeof bytes);
    }
    return entry;
  }

  // A record cut short after `keep` bytes (a write that stopped part-way); no entry.
  void AppendTorn(int64_t seconds, const std::vector<uint8_t>& jpeg, std::size_t keep) {
    const RecordTime time = RecordTimeAt(seconds, 0);
    std::vector<uint8_t> record(jpeg.size() + kRecordOverheadBytes);
    std::copy(jpeg.begin(), jpeg.end(), record.begin() + kRecordHeaderBytes);
    FillRecord(record.data(), static_cast<uint32_t>(jpeg.size()), time, 0, 0);
    AppendBytes(DataFilePath(folder_, HourKey(time.seconds)), record.data(), std::min(keep, record.size()));
  }

  const std::filesystem::path& folder() const { return folder_; }

 private:
  std::filesystem::path folder_;
};

// Sends the log to a temporary file for the life of the object.
class LogCapture {
 public:
  LogCapture() : previous_(GetLogPath()) {
    path_ = folder_.path() / "test.log";
    SetLogPath(path_.string());
  }
  ~LogCapture() { SetLogPath(previous_); }
  std::string text() const {
    std::ifstream in(path_, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  }
  bool contains(const std::string& part) const { return text().find(part) != std::string::npos; }

 private:
  TempFolder folder_;
  std::filesystem::path path_;
  std::string previous_;
};

// Another instance's recordings server in miniature, on 127.0.0.1 only. kServe answers
// the record requests from `folder` under the prefix "/cam"; the other modes misbehave.
class TestPeer {
 public:
  enum class Mode { kServe, kSilent, kGarbage, kShortBody };

  explicit TestPeer(Mode mode, std::filesystem::path folder = {}) : mode_(mode), folder_(std::move(folder)) {
    listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = 0;
    int one = 1;
    ::setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (::bind(listener_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 && ::listen(listener_, 16) == 0) {
      socklen_t length = sizeof addr;
      ::getsockname(listener_, reinterpret_cast<sockaddr*>(&addr), &length);
      port_ = ntohs(addr.sin_port);
    }
    thread_ = std::thread([this] { Run(); });
  }
  ~TestPeer() {
    stop_ = true;
    thread_.join();
    for (int fd : held_) ::close(fd);
    ::close(listener_);
  }
  TestPeer(const TestPeer&) = delete;
  TestPeer& operator=(const TestPeer&) = delete;

  int port() const { return port_; }
  std::string url() const { return "http://127.0.0.1:" + std::to_string(port_) + "/cam"; }
  int requests() const { return requests_.load(); }

  // kServe: the next `times` requests whose target (path and query) contains `part` get
  // `status` instead of their answer; -1 closes the connection without an answer (the
  // peer stopped answering). Then they are served again (it came back).
  void failRequests(const std::string& part, int status, int times) {
    std::lock_guard<std::mutex> guard(faultLock_);
    faultPart_ = part;
    faultStatus_ = status;
    faultsLeft_ = times;
  }
  int faultsLeft() const {
    std::lock_guard<std::mutex> guard(faultLock_);
    return faultsLeft_;
  }

 private:
  void Run() {
    // Bounded by the test: the loop ends when the peer is destroyed.
    while (!stop_) {
      pollfd p{listener_, POLLIN, 0};
      if (::poll(&p, 1, 20) <= 0) continue;
      const int fd = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd < 0) continue;
      ++requests_;
      Handle(fd);
    }
  }

  static std::string ReadRequest(int fd) {
    std::string request;
    char buffer[1024];
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    while (request.find("\r\n\r\n") == std::string::npos && request.size() < 8192 &&
           std::chrono::steady_clock::now() < until) {
      pollfd p{fd, POLLIN, 0};
      if (::poll(&p, 1, 100) <= 0) continue;
      const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
      if (n <= 0) break;
      request.append(buffer, static_cast<std::size_t>(n));
    }
    return request;
  }

  static void SendAll(int fd, const std::string& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
      const ssize_t n = ::send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
      if (n <= 0) return;
      done += static_cast<std::size_t>(n);
    }
  }

  static void Reply(int fd, int status, const std::string& body) {
    std::string head = "HTTP/1.0 " + std::to_string(status) + (status == 200 ? " OK" : " Not Found") +
                       "\r\nContent-Type: application/octet-stream\r\nContent-Length: " +
                       std::to_string(body.size()) + "\r\n\r\n";
    SendAll(fd, head + body);
  }

  void Handle(int fd) {
    const std::string request = ReadRequest(fd);
    switch (mode_) {
      case Mode::kSilent:
        held_.push_back(fd);  // never answered; closed when the peer goes away
        return;
      case Mode::kGarbage:
        SendAll(fd, "\x01\x02 this is not a reply \xff\xfe\r\n\r\n");
        break;
      case Mode::kShortBody:
        SendAll(fd, "HTTP/1.0 200 OK\r\nContent-Length: 1000\r\n\r\nshort");
        break;
      case Mode::kServe:
        if (const int fault = TakeFault(request); fault != 0) {
          if (fault > 0) Reply(fd, fault, "failed");
          break;  // -1: closed without an answer
        }
        Serve(fd, request);
        break;
    }
    ::close(fd);
  }

  static std::string FileBytes(const std::filesystem::path& path, int64_t offset, std::size_t length, bool& ok) {
    ok = false;
    std::ifstream in(path, std::ios::binary);
    if (!in) return {};
    in.seekg(0, std::ios::end);
    const int64_t size = static_cast<int64_t>(in.tellg());
    const int64_t at = offset < 0 ? size + offset : offset;
    if (at < 0 || at > size) return {};
    in.seekg(at);
    std::string bytes(length, '\0');
    in.read(bytes.data(), static_cast<std::streamsize>(length));
    ok = static_cast<std::size_t>(in.gcount()) == length;
    return bytes;
  }

  void Serve(int fd, const std::string& request) {
    if (request.compare(0, 4, "GET ") != 0) return;
    const std::string target = request.substr(4, request.find(' ', 4) - 4);
    if (target.compare(0, 5, "/cam/") != 0) return Reply(fd, 404, "not found");
    const std::string rest = target.substr(5);
    const std::string name = rest.substr(0, rest.find('?'));
    // The query's "file" and "offset" values.
    auto value = [&rest](const std::string& key) {
      const std::size_t at = rest.find(key + "=");
      return at == std::string::npos ? std::string() : rest.substr(at + key.size() + 1, rest.find('&', at) - at - key.size() - 1);
    };
    const std::string file = value("file");
    const int64_t offset = std::strtoll(value("offset").c_str(), nullptr, 10);
    bool ok = false;
    if (name == "newfeed") {
      std::vector<std::string> names;
      for (const auto& e : std::filesystem::directory_iterator(folder_))
        if (IsIndexFileName(e.path().filename().string())) names.push_back(e.path().filename().string());
      std::sort(names.begin(), names.end());
      if (names.empty()) return Reply(fd, 404, "none");
      bool okLast = false;
      std::string body = FileBytes(folder_ / names.front(), 0, 16, ok) + FileBytes(folder_ / names.back(), -16, 16, okLast);
      return ok && okLast ? Reply(fd, 200, body) : Reply(fd, 404, "none");
    }
    if (name == "header" || name == "footer" || name == "vljpeg") {
      if (file.find('/') != std::string::npos) return Reply(fd, 404, "bad");
      const auto path = folder_ / file;
      if (name == "header") {
        std::string body = FileBytes(path, offset, 48, ok);
        return ok ? Reply(fd, 200, body) : Reply(fd, 404, "none");
      }
      if (name == "footer") {
        std::string bytes = FileBytes(path, offset, 4, ok);
        if (!ok) return Reply(fd, 404, "none");
        uint32_t value = 0;
        std::memcpy(&value, bytes.data(), 4);
        std::ifstream in(path, std::ios::binary | std::ios::ate);
        const int64_t size = static_cast<int64_t>(in.tellg());
        const int64_t after = (offset < 0 ? size + offset : offset) + 4;
        const uint32_t start = static_cast<uint32_t>(after - value);
        return Reply(fd, 200, std::string(reinterpret_cast<const char*>(&start), 4));
      }
      std::string header = FileBytes(path, offset, 48, ok);
      if (!ok) return Reply(fd, 404, "none");
      uint32_t length = 0;
      std::memcpy(&length, header.data() + 4, 4);
      if (length < 48 || length > (8u << 20)) return Reply(fd, 404, "none");
      std::string rest_ = FileBytes(path, offset + 48, length - 48, ok);
      return ok ? Reply(fd, 200, header + rest_) : Reply(fd, 404, "none");
    }
    if (IsIndexFileName(name)) {
      std::ifstream in(folder_ / name, std::ios::binary);
      if (!in) return Reply(fd, 404, "none");
      return Reply(fd, 200, {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()});
    }
    Reply(fd, 404, "none");
  }

  // The status a failing request gets (-1: none at all), or 0 to serve it.
  int TakeFault(const std::string& request) {
    std::lock_guard<std::mutex> guard(faultLock_);
    if (faultsLeft_ <= 0 || request.compare(0, 4, "GET ") != 0) return 0;
    const std::string target = request.substr(4, request.find(' ', 4) - 4);
    if (target.find(faultPart_) == std::string::npos) return 0;
    --faultsLeft_;
    return faultStatus_;
  }

  Mode mode_;
  std::filesystem::path folder_;
  mutable std::mutex faultLock_;
  std::string faultPart_;  // guarded by faultLock_
  int faultStatus_ = 0;    // guarded by faultLock_
  int faultsLeft_ = 0;     // guarded by faultLock_
  int listener_ = -1;
  int port_ = 0;
  std::atomic<bool> stop_{false};
  std::atomic<int> requests_{0};
  std::vector<int> held_;
  std::thread thread_;
};

// A moment in the middle of an hour, so that small offsets stay in one hour file.
constexpr int64_t kHourStart = 1796738400;  // 2026-12-08 14:00:00 UTC

}  // namespace velmora::playtest
