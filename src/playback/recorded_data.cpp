#include "playback/recorded_data.h"

#include <fnmatch.h>

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <new>
#include <system_error>

#include "app/helpers.h"
#include "app/log.h"
#include "app/messages.h"
#include "app/program_signals.h"
#include "media/jpeg.h"
#include "model/group_record.h"
#include "recording/format_reader.h"

namespace velmora {

namespace {

// The data-file name of a key as a remote request's "file" value.
std::string DataFileName(const std::string& key) { return key + kDataFileExtension; }

std::string RecordQuery(const char* what, const std::string& key, int64_t offset) {
  char query[128];
  std::snprintf(query, sizeof query, "%s?file=%s&offset=%" PRId64, what, DataFileName(key).c_str(),
                offset);
  return query;
}

// Names in `folder` matching `wildcard`, sorted by byte order.
bool ListMatching(const std::filesystem::path& folder, const std::string& wildcard,
                  std::vector<std::string>& names) {
  std::error_code ec;
  std::filesystem::directory_iterator it(folder, ec);
  if (ec) return false;
  for (const std::filesystem::directory_iterator end; it != end; it.increment(ec)) {
    if (ec) break;
    std::string name = it->path().filename().string();
    if (::fnmatch(wildcard.c_str(), name.c_str(), FNM_PERIOD) == 0) names.push_back(std::move(name));
  }
  std::sort(names.begin(), names.end());
  return true;
}

// Smallest / greatest name of the folder's data files after / before the key's file name.
bool NeighbourDataFile(const std::filesystem::path& folder, const std::string& key, bool next,
                       std::string& result) {
  std::vector<std::string> names;
  if (!ListMatching(folder, std::string("*") + kDataFileExtension, names)) return false;
  const std::string current = DataFileName(key);
  if (next) {
    auto it = std::upper_bound(names.begin(), names.end(), current);
    for (; it != names.end(); ++it) {
      if (IsDataFileName(*it)) {
        result = it->substr(0, kHourKeyLength);
        return true;
      }
    }
  } else {
    auto it = std::lower_bound(names.begin(), names.end(), current);
    while (it != names.begin()) {
      --it;
      if (IsDataFileName(*it)) {
        result = it->substr(0, kHourKeyLength);
        return true;
      }
    }
  }
  return false;
}

bool WaitUnlessShutdown(std::chrono::milliseconds wait) {
  if (wait.count() <= 0) return !programSignals().shutdown.isSet();
  return !programSignals().shutdown.wait(wait);
}

}  // namespace

bool IsRemoteSource(std::string_view source) { return StartsWithNoCase(source, "http://"); }

std::string PlaybackSource(const GroupRecord& node, const std::string& pathData) {
  if (node.kind == EntryKind::NASDevice) return node.location;
  if (node.kind == EntryKind::RemovableFolder) return node.path;
  return DeviceFolder(pathData, node.path).string();
}

int FindBoundaryFiles(const std::string& pattern, std::string& first, std::string& last) {
  ProfileTimer profile("FindBoundaryFiles [" + pattern + "]");
  const std::filesystem::path path(pattern);
  std::vector<std::string> names;
  if (!ListMatching(path.parent_path(), path.filename().string(), names) || names.empty()) return 1;
  first = names.front();
  last = names.back();
  return 0;
}

bool HourKeyTime(std::string_view key, int64_t& seconds) {
  if (!IsHourKey(key)) return false;
  auto two = [&](std::size_t at) { return (key[at] - '0') * 10 + (key[at + 1] - '0'); };
  const int yy = two(0), month = two(2), day = two(4), hour = two(6);
  if (month < 1 || month > 12 || day < 1 || day > 31 || hour > 23) return false;
  struct tm t {};
  t.tm_year = (yy >= 70 ? 1900 + yy : 2000 + yy) - 1900;
  t.tm_mon = month - 1;
  t.tm_mday = day;
  t.tm_hour = hour;
  seconds = static_cast<int64_t>(::timegm(&t));
  return true;
}

RemoteHooks DefaultRemoteHooks() {
  RemoteHooks hooks;
  // Each of the 16 attempts of a remote read waits at most this long for its answer.
  hooks.get = [](const std::string& url, const std::function<bool()>& abandon) {
    return http_get(url, std::string(), std::string(), kRemoteRequestTimeoutMs, abandon);
  };
  hooks.sleep = WaitUnlessShutdown;
  return hooks;
}

RecordedData::RecordedData()
    : remote_(DefaultRemoteHooks()), status_([](const std::string& text) { PostStatus(text); }) {}

void RecordedData::setSources(std::vector<std::string> sources) {
  if (sources.size() > static_cast<std::size_t>(kMaxPlaybackViews)) sources.resize(kMaxPlaybackViews);
  sources_ = std::move(sources);
  remote_flags_.assign(sources_.size(), false);
  for (std::size_t i = 0; i < sources_.size(); ++i) remote_flags_[i] = IsRemoteSource(sources_[i]);
  clearHeaderCache();
  damageReported_.clear();
  imageFault_ = ReadFault::kNone;
  readFailure_ = ReadFault::kNone;
}

const std::string& RecordedData::source(int view) const {
  static const std::string kNone;
  if (view < 0 || view >= viewCount()) return kNone;
  return sources_[static_cast<std::size_t>(view)];
}

bool RecordedData::remote(int view) const {
  return view >= 0 && view < viewCount() && remote_flags_[static_cast<std::size_t>(view)];
}

bool RecordedData::FirstDamageReport(int view, const std::string& hourKey, uint64_t offset) {
  // A file damaged all through would grow the set without end: past this many the
  // reports start over.
  constexpr std::size_t kMaxRemembered = 4096;
  if (damageReported_.size() >= kMaxRemembered) damageReported_.clear();
  return damageReported_.emplace(view, hourKey, offset).second;
}

void RecordedData::clearHeaderCache() {
  for (auto& entry : cache_) entry = HeaderCache{};
  for (auto& entry : records_) entry = RecordCache{};
}

std::string RecordedData::folderOf(int view) const { return source(view); }

std::string RecordedData::RemoteUrl(int view, const std::string& what) const {
  std::string url = source(view);
  if (!url.empty() && url.back() == '/') url.pop_back();
  url += '/';
  url += what;
  return url;
}

void RecordedData::Status(const std::string& text) const {
  if (status_) status_(text);
}

bool RecordedData::RetryWait(std::chrono::milliseconds wait) {
  if (!interrupt_) return !remote_.sleep || remote_.sleep(wait);
  // In slices, so that newer work ends the wait within one of them.
  constexpr std::chrono::milliseconds kSlice{20};
  std::chrono::milliseconds left = wait;
  do {
    const std::chrono::milliseconds slice = std::min(left, kSlice);
    if (remote_.sleep && !remote_.sleep(slice)) return false;
    if (interrupt_()) {
      interrupted_ = true;
      return false;
    }
    left -= slice;
  } while (left.count() > 0);
  return true;
}

HttpResult RecordedData::RemoteGet(const char* label, const std::string& url) {
  HttpResult result;
  interrupted_ = false;
  for (int attempt = 0; attempt < kRemoteAttempts; ++attempt) {
    if (interrupt_ && interrupt_()) {
      interrupted_ = true;
      break;
    }
    result = remote_.get ? remote_.get(url, interrupt_) : HttpResult{};
    if (result.status != -1) return result;
    if (interrupt_ && interrupt_()) {
      interrupted_ = true;
      break;
    }
    Log("%s: retry=%d", label, attempt);
    if (!RetryWait(attempt * kRemoteRetryStep)) break;
  }
  if (interrupted_) Log("%s: given up for newer work", label);
  return result;
}

ReadFault RecordedData::Failed(ReadFault fault) {
  if (fault == ReadFault::kUnreadable || fault == ReadFault::kNoAnswer || fault == ReadFault::kGivenUp) {
    readFailure_ = fault;
  }
  return fault;
}

ReadFault RecordedData::RemoteFault(const HttpResult& reply) const {
  if (reply.status == -1) return interrupted_ ? ReadFault::kGivenUp : ReadFault::kNoAnswer;
  return ReadFault::kUnreadable;
}

int RecordedData::ReadHeader(const std::string& hourKey, int view, int64_t offset,
                             RecordHeader& header, int* httpStatus) {
  if (httpStatus != nullptr) *httpStatus = 0;
  if (view < 0 || view >= viewCount()) return -2;
  if (remote(view)) {
    const std::string request = RemoteUrl(view, RecordQuery("header", hourKey, offset));
    HeaderCache& cached = cache_[static_cast<std::size_t>(view)];
    if (!cached.request.empty() && cached.request == request) {
      header = cached.header;
      if (httpStatus != nullptr) *httpStatus = 200;
      return 0;
    }
    if (wholeRecordReads_) {
      // The image's request, made early: its retries and its failures are the image
      // read's, which reports them as its own when the walk gets there.
      const std::string recordRequest = RemoteUrl(view, RecordQuery("vljpeg", hourKey, offset));
      HttpResult whole = RemoteGet("ReadJpeg", recordRequest);
      RecordCache& kept = records_[static_cast<std::size_t>(view)];
      kept = RecordCache{};
      if (whole.status == 200 && whole.body.size() >= kRecordHeaderBytes) {
        header = RecordHeader::FromBytes(whole.body.data());
        if (IsValidHeader(header) && HasValidRecordLength(header) && whole.body.size() == header.recordLength) {
          if (httpStatus != nullptr) *httpStatus = 200;
          cached.request = request;
          cached.header = header;
          kept.request = recordRequest;
          kept.reply = std::move(whole);
          return 0;
        }
      } else if (whole.status != 404 && !interrupted_) {
        kept.request = recordRequest;
        kept.reply = std::move(whole);  // no answer, or an error
      }
      // Whatever else came, the header request says what is there, as without this.
    }
    const HttpResult reply = RemoteGet("ReadHeader", request);
    if (httpStatus != nullptr) *httpStatus = reply.status;
    // "Not found" is how another instance says there is nothing more in an hour.
    if (reply.status != 200 && reply.status != 404) Failed(RemoteFault(reply));
    if (reply.status != 200 || reply.body.size() < kRecordHeaderBytes ||
        !IsValidHeader(header = RecordHeader::FromBytes(reply.body.data()))) {
      // No record here for the walk: a failure kept for its image would be stale by the
      // time anything reads that place again.
      records_[static_cast<std::size_t>(view)] = RecordCache{};
      return reply.status != 200 ? -2 : -1;
    }
    cached.request = request;
    cached.header = header;
    return 0;
  }

  RecordFileReader reader;
  if (!reader.openFiles(DataFilePath(folderOf(view), hourKey), {}, "ReadHeader: CreateFile")) {
    Failed(ReadFault::kUnreadable);
    return -2;
  }
  uint64_t at = 0;
  const RecordStatus status = reader.readHeader(offset, header, &at);
  switch (status) {
    case RecordStatus::ok:
      // A record that reaches past the end is still being written (or was torn by a
      // failed write): readers stop at the last complete record.
      if (HasValidRecordLength(header) && at + header.recordLength > reader.dataSize()) return -1;
      return 0;
    case RecordStatus::badMagic:
      return 0;  // callers check the magic
    case RecordStatus::incomplete:
      return -1;
    case RecordStatus::badOffset:
      Status(kTextSeekFailed);
      Failed(ReadFault::kUnreadable);
      return -2;
    case RecordStatus::readError:
      Status(kTextReadHeaderFailed);
      Failed(ReadFault::kUnreadable);
      return -2;
    default:
      Failed(ReadFault::kUnreadable);
      return -2;
  }
}

int RecordedData::ReadFooter(const std::string& hourKey, int view, int64_t offset,
                             uint64_t& recordStart, int* httpStatus) {
  if (httpStatus != nullptr) *httpStatus = 0;
  if (view < 0 || view >= viewCount()) return -2;
  if (remote(view)) {
    const HttpResult reply = RemoteGet("ReadFooter", RemoteUrl(view, RecordQuery("footer", hourKey, offset)));
    if (httpStatus != nullptr) *httpStatus = reply.status;
    if (reply.status != 200 && reply.status != 404) Failed(RemoteFault(reply));
    if (reply.status != 200) return -2;
    if (reply.body.size() < 4) return -1;
    uint32_t start = 0;
    std::memcpy(&start, reply.body.data(), sizeof start);
    recordStart = start;
    return 0;
  }

  RecordFileReader reader;
  if (!reader.openFiles(DataFilePath(folderOf(view), hourKey), {}, "ReadFooter: CreateFile")) {
    Failed(ReadFault::kUnreadable);
    return -2;
  }
  uint64_t start = 0;
  const RecordStatus status = reader.readTrailer(offset, start);
  switch (status) {
    case RecordStatus::ok:
      // Kept as an unsigned 32-bit number, as the trailer arithmetic of the format does.
      recordStart = static_cast<uint32_t>(start);
      return 0;
    case RecordStatus::incomplete:
      return -1;
    case RecordStatus::badOffset:
      Status(kTextSeekFailed);
      Failed(ReadFault::kUnreadable);
      return -2;
    case RecordStatus::readError:
      Status(kTextReadTrailerFailed);
      Failed(ReadFault::kUnreadable);
      return -2;
    case RecordStatus::badLength:
      // The four bytes there cannot be the trailer of a record (torn or foreign data).
      Log("ReadFooter: bad trailer; file=%s, offset=%" PRId64, hourKey.c_str(), offset);
      return -2;
    default:
      return -2;
  }
}

bool RecordedData::ReadJpegBytes(const IndexEntry& position, int view, std::vector<uint8_t>& jpeg,
                                 RecordHeader& header) {
  imageFault_ = ReadRecordJpeg(position, view, jpeg, header);
  Failed(imageFault_);
  return imageFault_ == ReadFault::kNone;
}

ReadFault RecordedData::ReadRecordJpeg(const IndexEntry& position, int view, std::vector<uint8_t>& jpeg,
                                       RecordHeader& header) {
  if (view < 0 || view >= viewCount() || position.empty()) return ReadFault::kUnreadable;
  const std::string key = HourKey(position.time);
  if (position.offset > static_cast<uint64_t>(INT64_MAX)) {
    Status(kTextSeekFailed);
    return ReadFault::kUnreadable;
  }
  const int64_t offset = static_cast<int64_t>(position.offset);
  return remote(view) ? ReadRemoteRecordJpeg(view, key, offset, jpeg, header)
                      : ReadLocalRecordJpeg(view, key, offset, jpeg, header);
}

// The peer sends the whole record at the offset (header, JPEG, trailer) or an error.
ReadFault RecordedData::ReadRemoteRecordJpeg(int view, const std::string& key, int64_t offset,
                                             std::vector<uint8_t>& jpeg, RecordHeader& header) {
  const std::string request = RemoteUrl(view, RecordQuery("vljpeg", key, offset));
  HttpResult reply;
  RecordCache& kept = records_[static_cast<std::size_t>(view)];
  if (!kept.request.empty() && kept.request == request) {
    reply = std::move(kept.reply);  // asked for by the header read of the same place
    kept = RecordCache{};
  } else {
    reply = RemoteGet("ReadJpeg", request);
  }
  if (reply.status != 200 && interrupted_) return ReadFault::kGivenUp;  // not a failure of the peer
  if (reply.status != 200) {
    Log("ReadJpeg: HTTP status %u for %s", static_cast<unsigned>(reply.status), request.c_str());
    Status(kTextReadJpegFailed);
    return RemoteFault(reply);
  }
  // The peer sends a whole record or an error: a shorter body did not arrive whole.
  if (reply.body.size() < kRecordHeaderBytes) return ReadFault::kUnreadable;
  header = RecordHeader::FromBytes(reply.body.data());
  if (!IsValidHeader(header)) {
    Log("ReadJpeg: RecordType error; offset=%" PRId64 ", dw=%u", offset,
        static_cast<unsigned>(reply.body.size()));
    Status(kTextWrongFormat);
    return ReadFault::kDamaged;
  }
  const uint64_t length = JpegLength(header);
  if (!IsValidJpegLength(length)) return ReadFault::kDamaged;
  if (reply.body.size() < kRecordHeaderBytes + length) return ReadFault::kUnreadable;
  try {
    jpeg.assign(reply.body.begin() + kRecordHeaderBytes,
                reply.body.begin() + static_cast<std::ptrdiff_t>(kRecordHeaderBytes + length));
  } catch (const std::bad_alloc&) {
    Status(kTextNoJpegBuffer);
    return ReadFault::kUnreadable;
  }
  return ReadFault::kNone;
}

// The record at the offset of the hour's data file: its header first (a damaged length
// is refused before anything is allocated for it), then the whole record.
ReadFault RecordedData::ReadLocalRecordJpeg(int view, const std::string& key, int64_t offset,
                                            std::vector<uint8_t>& jpeg, RecordHeader& header) {
  RecordFileReader reader;
  if (!reader.openFiles(DataFilePath(folderOf(view), key), {}, "ReadJpeg: CreateFile")) return ReadFault::kUnreadable;
  uint64_t at = 0;
  RecordStatus status = reader.readHeader(offset, header, &at);
  switch (status) {
    case RecordStatus::ok:
      break;
    case RecordStatus::badMagic:
      Log("ReadJpeg: RecordType error; offset=%" PRId64 ", dw=%u", offset,
          static_cast<unsigned>(kRecordHeaderBytes));
      Status(kTextWrongFormat);
      return ReadFault::kDamaged;
    case RecordStatus::badOffset:
      Status(kTextSeekFailed);
      return ReadFault::kUnreadable;
    case RecordStatus::incomplete:
      // Fewer than 48 bytes there: the dw of the log line is what the file still holds.
      // The file no longer reaches the position (it was cut or replaced meanwhile).
      {
        const uint64_t size = reader.dataSize();
        const unsigned got = at < size ? static_cast<unsigned>(std::min<uint64_t>(size - at, 47)) : 0u;
        Log("ReadJpeg: short header; offset=%" PRId64 ", dw=%u", offset, got);
      }
      Status(kTextReadHeaderFailed);
      return ReadFault::kUnreadable;
    default:
      Status(kTextReadHeaderFailed);
      return ReadFault::kUnreadable;
  }
  if (!HasValidRecordLength(header)) {
    Log("ReadJpeg: bad record length %u; offset=%" PRId64, header.recordLength, offset);
    Status(kTextReadJpegFailed);
    return ReadFault::kDamaged;
  }
  Record record;
  status = reader.readRecord(offset, record);
  switch (status) {
    case RecordStatus::ok:
      jpeg = std::move(record.jpeg);
      header = record.header;
      return ReadFault::kNone;
    case RecordStatus::noMemory:
      Status(kTextNoJpegBuffer);
      return ReadFault::kUnreadable;
    case RecordStatus::badTrailer:
      Log("ReadJpeg: trailer does not match; offset=%" PRId64 ", length=%u", offset, header.recordLength);
      Status(kTextReadJpegFailed);
      return ReadFault::kDamaged;
    default:
      Status(kTextReadJpegFailed);
      return ReadFault::kUnreadable;
  }
}

std::unique_ptr<ImageHolder> RecordedData::ReadJpeg(const IndexEntry& position, int view,
                                                    RecordHeader* header) {
  std::vector<uint8_t> jpeg;
  RecordHeader read;
  if (!ReadJpegBytes(position, view, jpeg, read)) return nullptr;
  if (header != nullptr) *header = read;
  std::unique_ptr<Image> image = ImageFromBuffer(jpeg.data(), jpeg.size());
  if (!image) {
    imageFault_ = ReadFault::kDamaged;  // read whole, but the JPEG does not decode
    return nullptr;
  }
  std::unique_ptr<ImageHolder> holder = ImageHolder::FromJpeg(jpeg.data(), jpeg.size());
  if (!holder) {
    Status(kTextNoJpegBuffer);
    imageFault_ = Failed(ReadFault::kUnreadable);
    return nullptr;
  }
  holder->image = std::move(image);
  holder->motion = read.hasMotion() ? 1 : 0;
  return holder;
}

bool RecordedData::NextHourFile(int view, const std::string& hourKey, std::string& next) {
  if (view < 0 || view >= viewCount()) return false;
  if (remote(view)) {
    int64_t t = 0;
    if (!HourKeyTime(hourKey, t)) return false;
    t += 3600;
    if (static_cast<double>(t) > feed_.end() + 3600.0) return false;
    next = HourKey(static_cast<int32_t>(t));
    return true;
  }
  return NeighbourDataFile(folderOf(view), hourKey, true, next);
}

bool RecordedData::PreviousHourFile(int view, const std::string& hourKey, std::string& previous) {
  if (view < 0 || view >= viewCount()) return false;
  if (remote(view)) {
    int64_t t = 0;
    if (!HourKeyTime(hourKey, t)) return false;
    t -= 3600;
    if (static_cast<double>(t) < feed_.start() - 3600.0) return false;
    previous = HourKey(static_cast<int32_t>(t));
    return true;
  }
  return NeighbourDataFile(folderOf(view), hourKey, false, previous);
}

bool RecordedData::ReadFeedBounds(int view, IndexEntry& first, IndexEntry& last) {
  if (view < 0 || view >= viewCount()) return false;
  if (remote(view)) {
    const HttpResult reply = remote_.get ? remote_.get(RemoteUrl(view, "newfeed"), interrupt_) : HttpResult{};
    if (reply.status != 200 || reply.body.size() != 2 * kIndexEntryBytes) return false;
    first = IndexEntry::FromBytes(reply.body.data());
    last = IndexEntry::FromBytes(reply.body.data() + kIndexEntryBytes);
    return !first.empty() && !last.empty();
  }
  const std::filesystem::path folder(folderOf(view));
  std::string smallest, greatest;
  if (FindBoundaryFiles((folder / (std::string("*") + kIndexFileExtension)).string(), smallest,
                        greatest) != 0) {
    return false;
  }
  RecordFileReader reader;
  if (!reader.openIndex(folder / smallest, "new_feed: CreateFile")) return false;
  if (reader.readEntry(0, first) != RecordStatus::ok) return false;
  if (!reader.openIndex(folder / greatest, "new_feed: CreateFile")) return false;
  if (reader.readLastEntry(last) != RecordStatus::ok) return false;
  return !first.empty() && !last.empty();
}

bool RecordedData::ReadIndexFile(int view, const std::string& hourKey, std::vector<uint8_t>& bytes) {
  bytes.clear();
  if (view < 0 || view >= viewCount()) return false;
  if (remote(view)) {
    HttpResult reply =
        remote_.get ? remote_.get(RemoteUrl(view, hourKey + kIndexFileExtension), interrupt_) : HttpResult{};
    // An hour without recordings has no index there ("not found"); that is no failure.
    if (reply.status == -1) Failed(interrupt_ && interrupt_() ? ReadFault::kGivenUp : ReadFault::kNoAnswer);
    if (reply.status != 200 && reply.status != 404 && reply.status != -1) Failed(ReadFault::kUnreadable);
    if (reply.status != 200) return false;
    bytes = std::move(reply.body);
  } else {
    // The whole file in one positioned read: the reader's data-file side reads any file
    // with the same bounds checks, and an index holds nothing but 16-byte entries.
    RecordFileReader reader;
    // A missing hour is normal (nothing was recorded then): no log line.
    if (!reader.openFiles(IndexFilePath(folderOf(view), hourKey), {}, nullptr)) return false;
    uint64_t size = reader.dataSize();
    size -= size % kIndexEntryBytes;
    try {
      bytes.resize(static_cast<std::size_t>(size));
    } catch (const std::bad_alloc&) {
      LogMemoryReport("graph_range");
      return false;
    }
    if (size > 0 && reader.readData(0, bytes.data(), bytes.size()) != RecordStatus::ok) {
      // The file shrank meanwhile (a delete pass removed it): nothing is used from it.
      bytes.clear();
      return false;
    }
  }
  bytes.resize(bytes.size() - bytes.size() % kIndexEntryBytes);
  return true;
}

bool RecordedData::LastCompleteRecord(int view, const std::string& hourKey, uint64_t& offset) {
  if (view < 0 || view >= viewCount() || remote(view)) return false;
  RecordFileReader reader;
  if (!reader.open(folderOf(view), hourKey, nullptr) || !reader.indexOpen()) return false;
  // The index never names a record whose write failed; walk back past entries that
  // point at bytes that are not (or not yet) a whole record.
  const uint64_t count = reader.entryCount();
  for (uint64_t i = count; i > 0 && count - i < 64; --i) {
    IndexEntry entry;
    if (reader.readEntry(i - 1, entry) != RecordStatus::ok) return false;
    RecordHeader header;
    if (reader.checkRecord(entry.offset, header) == RecordStatus::ok) {
      offset = entry.offset;
      return true;
    }
  }
  return false;
}

std::unique_ptr<ImageHolder> GetLastRecordedImage(const std::string& folder) {
  const std::filesystem::path dir(folder);
  std::string smallest, greatest;
  if (FindBoundaryFiles((dir / (std::string("*") + kIndexFileExtension)).string(), smallest, greatest) != 0) {
    return nullptr;
  }
  RecordFileReader index;
  if (!index.openIndex(dir / greatest, "GetLastRecordedImage: CreateFile")) return nullptr;
  IndexEntry entry;
  if (index.readLastEntry(entry) != RecordStatus::ok) return nullptr;
  if (entry.offset > static_cast<uint64_t>(INT64_MAX)) return nullptr;

  RecordFileReader data;
  if (!data.openFiles(DataFilePath(dir, HourKey(entry.time)), {}, "GetLastRecordedImage: CreateFile")) {
    return nullptr;
  }
  RecordHeader header;
  if (data.readHeader(static_cast<int64_t>(entry.offset), header) != RecordStatus::ok) return nullptr;
  const int64_t n = static_cast<int64_t>(header.recordLength) - static_cast<int64_t>(kRecordOverheadBytes);
  if (n < kMinJpegBytes || n > kMaxJpegBytes) {
    Log("%s: BAD SIZE; fpos=%" PRId64 " size=%d [%s]", "GetLastRecordedImage",
        static_cast<int64_t>(entry.offset), static_cast<int>(n), folder.c_str());
    return nullptr;
  }
  std::vector<uint8_t> jpeg;
  try {
    jpeg.resize(static_cast<std::size_t>(n));
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
  if (data.readData(entry.offset + kRecordHeaderBytes, jpeg.data(), jpeg.size()) != RecordStatus::ok) {
    return nullptr;
  }
  std::unique_ptr<ImageHolder> holder = ImageHolder::FromJpeg(jpeg.data(), jpeg.size());
  if (holder) holder->motion = header.hasMotion() ? 1 : 0;
  return holder;
}

std::shared_ptr<Image> RecordedImages::newestImage(const GroupRecord&, const std::string& folder) {
  std::unique_ptr<ImageHolder> holder = GetLastRecordedImage(folder);
  if (!holder || !holder->jpeg) return nullptr;
  std::unique_ptr<Image> image = ImageFromBuffer(holder->jpeg.get(), static_cast<std::size_t>(holder->length));
  return std::shared_ptr<Image>(std::move(image));
}

bool RecordedImages::lastRecordedImage(const GroupRecord& record, std::vector<uint8_t>& jpeg) {
  auto holder = GetLastRecordedImage(PlaybackSource(record, recordings_));
  if (!holder || !holder->jpeg || holder->length == 0) return false;
  jpeg.assign(holder->jpeg.get(), holder->jpeg.get() + holder->length);
  return true;
}

}  // namespace velmora
