#include "playback/access_step.h"

#include <cinttypes>

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

void RecordTypeError(RecordedData& data, const char* label, const std::string& key, uint64_t offset) {
  Log("%s: RecordType error; file=%s, offset=%" PRId64, label, key.c_str(), static_cast<int64_t>(offset));
  data.Status(kTextWrongFormat);
}

// The next position of one view; false when it has none. `motion` is set when a header
// read on the way had motion.
bool NextOfView(RecordedData& data, const Timeline& timeline, const IndexEntry& candidate,
                bool hasCurrent, int view, bool& motion, IndexEntry& next) {
  std::string key = HourKey(candidate.time);
  uint64_t offset = candidate.offset;
  RecordHeader header;
  if (offset > static_cast<uint64_t>(INT64_MAX)) return false;

  int result = data.ReadHeader(key, view, static_cast<int64_t>(offset), header);
  bool moveToNextFile = false;
  if (result == 0) {
    if (!IsValidHeader(header)) {
      RecordTypeError(data, "FindNextJpegs(1)", key, offset);
      return false;
    }
    if (header.hasMotion()) motion = true;
    if (!hasCurrent) {
      if (HeaderMs(header) > RangeEndMs(timeline.feed())) return false;
      next = PositionOf(header, offset);
      return true;
    }
    // A length outside the record bounds would step nowhere (or anywhere): the data
    // there is not a record the recorder wrote.
    if (!HasValidRecordLength(header)) {
      Log("FindNextJpegs(1): bad record length %u; file=%s, offset=%" PRId64, header.recordLength,
          key.c_str(), static_cast<int64_t>(offset));
      data.Status(kTextWrongFormat);
      return false;
    }
    offset += header.recordLength;
  } else if (result == -1) {
    if (!hasCurrent) return false;
    moveToNextFile = true;
  } else {
    return false;
  }

  // Read at the new offset, moving through the following hour files while a file holds
  // nothing more. Each file is visited once, so the walk ends.
  for (;;) {
    if (moveToNextFile) {
      std::string following;
      if (!data.NextHourFile(view, key, following)) return false;
      key = following;
      offset = 0;
    }
    int httpStatus = 0;
    result = data.ReadHeader(key, view, static_cast<int64_t>(offset), header, &httpStatus);
    if (result == -1) {
      moveToNextFile = true;
      continue;
    }
    if (result != 0) {
      // Another instance answers "not found" where a folder read would find fewer than
      // 48 bytes: at the end of an hour file, or for an hour without recordings. Both
      // mean "nothing more in this file", not the end of the material.
      if (data.remote(view) && httpStatus == 404) {
        moveToNextFile = true;
        continue;
      }
      return false;
    }
    if (!IsValidHeader(header)) {
      RecordTypeError(data, "FindNextJpegs(2)", key, offset);
      return false;
    }
    if (header.hasMotion()) motion = true;
    break;
  }
  if (HeaderMs(header) > RangeEndMs(timeline.feed())) return false;
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
  std::string key = HourKey(candidate.time);
  uint64_t offset = candidate.offset;
  if (hasCurrent) {
    if (offset < kRecordTrailerBytes) {
      if (!LastRecordOfPreviousFile(data, view, key, offset)) return false;
    } else {
      uint64_t start = 0;
      if (offset - kRecordTrailerBytes > static_cast<uint64_t>(INT64_MAX)) return false;
      if (data.ReadFooter(key, view, static_cast<int64_t>(offset - kRecordTrailerBytes), start) != 0) return false;
      if (start >= offset) return false;
      offset = start;
    }
  }
  RecordHeader header;
  if (offset > static_cast<uint64_t>(INT64_MAX)) return false;
  if (data.ReadHeader(key, view, static_cast<int64_t>(offset), header) != 0) return false;
  if (!IsValidHeader(header)) {
    RecordTypeError(data, "StepBack", key, offset);
    return false;
  }
  if (hasCurrent && candidate.offset >= kRecordTrailerBytes &&
      header.recordLength != candidate.offset - offset) {
    // The trailer named a start whose record does not end where the current one begins.
    Log("StepBack: trailer mismatch; file=%s, offset=%" PRId64, key.c_str(),
        static_cast<int64_t>(candidate.offset));
    data.Status(kTextReadTrailerFailed);
    return false;
  }
  if (header.hasMotion()) motion = true;
  if (HeaderMs(header) < RangeStartMs(timeline.feed())) return false;
  previous = PositionOf(header, offset);
  return true;
}

}  // namespace

int FindNextJpegs(RecordedData& data, const Timeline& timeline, ViewPositions& positions, int column,
                  int first, int count) {
  if (first < 0 || first >= kMaxPlaybackViews || count < 0 || first + count > kMaxPlaybackViews) return 0;
  const int end = first + count;
  for (int v = first; v < end; ++v) positions.next[static_cast<std::size_t>(v)] = IndexEntry{};
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
    if (NextOfView(data, timeline, candidate, hasCurrent, v, motion, next)) {
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
