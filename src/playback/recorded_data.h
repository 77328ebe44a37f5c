// Recorded-data access: the one way recorded frames are found and read, whether they lie
// in a folder of hour files (the recordings folder, a network-storage folder, a folder on
// removable media) or on another instance that serves them over HTTP.
//
// Everything here except GetLastRecordedImage runs on the playback thread, which is also
// the only user of a RecordedData object and its remote header cache. Files are opened per
// call, read through the shared format reader (bounds-checked) and closed again; nothing
// here ever writes to a recording file.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <string_view>
#include <tuple>
#include <vector>

#include "app/installed.h"
#include "live/fetch.h"
#include "live/http_get.h"
#include "media/image.h"
#include "model/group_record.h"
#include "recording/format.h"

namespace velmora {

struct GroupRecord;

// Playback shows at most this many views at once.
constexpr int kMaxPlaybackViews = 16;

// Status texts of the recorded-data readers (string table).
constexpr const char* kTextReadHeaderFailed = "Playback can't read recorded data header!";     // 430
constexpr const char* kTextWrongFormat = "Wrong format for recorded data!";                     // 431
constexpr const char* kTextReadJpegFailed = "Playback can't read JPEG!";                        // 432
constexpr const char* kTextNoJpegBuffer = "Playback can't allocate JPEG buffer!";               // 433
constexpr const char* kTextSeekFailed = "Unable to move file pointer to recorded image!";       // 437
constexpr const char* kTextReadTrailerFailed = "Playback can't read recorded data trailer!";    // 439
constexpr const char* kTextNoImageFound = "(no image found)";                                   // 449

// Attempts of one remote request while no response arrives.
constexpr int kRemoteAttempts = 16;
// Wait after failed attempt i: i x this.
constexpr std::chrono::milliseconds kRemoteRetryStep{100};

// Why a read gave nothing. Damage lies in the recordings themselves; the other faults
// leave the recorded image intact where it is, so a caller must not count it as damaged.
enum class ReadFault {
  kNone,
  // Read, and not a whole recorded image: a wrong magic or length, a trailer that does
  // not repeat the length, a JPEG that does not decode.
  kDamaged,
  // Not read: a file that cannot be opened or read, a position the file no longer
  // reaches, no memory for the image, an error reply of another instance.
  kUnreadable,
  // Another instance did not answer, through every attempt.
  kNoAnswer,
  // The request was given up for newer work (see RecordedData::setInterrupt).
  kGivenUp,
};

// A range of recorded time. Start 0 or end -1 means "not known, to be found from the files".
struct FeedRange {
  int64_t startTime = 0;
  int startMs = 0;
  int64_t endTime = -1;
  int endMs = 0;

  bool known() const { return startTime != 0 && endTime != -1; }
  double start() const { return static_cast<double>(startTime) + startMs / 1000.0; }
  double end() const { return static_cast<double>(endTime) + endMs / 1000.0; }
  static FeedRange Unknown() { return FeedRange{}; }
};

// Seconds with milliseconds of a position or header (the recorded time as one number).
inline double EntrySeconds(const IndexEntry& e) { return e.time + e.milliseconds / 1000.0; }
inline double HeaderSeconds(const RecordHeader& h) { return h.time + h.milliseconds / 1000.0; }
// Milliseconds since 1970 (exact comparisons without floating point).
inline int64_t EntryMs(const IndexEntry& e) { return int64_t{e.time} * 1000 + e.milliseconds; }

// True when the source text starts with "http://" in any letter case.
bool IsRemoteSource(std::string_view source);
// The source of a playback view showing `node`: a storage folder's location, a removable
// recordings folder's path, else the device folder under the recordings folder.
std::string PlaybackSource(const GroupRecord& node, const std::string& pathData);

// Lists the names in the pattern's folder that match its last component (a wildcard such
// as "*.vlx") and gives the smallest and the greatest by byte order. Returns 0, or 1 when
// nothing matches (or the folder cannot be listed). Profiled as "FindBoundaryFiles [%s]".
int FindBoundaryFiles(const std::string& pattern, std::string& first, std::string& last);

// The UTC start of the hour an hour key names; false for text that is not a key.
bool HourKeyTime(std::string_view key, int64_t& seconds);

// How remote requests are made and how the retries wait. Both may be replaced (tests).
struct RemoteHooks {
  // One HTTP GET of the full URL; abandon (may be empty) true gives the request up.
  std::function<HttpResult(const std::string& url, const std::function<bool()>& abandon)> get;
  // Waits between attempts; false ends the retries early (the process is shutting down).
  std::function<bool(std::chrono::milliseconds)> sleep;
};
// http_get without credentials, and a wait that ends early at shutdown.
// The time-out of one remote request: a silent peer holds the playback thread for at
// most 16 such attempts.
constexpr long kRemoteRequestTimeoutMs = 5000;
RemoteHooks DefaultRemoteHooks();

class RecordedData {
 public:
  RecordedData();

