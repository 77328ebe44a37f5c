// Shared pieces of the network tests: recordings written as the recorder writes them,
// a small device tree, and a raw HTTP client on 127.0.0.1 with bounded waits.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "model/group_record.h"
#include "recording/format.h"
#include "temp_dir.h"

namespace velmora::test {

// 2026-12-08 14:05:09 UTC: hour key 26120814.
constexpr int32_t kRecordTime = 1796738709;

// FF D8, bytes derived from the seed, FF D9.
inline std::vector<uint8_t> FakeJpeg(std::size_t length, uint8_t seed) {
  std::vector<uint8_t> jpeg(length);
  for (std::size_t i = 0; i < length; ++i) jpeg[i] = static_cast<uint8_t>(seed + i * 7);
  jpeg[0] = jpeg[length - 2] = 0xFF;
  jpeg[1] = 0xD8;
  jpeg[length - 1] = 0xD9;
  return jpeg;
}

inline void AppendBytes(const std::filesystem::path& path, const void* data, std::size_t length) {
  std::ofstream(path, std::ios::binary | std::ios::app)
      .write(static_cast<const char*>(data), static_cast<std::streamsize>(length));
}

struct WrittenRecord {
  uint64_t offset = 0;
  std::string bytes;  // the whole record: header, JPEG, trailer
  std::string jpeg;
};

// Appends one record and its index entry to the folder's hour files, as the recorder does.
inline WrittenRecord AppendRecord(const std::filesystem::path& folder, int32_t seconds,
                                  uint16_t milliseconds, const std::vector<uint8_t>& jpeg) {
  std::filesystem::create_directories(folder);
  const std::string key = HourKey(seconds);
  const std::filesystem::path data = DataFilePath(folder, key);
  std::error_code ec;
  const uint64_t offset = std::filesystem::exists(data, ec) ? std::filesystem::file_size(data) : 0;
  std::vector<uint8_t> record(jpeg.size() + kRecordOverheadBytes);
  std::copy(jpeg.begin(), jpeg.end(), record.begin() + kRecordHeaderBytes);
  const RecordTime time = RecordTimeAt(seconds, milliseconds);
  FillRecord(record.data(), static_cast<uint32_t>(jpeg.size()), time, 0, 0);
  AppendBytes(data, record.data(), record.size());
  uint8_t entry[kIndexEntryBytes];
  MakeIndexEntry(time, offset).ToBytes(entry);
  AppendBytes(IndexFilePath(folder, key), entry, sizeof entry);
  WrittenRecord written;
  written.offset = offset;
  written.bytes.assign(record.begin(), record.end());
  written.jpeg.assign(jpeg.begin(), jpeg.end());
  return written;
}

inline std::shared_ptr<GroupRecord> AddNode(GroupRecord& parent, int32_t kind, const std::string& name,
                                            bool enabled = true, bool recording = true,
                                            uint32_t updateDelay = 1000) {
  auto node = CreateRecord(kind, name);
  node->enabled = enabled;
  node->recording = recording;
  node->updateDelay = updateDelay;
  node->path = ComputePath(&parent, kind, name);
  InsertEntry(&parent, node);
  return node;
}

// root -> LocalNVR "All Views" -> group "Yard" -> Door (recording, 1000 ms), Lab (not recording).
struct SampleTree {
  std::shared_ptr<GroupRecord> root = CreateRecord(EntryKind::Root, kRootName);
  std::shared_ptr<GroupRecord> nvr;
  std::shared_ptr<GroupRecord> yard;
  std::shared_ptr<GroupRecord> door;
  std::shared_ptr<GroupRecord> lab;
  SampleTree() {
    nvr = AddNode(*root, EntryKind::LocalNVR, "All Views");
    yard = AddNode(*nvr, EntryKind::Group, "Yard");
    door = AddNode(*yard, EntryKind::Device, "Door", true, true, 1000);
    lab = AddNode(*yard, EntryKind::Device, "Lab", true, false, 1000);
  }
};

// A loopback port that was free a moment ago (0 when none could be had).
inline int FreePort() {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return 0;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  int port = 0;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
    port = ntohs(address.sin_port);
  }
  ::close(fd);
  return port;
}

// A connected TCP socket to 127.0.0.1:port, -1 on failure.
inline int ConnectLoopback(uint16_t port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(port);
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

// A connected TCP socket to 127.0.0.1:port from the loopback address `source`
// ("127.0.0.2", ...; the whole 127.0.0.0/8 is loopback), -1 on failure. A positive
// receiveBuffer is set before connecting, which keeps the window that small.
inline int ConnectFrom(const char* source, uint16_t port, int receiveBuffer = 0) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  if (receiveBuffer > 0) ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
  sockaddr_in local{};
  local.sin_family = AF_INET;
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(port);
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::inet_pton(AF_INET, source, &local.sin_addr) != 1 ||
      ::bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0 ||
      ::connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

// True when the peer has closed the socket or reset it (nothing else is read).
inline bool PeerGone(int fd, std::chrono::milliseconds wait = std::chrono::milliseconds(0)) {
  pollfd p{fd, POLLRDHUP, 0};
  return ::poll(&p, 1, static_cast<int>(wait.count())) > 0 && (p.revents & (POLLRDHUP | POLLHUP | POLLERR)) != 0;
}

// Reads until the peer closes, an error, or the time-out. `closed` tells whether the
// peer closed (end of stream or reset) before the time-out.
inline std::string ReadAll(int fd, std::chrono::milliseconds timeout, bool* closed = nullptr) {
  std::string out;
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  if (closed != nullptr) *closed = false;
  char buffer[65536];
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return out;
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) return out;
    const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
    if (n <= 0) {
      if (closed != nullptr) *closed = true;
      return out;
    }
    out.append(buffer, static_cast<std::size_t>(n));
  }
}

// Sends the request bytes and reads the whole answer.
inline std::string Exchange(uint16_t port, const std::string& request,
                            std::chrono::milliseconds timeout = std::chrono::milliseconds(5000),
                            bool* closed = nullptr) {
  const int fd = ConnectLoopback(port);
  if (fd < 0) return std::string();
  ::send(fd, request.data(), request.size(), MSG_NOSIGNAL);
  std::string answer = ReadAll(fd, timeout, closed);
  ::close(fd);
  return answer;
}

struct ParsedResponse {
  int status = 0;
  std::string head;
  std::string body;
  std::string header(const std::string& name) const {
    const std::string key = "\r\n" + name + ": ";
    const std::size_t at = head.find(key);
    if (at == std::string::npos) return std::string();
    const std::size_t start = at + key.size();
    return head.substr(start, head.find("\r\n", start) - start);
  }
};

inline ParsedResponse ParseResponse(const std::string& raw) {
  ParsedResponse r;
  const std::size_t end = raw.find("\r\n\r\n");
  if (end == std::string::npos) return r;
  r.head = raw.substr(0, end + 2);
  r.body = raw.substr(end + 4);
  if (raw.rfind("HTTP/1.0 ", 0) == 0) r.status = std::atoi(raw.c_str() + 9);
  return r;
}

inline ParsedResponse Get(uint16_t port, const std::string& path, const std::string& extraHeaders = {}) {
  return ParseResponse(Exchange(port, "GET " + path + " HTTP/1.0\r\n" + extraHeaders + "\r\n"));
}

}  // namespace velmora::test
