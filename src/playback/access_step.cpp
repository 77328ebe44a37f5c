#include "playback/access_step.h"

#include <algorithm>
#include <cinttypes>
#include <string>
#include <vector>

#include "app/log.h"

namespace velmora {

namespace {

int64_t HeaderMs(const RecordHeader& h) { return int64_t{h.time} * 1000 + h.milliseconds; }
int64_t RangeEndMs(const FeedRange& f) { return f.endTime * 1000 + f.endMs; }
int64_t RangeStartMs(const FeedRange& f) { return f.startTime * 1000 + f.startMs; }

IndexEntry PositionOf(const RecordHeader& h, uint64_t offset) {
  IndexEntry e;
  e.time = h.time;
  e.milliseconds = h.milliseconds;
  e.offset = offset;
  return e;
}

// A header that can start a record: the magic, and a length within the record bounds.
bool WholeHeader(const RecordHeader& h) { return IsValidHeader(h) && HasValidRecordLength(h); }

bool InFeed(const IndexEntry& e, const FeedRange& feed) {
  return EntryMs(e) >= RangeStartMs(feed) && EntryMs(e) <= RangeEndMs(feed);
}

// Logs "<label>: <what>; file=%s, offset=%lld" and posts the status text, once per damaged
// record of a view (stepping may pass the same record many times).
void ReportDamage(RecordedData& data, int view, const char* label, const std::string& what, const std::string& key,
                  uint64_t offset, const char* status = kTextWrongFormat) {
  if (!data.FirstDamageReport(view, key, offset)) return;
  Log("%s: %s; file=%s, offset=%" PRId64, label, what.c_str(), key.c_str(), static_cast<int64_t>(offset));
  data.Status(status);
}

// What is wrong with a header that was read but is not whole.
std::string HeaderFault(const RecordHeader& h) {
  if (!IsValidHeader(h)) return "RecordType error";
  return "bad record length " + std::to_string(h.recordLength);
}

// The whole record nearest to `from` that the hour's index lists after it (forwards) or
// before it (backwards); from -1 forwards means from the file's start. The index never
// names a record whose write failed, so it is how the walk gets past a damaged record.
// Records it lists on the way that are damaged themselves are reported and, when their
// time lies in the feed, counted in `damaged`. False when it lists none (or the index
// cannot be read).
bool IndexedNeighbour(RecordedData& data, const FeedRange& feed, int view, const std::string& key, int64_t from,
                      bool forwards, const char* label, IndexEntry& found, RecordHeader& header, int& damaged) {
  std::vector<uint8_t> bytes;
  if (!data.ReadIndexFile(view, key, bytes)) return false;
  std::vector<IndexEntry> entries;
  for (std::size_t at = 0; at + kIndexEntryBytes <= bytes.size(); at += kIndexEntryBytes) {
    const IndexEntry e = IndexEntry::FromBytes(bytes.data() + at);
    if (e.empty() || e.offset > static_cast<uint64_t>(INT64_MAX)) continue;
    const auto offset = static_cast<int64_t>(e.offset);
    if (forwards ? offset > from : offset < from) entries.push_back(e);
  }
  // In file order from `from` on, each offset once (the recorder appends in file order;
  // sorting keeps a disordered index from sending the walk back and forth).
  std::sort(entries.begin(), entries.end(), [forwards](const IndexEntry& a, const IndexEntry& b) {
    return forwards ? a.offset < b.offset : a.offset > b.offset;
  });
  entries.erase(std::unique(entries.begin(), entries.end(),
                            [](const IndexEntry& a, const IndexEntry& b) { return a.offset == b.offset; }),
                entries.end());
  for (const IndexEntry& e : entries) {
    const int result = data.ReadHeader(key, view, static_cast<int64_t>(e.offset), header);
    if (result == -2) return false;
    if (result == 0 && WholeHeader(header)) {
      found = PositionOf(header, e.offset);
      return true;
    }
    ReportDamage(data, view, label, result == 0 ? HeaderFault(header) : std::string("damaged record"), key, e.offset);
    if (InFeed(e, feed)) ++damaged;
  }
  return false;
}

// The next position of one view; false when it has none. `motion` is set when a header
// read on the way had motion; `damaged` counts the indexed records passed over.
bool NextOfView(RecordedData& data, const Timeline& timeline, const IndexEntry& candidate,
                bool hasCurrent, int view, bool& motion, IndexEntry& next, int& damaged) {
  const FeedRange& feed = timeline.feed();
  std::string key = HourKey(candidate.time);
  uint64_t offset = candidate.offset;
  RecordHeader header;
  if (offset > static_cast<uint64_t>(INT64_MAX)) return false;

  // Start of the last whole record passed in the file `key`; -1 before the first.
  int64_t after = -1;
  bool found = false;
  bool moveToNextFile = false;
  int result = data.ReadHeader(key, view, static_cast<int64_t>(offset), header);
  if (result == 0 && WholeHeader(header)) {
    if (header.hasMotion()) motion = true;
    if (!hasCurrent) {
      found = true;
    } else {
      after = static_cast<int64_t>(offset);
      offset += header.recordLength;
    }
  } else if (result == 0 || (result == -1 && !hasCurrent)) {
    // The record here is damaged: a joining view's entry names bytes that are not a whole
    // record, or the current record changed under us. Go on at the next one the index
    // lists; a file without one is left for the next.
    ReportDamage(data, view, "FindNextJpegs(1)", result == 0 ? HeaderFault(header) : std::string("damaged record"),
                 key, offset);
    if (!hasCurrent && InFeed(candidate, feed)) ++damaged;
    IndexEntry resumed;
    if (IndexedNeighbour(data, feed, view, key, static_cast<int64_t>(offset), true, "FindNextJpegs(1)", resumed, header,
                         damaged)) {
      offset = resumed.offset;
      found = true;
    } else {
      moveToNextFile = true;
    }
  } else if (result == -1) {
    moveToNextFile = true;
  } else {
    return false;
  }

  // Read at the new offset, moving through the following hour files while a file holds
  // nothing more. Each file is visited once, so the walk ends.
  while (!found) {
    if (moveToNextFile) {
      std::string following;
      if (!data.NextHourFile(view, key, following)) return false;
      key = following;
      offset = 0;
      after = -1;
      moveToNextFile = false;
    }
    int httpStatus = 0;
    result = data.ReadHeader(key, view, static_cast<int64_t>(offset), header, &httpStatus);
    if (result == 0 && WholeHeader(header)) break;
    // Another instance answers "not found" where a folder read would find fewer than
    // 48 bytes: at the end of an hour file, or for an hour without recordings. Both
    // mean "nothing more in this file", not the end of the material.
    const bool notFound = data.remote(view) && result == -2 && httpStatus == 404;
    if (result == -2 && !notFound) return false;
    if (result == 0) ReportDamage(data, view, "FindNextJpegs(2)", HeaderFault(header), key, offset);
    // Nothing whole here: the end of the file, unless the index lists a whole record
    // beyond the last one passed; then the bytes here are damaged (a length that is
    // wrong, a magic overwritten) and the walk goes on there. An hour of another
    // instance without recordings is not asked about.
    IndexEntry resumed;
    if ((!notFound || after >= 0) &&
        IndexedNeighbour(data, feed, view, key, after, true, "FindNextJpegs(2)", resumed, header, damaged)) {
      if (result != 0) ReportDamage(data, view, "FindNextJpegs(2)", "damaged record", key, offset);
      offset = resumed.offset;
      break;
    }
    moveToNextFile = true;
  }
  if (header.hasMotion()) motion = true;
  if (HeaderMs(header) > RangeEndMs(feed)) return false;
  next = PositionOf(header, offset);
  return true;
}

// The start of the last record of the hour file before `key`, moving further back past
// files that hold none. False when there is none (or it cannot be read).
bool LastRecordOfPreviousFile(RecordedData& data, int view, std::string& key, uint64_t& start) {
  for (;;) {
    std::string previous;
    if (!data.PreviousHourFile(view, key, previous)) return false;
    key = previous;
    int httpStatus = 0;
    const int result = data.ReadFooter(key, view, -4, start, &httpStatus);
    if (result == -1) continue;
    if (data.remote(view)) {
      // Another instance has no file for an hour without recordings: look further back.
      if (result == -2 && httpStatus == 404) continue;
      return result == 0;
    }
    // A folder's last bytes may be a torn record (a write cut short): then the trailer
    // is not one, and the index names the last whole record.
    if (result == 0) {
      RecordHeader header;
      if (start <= static_cast<uint64_t>(INT64_MAX) &&
          data.ReadHeader(key, view, static_cast<int64_t>(start), header) == 0 && IsValidHeader(header)) {
        return true;
      }
    }
    if (data.LastCompleteRecord(view, key, start)) return true;
    if (result == -2) return false;
  }
}

bool PreviousOfView(RecordedData& data, const Timeline& timeline, const IndexEntry& candidate,
                    bool hasCurrent, int view, bool& motion, IndexEntry& previous) {
  const FeedRange& feed = timeline.feed();
  std::string key = HourKey(candidate.time);
  uint64_t offset = candidate.offset;
  if (offset > static_cast<uint64_t>(INT64_MAX)) return false;
  // Within the current record's file the trailer before it names the record to show.
  const bool byTrailer = hasCurrent && offset >= kRecordTrailerBytes;
  bool damaged = false;
  if (hasCurrent && !byTrailer) {
    if (!LastRecordOfPreviousFile(data, view, key, offset)) return false;
  } else if (byTrailer) {
    uint64_t start = 0;
    int httpStatus = 0;
    const int result =
        data.ReadFooter(key, view, static_cast<int64_t>(offset - kRecordTrailerBytes), start, &httpStatus);
    // Another instance that does not answer has no index to offer either.
    if (data.remote(view) && httpStatus == -1) return false;
    if (result == 0 && start < offset) {
      offset = start;
    } else {
      ReportDamage(data, view, "StepBack", "bad trailer", key, offset - kRecordTrailerBytes, kTextReadTrailerFailed);
      damaged = true;
    }
  }
  RecordHeader header;
  if (!damaged) {
    int httpStatus = 0;
    const int result = data.ReadHeader(key, view, static_cast<int64_t>(offset), header, &httpStatus);
    // A folder that cannot be read, or another instance that does not answer, ends the
    // step; another instance's "not found" where a record should be is damage.
    if (result == -2 && (!data.remote(view) || httpStatus == -1)) return false;
    if (result != 0) {
      ReportDamage(data, view, "StepBack", "damaged record", key, offset);
      damaged = true;
    } else if (!WholeHeader(header)) {
      ReportDamage(data, view, "StepBack", HeaderFault(header), key, offset);
      damaged = true;
    } else if (byTrailer && header.recordLength != candidate.offset - offset) {
      // The trailer named a start whose record does not end where the current one begins.
      ReportDamage(data, view, "StepBack", "trailer mismatch", key, candidate.offset, kTextReadTrailerFailed);
      damaged = true;
    }
  }
  if (damaged) {
    // Go on at the whole record the index lists before the current one (or before the
    // damaged one a joining view or a file's end named), else in the files before.
    const int64_t before = static_cast<int64_t>(byTrailer ? candidate.offset : offset);
    IndexEntry resumed;
    int passed = 0;
    if (IndexedNeighbour(data, feed, view, key, before, false, "StepBack", resumed, header, passed)) {
      offset = resumed.offset;
    } else if (!LastRecordOfPreviousFile(data, view, key, offset) ||
               data.ReadHeader(key, view, static_cast<int64_t>(offset), header) != 0 || !WholeHeader(header)) {
      return false;
    }
  }
  if (header.hasMotion()) motion = true;
  if (HeaderMs(header) < RangeStartMs(feed)) return false;
  previous = PositionOf(header, offset);
  return true;
}

}  // namespace

int FindNextJpegs(RecordedData& data, const Timeline& timeline, ViewPositions& positions, int column,
                  int first, int count) {
  if (first < 0 || first >= kMaxPlaybackViews || count < 0 || first + count > kMaxPlaybackViews) return 0;
  const int end = first + count;
  for (int v = first; v < end; ++v) {
    positions.next[static_cast<std::size_t>(v)] = IndexEntry{};
    positions.damaged[static_cast<std::size_t>(v)] = 0;
  }
  bool motion = false;
  for (int v = first; v < end; ++v) {
    if (v >= data.viewCount()) continue;
    const IndexEntry& current = positions.current[static_cast<std::size_t>(v)];
    const bool hasCurrent = !current.empty();
    IndexEntry candidate = current;
    if (!hasCurrent) {
      candidate = timeline.at(v, column).first;
      for (int c = column + 1; candidate.empty() && c <= timeline.columns(); ++c) {
        candidate = timeline.at(v, c).first;
      }
      if (candidate.empty()) continue;
      // Joining views never show a frame older than one already shown.
      bool older = false;
      for (int u = first; u < end; ++u) {
        const IndexEntry& other = positions.current[static_cast<std::size_t>(u)];
        if (!other.empty() && EntryBefore(candidate, other)) older = true;
      }
      if (older) continue;
    }
    IndexEntry next;
    if (NextOfView(data, timeline, candidate, hasCurrent, v, motion, next,
                   positions.damaged[static_cast<std::size_t>(v)])) {
      positions.next[static_cast<std::size_t>(v)] = next;
    }
  }
  return motion ? 1 : 0;
}

int StepBack(RecordedData& data, const Timeline& timeline, ViewPositions& positions, int column) {
  positions.clearNext();
  const int views = std::min(data.viewCount(), kMaxPlaybackViews);
  bool motion = false;
  for (int v = 0; v < views; ++v) {
    const IndexEntry& current = positions.current[static_cast<std::size_t>(v)];
    const bool hasCurrent = !current.empty();
    IndexEntry candidate = current;
    if (!hasCurrent) {
      if (column >= 0 && column <= timeline.columns()) candidate = timeline.at(v, column).last;
      for (int c = std::min(column, timeline.columns() + 1) - 1; candidate.empty() && c >= 0; --c) {
        candidate = timeline.at(v, c).last;
      }
      if (candidate.empty()) continue;
      bool newer = false;
      for (int u = 0; u < views; ++u) {
        const IndexEntry& other = positions.current[static_cast<std::size_t>(u)];
        if (!other.empty() && EntryBefore(other, candidate)) newer = true;
      }
      if (newer) continue;
    }
    IndexEntry previous;
    if (PreviousOfView(data, timeline, candidate, hasCurrent, v, motion, previous)) {
      positions.next[static_cast<std::size_t>(v)] = previous;
    }
  }
  return motion ? 1 : 0;
}

}  // namespace velmora