  // Sources of the playback views in view order (at most kMaxPlaybackViews are kept).
  // Forgets the remote header cache.
  void setSources(std::vector<std::string> sources);
  int viewCount() const { return static_cast<int>(sources_.size()); }
  const std::string& source(int view) const;
  bool remote(int view) const;

  // The feed range bounds the remote hour walk (there is no listing to end it).
  void setFeedRange(const FeedRange& range) { feed_ = range; }
  const FeedRange& feedRange() const { return feed_; }

  void setRemoteHooks(RemoteHooks hooks) { remote_ = std::move(hooks); }
  // True while newer work waits for the reading thread (the playback thread's Stop,
  // Pause, a new feed, a cancelled export). A remote read then gives up the request in
  // flight and its retries (their waits are looked at in short slices), and reports no
  // failure: the reader's caller moves on to the newer work. Empty: never.
  void setInterrupt(std::function<bool()> newWork) { interrupt_ = std::move(newWork); }
  // The last remote request was given up for newer work (rather than failing).
  bool interrupted() const { return interrupted_; }
  // Why the last ReadJpeg or ReadJpegBytes gave no image (kNone when it gave one).
  ReadFault lastImageFault() const { return imageFault_; }
  // The last read since clearReadFailure() that failed for want of an answer or of a
  // readable file (kUnreadable, kNoAnswer, kGivenUp), whatever its caller made of it;
  // kNone when there was none. Damage, a missing hour and the end of a file are not
  // failures. It tells a walk that stopped early why it stopped.
  ReadFault readFailure() const { return readFailure_; }
  void clearReadFailure() { readFailure_ = ReadFault::kNone; }
  // Where status texts go; PostStatus (the main window's status line) by default.
  void setStatusSink(std::function<void(const std::string&)> sink) { status_ = std::move(sink); }
  void clearHeaderCache();
  // For views of another instance: ReadHeader asks for the whole record ("vljpeg") and
  // keeps the answer for the ReadJpeg of the same place, which then needs no request of
  // its own. For a walk that reads the image of every record it steps on (an export that
  // passes none over): one request a record instead of two. Anything but a whole record
  // is asked for again as a header, so what ReadHeader answers does not change; a
  // failure of the record's request is ReadJpeg's to report, as without this.
  void setWholeRecordReads(bool on) { wholeRecordReads_ = on; }

  // The 48 header bytes at the offset of the hour's data file (below 0: from the end).
  // 0 read (the magic is not checked), -1 no complete header there, -2 error. A folder
  // record whose header claims more bytes than the file holds (a record still being
  // written, or torn) counts as not there (-1). httpStatus, when given, receives the
  // remote reply's status (0 for a folder).
  int ReadHeader(const std::string& hourKey, int view, int64_t offset, RecordHeader& header,
                 int* httpStatus = nullptr);
  // The start of the record whose trailer ends 4 bytes after `offset`; 0, -1, -2.
  int ReadFooter(const std::string& hourKey, int view, int64_t offset, uint64_t& recordStart,
                 int* httpStatus = nullptr);
  // The decoded frame at the position, with its JPEG bytes; null when it cannot be read
  // or decoded (reported as described for each case). header receives the record header.
  std::unique_ptr<ImageHolder> ReadJpeg(const IndexEntry& position, int view,
                                        RecordHeader* header = nullptr);
  // The JPEG bytes of the record at the position without decoding; false when unreadable.
  bool ReadJpegBytes(const IndexEntry& position, int view, std::vector<uint8_t>& jpeg,
                     RecordHeader& header);

  // Hour keys of the next / previous data file of the view's source; false when none.
  bool NextHourFile(int view, const std::string& hourKey, std::string& next);
  bool PreviousHourFile(int view, const std::string& hourKey, std::string& previous);

