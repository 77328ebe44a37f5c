#include "net/http_handler.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <ctime>
#include <limits>
#include <optional>

#include "app/log.h"
#include "net/http_request.h"
#include "net/http_response.h"
#include "recording/format.h"
#include "recording/format_reader.h"

namespace velmora::net {

void FileHandle::reset() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

namespace {

// A regular file directly in the folder, not a link (a link could lead out of it), not
// a pipe or device (opening those could block or never end).
bool IsRegularFile(const std::string& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

void AppendEntry(std::string& body, const IndexEntry& entry) {
  uint8_t bytes[kIndexEntryBytes];
  entry.ToBytes(bytes);
  body.append(reinterpret_cast<const char*>(bytes), sizeof bytes);
}

// The newest record of the folder: the last entry of its greatest index file and the
// record it names in the data file of the entry's hour.
bool ReadNewestImage(const std::string& folder, const std::string& last, std::string& body) {
  RecordFileReader index;
  if (!IsRegularFile(folder + "/" + last) || !index.openIndex(folder + "/" + last, nullptr)) return false;
  IndexEntry entry;
  if (index.readLastEntry(entry) != RecordStatus::ok) return false;
  if (entry.offset > static_cast<uint64_t>(std::numeric_limits<int64_t>::max())) return false;
  const std::filesystem::path dataPath = DataFilePath(folder, HourKey(entry.time));
  RecordFileReader data;
  if (!IsRegularFile(dataPath.string()) || !data.openFiles(dataPath, {}, nullptr)) return false;
  Record record;
  if (data.readRecord(static_cast<int64_t>(entry.offset), record) != RecordStatus::ok) return false;
  body.assign(reinterpret_cast<const char*>(record.jpeg.data()), record.jpeg.size());
  return true;
}

bool ServeNewestImage(const std::string& folder, std::string& body) {
  std::string first, last;
  if (!BoundaryIndexFiles(folder, first, last)) return false;
  return ReadNewestImage(folder, last, body);
}

NewestImageCache::Stamp StampOf(const struct stat& st) {
  return NewestImageCache::Stamp{static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino),
                                 static_cast<uint64_t>(st.st_size),
                                 int64_t{st.st_mtim.tv_sec} * 1000000000 + st.st_mtim.tv_nsec};
}

// A folder changed less than this long before it was listed may change again without a
// new time (the file system's clock moves in ticks): its listing is not kept.
constexpr int64_t kSettledNs = 2000000000;

int64_t NowNs() {
  struct timespec now {};
  ::clock_gettime(CLOCK_REALTIME, &now);
  return int64_t{now.tv_sec} * 1000000000 + now.tv_nsec;
}

bool ServeNewFeed(const std::string& folder, std::string& body) {
  std::string first, last;
  if (!BoundaryIndexFiles(folder, first, last)) return false;
  RecordFileReader firstIndex, lastIndex;
  if (!IsRegularFile(folder + "/" + first) || !IsRegularFile(folder + "/" + last)) return false;
  if (!firstIndex.openIndex(folder + "/" + first, nullptr) ||
      !lastIndex.openIndex(folder + "/" + last, nullptr))
    return false;
  IndexEntry head, tail;
  if (firstIndex.readEntry(0, head) != RecordStatus::ok) return false;
  if (lastIndex.readLastEntry(tail) != RecordStatus::ok) return false;
  body.clear();
  AppendEntry(body, head);
  AppendEntry(body, tail);
  return true;
}

enum class RecordPart { kRecord, kHeader, kFooter };

bool ServeRecordPart(const std::string& folder, std::string_view name, RecordPart part,
                     std::string& body) {
  const RecordQuery query = ParseRecordQuery(name);
  if (!IsPlainFileName(query.file)) return false;
  const std::string path = folder + "/" + query.file;
  RecordFileReader reader;
  if (!IsRegularFile(path) || !reader.openFiles(path, {}, nullptr)) return false;
  switch (part) {
    case RecordPart::kRecord: {
      RecordHeader header;
      uint64_t at = 0;
      // Only a real record goes out: bytes at an offset inside or between records would
      // otherwise be sent as one, with whatever length they happen to hold.
      if (reader.readHeader(query.offset, header, &at) != RecordStatus::ok) return false;
      if (!HasValidRecordLength(header)) return false;
      body.resize(header.recordLength);
      return reader.readData(at, body.data(), body.size()) == RecordStatus::ok;
    }
    case RecordPart::kHeader: {
      RecordHeader header;
      uint64_t at = 0;
      // A header with another magic is sent all the same: the remote reader tells "no
      // record here" from "no answer" by it.
      const RecordStatus status = reader.readHeader(query.offset, header, &at);
      if (status != RecordStatus::ok && status != RecordStatus::badMagic) return false;
      body.resize(kRecordHeaderBytes);
      return reader.readData(at, body.data(), body.size()) == RecordStatus::ok;
    }
    case RecordPart::kFooter: {
      uint64_t start = 0;
      if (reader.readTrailer(query.offset, start) != RecordStatus::ok) return false;
      // Four bytes, little-endian, as the remote reader expects.
      const uint32_t value = static_cast<uint32_t>(start);
      body.assign(reinterpret_cast<const char*>(&value), sizeof value);
      return true;
    }
  }
  return false;
}

bool ServeWholeFile(const std::string& folder, const std::string& name, HttpReply& reply) {
  if (!IsPlainFileName(name)) return false;
  const std::string path = folder + "/" + name;
  int fd;
  do {
    fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return false;
  FileHandle file(fd);
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) return false;
  reply.file = std::move(file);
  reply.fileLength = static_cast<uint64_t>(st.st_size);
  return true;
}

}  // namespace

bool BoundaryIndexFiles(const std::string& folder, std::string& first, std::string& last) {
  DIR* dir = ::opendir(folder.c_str());
  if (dir == nullptr) return false;
  first.clear();
  last.clear();
  while (const dirent* entry = ::readdir(dir)) {
    std::string_view name(entry->d_name);
    if (!IsIndexFileName(name)) continue;
    if (first.empty() || name < first) first = name;
    if (last.empty() || name > last) last = name;
  }
  ::closedir(dir);
  return !first.empty();
}

bool NewestImageCache::Serve(const std::string& folder, std::string& body) {
  struct stat st {};
  // The folder itself may be a link (a recording device's folder): its target counts.
  if (::stat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return false;
  Stamp folderStamp = StampOf(st);
  folderStamp.size = 0;  // a folder's size says nothing of its files
  std::string last;
  {
    std::lock_guard<std::mutex> guard(lock_);
    auto found = entries_.find(folder);
    if (found != entries_.end() && found->second.folder == folderStamp) last = found->second.lastIndex;
  }
  const bool listed = last.empty();
  if (listed) {
    std::string first;
    if (!BoundaryIndexFiles(folder, first, last)) return false;
    if (NowNs() - folderStamp.modifiedNs < kSettledNs) folderStamp = Stamp{};
  }
  const std::string indexPath = folder + "/" + last;
  if (::lstat(indexPath.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
  const Stamp indexStamp = StampOf(st);
  std::shared_ptr<const std::string> image;
  {
    std::lock_guard<std::mutex> guard(lock_);
    auto found = entries_.find(folder);
    if (found != entries_.end() && found->second.lastIndex == last && found->second.index == indexStamp)
      image = found->second.image;
  }
  const bool read = !image;
  if (read) {
    auto bytes = std::make_shared<std::string>();
    if (!ReadNewestImage(folder, last, *bytes)) return false;
    image = std::move(bytes);
  }
  if (listed || read) {
    std::lock_guard<std::mutex> guard(lock_);
    if (entries_.size() >= kMaxFolders && entries_.find(folder) == entries_.end()) entries_.clear();
    entries_[folder] = Entry{folderStamp, last, indexStamp, image};
  }
  body = *image;
  return true;
}

bool ServeNodeFile(const TreeSnapshot& tree, const std::string& canonicalPath, HttpReply& reply,
                   std::string& contentType, NewestImageCache* images) {
  std::optional<FileTarget> target = SplitTarget(canonicalPath);
  if (!target || !tree.isNodeFolder(target->folder)) return false;
  // Served only from a folder reached by the recorder's own rule: real folders all the
  // way down, where a recording device's folder alone may be a link.
  if (CheckTreeFolder(tree.recordingsFolder, target->folder, tree.isDeviceFolder(target->folder)) != 0)
    return false;
  const std::string folder = tree.recordingsFolder + target->folder;
  const std::string& name = target->name;
  const std::string logPath = LogSafe(canonicalPath);

  if (name == "image.jpg") {
    if (!(images != nullptr ? images->Serve(folder, reply.body) : ServeNewestImage(folder, reply.body))) return false;
    contentType = kTypeJpeg;
    return true;
  }
  if (name == "newfeed") {
    if (!ServeNewFeed(folder, reply.body)) return false;
    Log("HTTP 200 [%s]", logPath.c_str());
    contentType = kTypeBinary;
    return true;
  }
  const std::string_view prefix = std::string_view(name).substr(0, 6);
  if (prefix == "vljpeg" || prefix == "header" || prefix == "footer") {
    const RecordPart part = prefix == "vljpeg"   ? RecordPart::kRecord
                            : prefix == "header" ? RecordPart::kHeader
                                                 : RecordPart::kFooter;
    if (!ServeRecordPart(folder, name, part, reply.body)) return false;
    reply.recordSendBuffer = part == RecordPart::kRecord;
    Log("HTTP 200 [%s] (size=%lu)", logPath.c_str(), static_cast<unsigned long>(reply.body.size()));
    contentType = kTypeBinary;
    return true;
  }
  if (!ServeWholeFile(folder, name, reply)) return false;
  Log("HTTP 200 [%s] (size=%lu)", logPath.c_str(), static_cast<unsigned long>(reply.fileLength));
  contentType = kTypeBinary;
  return true;
}

HttpReply BusyReply(std::time_t now) {
  HttpReply reply;
  reply.answer = true;
  reply.status = 503;
  reply.body = ServiceUnavailablePage();
  reply.header = ResponseHeader(503, kTypeHtml, reply.body.size(), now, RetryAfterLine());
  return reply;
}

bool IsMonitorPath(std::string_view path) { return path == "/metrics" || path == "/healthz"; }

HttpReply HandleRequest(std::string_view received, const TreeSnapshot& tree, const HttpAuth& auth, std::time_t now,
                        NewestImageCache* images, const HttpRequestContext* context) {
  HttpReply reply;
  const std::optional<std::string_view> path = GetRequestPath(RequestLine(received));
  if (!path) return reply;  // not a GET: closed without an answer
  reply.answer = true;

  // The metrics collector's address reads /metrics without the login; nothing else.
  const bool metricsClient = *path == "/metrics" && context != nullptr && !auth.metricsAddress.empty() &&
                             context->clientAddress == auth.metricsAddress;
  if (auth.required() && !metricsClient && !BasicAuthMatches(received, auth.user, auth.password)) {
    Log("HTTP 401 [%s]", LogSafe(*path).c_str());
    reply.status = 401;
    reply.body = UnauthorizedPage();
    reply.header = ResponseHeader(401, kTypeHtml, reply.body.size(), now, AuthenticateLine());
    return reply;
  }

  std::string contentType;
  if (IsMonitorPath(*path) && context != nullptr && context->monitor) {
    const MonitorState state = context->monitor();
    if (*path == "/metrics") {
      reply.status = 200;
      reply.body = MetricsText(tree, state);
      contentType = kTypeMetrics;
    } else {
      HealthAnswer health = CheckHealth(tree, state);
      reply.status = health.healthy ? 200 : 503;
      reply.body = std::move(health.body);
      contentType = kTypeText;
    }
    // Every poll must see the state of its moment, never a cached answer.
    reply.header = ResponseHeader(reply.status, contentType, reply.body.size(), now, "Cache-Control: no-cache\r\n");
    return reply;
  }
  if (*path == "/nvr.xml") {
    reply.status = 200;
    reply.body = tree.deviceListing;
    contentType = kTypeXml;
  } else if (*path == "/" || *path == "/index.html") {
    reply.status = 200;
    reply.body = tree.thumbnailPage;
    contentType = kTypeHtml;
  } else {
    std::optional<std::string> canonical = CanonicalizePath(*path);
    if (canonical && ServeNodeFile(tree, *canonical, reply, contentType, images)) {
      reply.status = 200;
    } else {
      const std::string shown = canonical ? *canonical : std::string(*path);
      Log("HTTP 404 [%s]", LogSafe(shown).c_str());
      reply.status = 404;
      reply.file.reset();
      reply.fileLength = 0;
      reply.recordSendBuffer = false;
      reply.body = NotFoundPage(shown);
      contentType = kTypeHtml;
    }
  }
  reply.header = ResponseHeader(reply.status, contentType, reply.bodyLength(), now);
  return reply;
}

}  // namespace velmora::net
