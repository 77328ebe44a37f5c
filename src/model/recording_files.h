// The recording files of one device-tree entry: the open data and index files of the
// current hour, where the next record goes, the file name, and when the last failure
// went into the log. The recorder opens, writes and switches them; the model closes them
// (when recording stops for the entry, when the folder is renamed, at shutdown) and so
// does the device edit when an entry stops recording.
//
// It lives in the model, held by value in GroupRecord, because its lock is taken by the
// model and the device edit as well as by the recorder, and must exist for the whole life
// of the record: a holder created by the recorder on first use would need a lock of its
// own around the creation.
//
// Threads and locks: recordLock guards every other field. Lock order: the record's
// fetchLock -> the tree's recording lock (DeviceTree) -> recordLock.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>

namespace velmora {

struct RecordingFiles {
  RecordingFiles() = default;
  // Closes the files still open (the shutdown walk normally did that already).
  ~RecordingFiles();
  RecordingFiles(const RecordingFiles&) = delete;
  RecordingFiles& operator=(const RecordingFiles&) = delete;

  // Closes both files (a failed close is logged) and forgets the file name. The caller
  // holds recordLock.
  void Close();

  std::mutex recordLock;
  uint64_t dataFileOffset = 0;
  int dataFile = -1;   // open data file descriptor, -1 = closed
  int indexFile = -1;  // open index file descriptor, -1 = closed
  std::string recordFileName;
  // Recorder clock (ms since 1970) of the last failed open or write that went into the
  // log; -1 before the first. Later failures within a minute are only shown.
  int64_t recordFailureLoggedMs = -1;
};

}  // namespace velmora