  // The first and the last index entry of the view's recordings ("/newfeed", or the
  // smallest and the greatest index file of the folder). False when there are none.
  bool ReadFeedBounds(int view, IndexEntry& first, IndexEntry& last);
  // The whole index file of the hour (whole 16-byte entries only). False when missing.
  bool ReadIndexFile(int view, const std::string& hourKey, std::vector<uint8_t>& bytes);

  // For a folder source: the start of the last complete record of the hour's data file,
  // found through its index (used where a torn tail makes the trailer useless).
  bool LastCompleteRecord(int view, const std::string& hourKey, uint64_t& offset);

  // True the first time a damaged record at this place of the view's recordings is met
  // since the sources were set, so that stepping past it again (playing back and forth,
  // an export after playback) reports it once.
  bool FirstDamageReport(int view, const std::string& hourKey, uint64_t offset);

  // The URL of a remote request: source + "/" + what (no doubled slash).
  std::string RemoteUrl(int view, const std::string& what) const;

  // Posts a status text through the sink.
  void Status(const std::string& text) const;

  // One remote request repeated while no response arrives (up to 16 attempts), logging
  // "<label>: retry=%d" and waiting i x 100 ms after failed attempt i. Newer work (see
  // setInterrupt) ends the request and the retries early.
  HttpResult RemoteGet(const char* label, const std::string& url);

 private:
  // The wait after a failed attempt; false ends the retries (shutdown, newer work).
  bool RetryWait(std::chrono::milliseconds wait);
  // Notes a failed read (see readFailure) and returns the fault.
  ReadFault Failed(ReadFault fault);
  // The fault of a remote reply that is not 200 (no answer, given up, an error reply).
  ReadFault RemoteFault(const HttpResult& reply) const;
  // ReadJpegBytes without its bookkeeping: the fault of a failure, or kNone.
  ReadFault ReadRecordJpeg(const IndexEntry& position, int view, std::vector<uint8_t>& jpeg, RecordHeader& header);
  ReadFault ReadRemoteRecordJpeg(int view, const std::string& key, int64_t offset, std::vector<uint8_t>& jpeg,
                                 RecordHeader& header);
  ReadFault ReadLocalRecordJpeg(int view, const std::string& key, int64_t offset, std::vector<uint8_t>& jpeg,
                                RecordHeader& header);

  std::string folderOf(int view) const;

  struct HeaderCache {
    std::string request;
    RecordHeader header;
  };

  std::vector<std::string> sources_;
  std::vector<bool> remote_flags_;
  std::array<HeaderCache, kMaxPlaybackViews> cache_{};
  // The answer to the "vljpeg" request ReadHeader made last, per view, until ReadJpeg
  // takes it: a whole record, or the failure (no answer, an error status).
  struct RecordCache {
    std::string request;
    HttpResult reply;
  };
  std::array<RecordCache, kMaxPlaybackViews> records_{};
  bool wholeRecordReads_ = false;
  FeedRange feed_;
  // Damaged records already reported: view, hour key, offset.
  std::set<std::tuple<int, std::string, uint64_t>> damageReported_;
  RemoteHooks remote_;
  std::function<bool()> interrupt_;
  bool interrupted_ = false;
  ReadFault imageFault_ = ReadFault::kNone;
  ReadFault readFailure_ = ReadFault::kNone;
  std::function<void(const std::string&)> status_;
};

// The newest recorded frame of a folder (JPEG bytes, not decoded), or null. Main thread.
std::unique_ptr<ImageHolder> GetLastRecordedImage(const std::string& folder);

// Recorded-data access for the layers below: the tree's newest image of a folder (a
// decoded GetLastRecordedImage), and the JPEG bytes of a storage folder tile's newest
// image (from its PlaybackSource under the data folder).
// `recordings` is the recordings folder; it must outlive the object (the fetch workers
// may call it until the process ends).
class RecordedImages final : public NewestImages, public LastRecordedImages {
 public:
  explicit RecordedImages(const std::string& recordings) : recordings_(recordings) {}
  std::shared_ptr<Image> newestImage(const GroupRecord& record, const std::string& folder) override;
  bool lastRecordedImage(const GroupRecord& record, std::vector<uint8_t>& jpeg) override;

 private:
  const std::string& recordings_;
};

}  // namespace velmora
