// Writer-side preparation of an existing hour's file pair before appending to it.
//
// A record is written with one write call, but that write can stop part-way (disk full,
// crash, power loss) and leave a torn record at the end of the data file. Appending
// behind it would put the next record at an offset that no step by record length ever
// reaches, and a reader stepping forward would land inside it. So before the recorder
// appends to a data file it opened again, the torn tail is cut back to the end of the
// last complete record, and index entries that point at or past that end are dropped
// (as is a torn last index entry). Bytes that do not look like a torn record (not the
// start of a record, nor zero fill) are never cut: they are reported and kept, and the
// recorder appends behind them.
#pragma once

#include <cstdint>
#include <filesystem>

namespace velmora {

struct AppendPoint {
  uint64_t dataEnd = 0;         // where the next record goes
  uint64_t dataSize = 0;        // size of the data file as found
  uint64_t entriesKept = 0;     // whole index entries that stay
  uint64_t indexSize = 0;       // size of the index file as found
  bool unrecognisedTail = false;  // bytes after the last complete record that were kept
  bool dataCut() const { return dataEnd < dataSize; }
  bool indexCut() const { return entriesKept * 16 < indexSize; }
};

// Works out the append point from the open files without changing them. indexFd may
// be -1 (no index). False (logged) when a file cannot be read.
bool ScanAppendPoint(int dataFd, int indexFd, AppendPoint& point);

// Scans and then cuts both files as found. The data file must be open for reading and
// writing. indexPath names the index file of the same hour; a missing index is fine.
// Returns false (logged) when the files cannot be read or cut; the point is then the
// data file's size as found, so appending still never overwrites a record.
bool PrepareAppend(int dataFd, const std::filesystem::path& indexPath, AppendPoint& point);

// The same for a data file given by path (nothing to do when it does not exist).
bool PrepareAppendFiles(const std::filesystem::path& dataPath,
                        const std::filesystem::path& indexPath, AppendPoint& point);

}  // namespace velmora
