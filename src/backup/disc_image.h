// Inside the disc backup: the streams through which libisofs reads the selected files,
// each checked (SHA-256) as it is read, and the read-back of a written image, compared
// file by file with what was read.
//
// Threads: libisofs reads the streams on its own writer thread while libburn writes;
// a SourceRead is filled there and read by the backup's thread once the image's burn
// source has been freed (that ends the writer). Each SourceRead has a lock of its own
// for that hand-over. The read-back runs on the backup's thread under the process-wide
// libburn lock, like every other use of the drive.
#pragma once

#include <stdint.h>
#include <sys/types.h>

#include <libisofs/libisofs.h>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace velmora::backup {

// A SHA-256 checksum.
struct Checksum {
  unsigned char bytes[32] = {};
  bool operator==(const Checksum&) const = default;
};

// What libisofs read of one selected file for the image.
class SourceRead {
 public:
  SourceRead(std::string name, std::filesystem::path path, uint64_t length)
      : name_(std::move(name)), path_(std::move(path)), length_(length) {}

  const std::string& name() const { return name_; }
  const std::filesystem::path& path() const { return path_; }
  uint64_t length() const { return length_; }

  // The outcome: true when the file was read whole, to `length`, and nothing went
  // wrong; `checksum` is then what was read. Otherwise `why` says what went wrong.
  bool result(Checksum& checksum, std::string& why) const;

  // Called by the stream (libisofs's writer thread).
  void begin();
  void fail(const std::string& why);
  void finish(const Checksum& checksum);

 private:
  const std::string name_;
  const std::filesystem::path path_;
  const uint64_t length_;
  mutable std::mutex lock_;
  bool opened_ = false;       // guarded by lock_
  bool complete_ = false;     // guarded by lock_
  std::string failure_;       // guarded by lock_; the first failure, kept
  Checksum checksum_;         // guarded by lock_
};

// A stream over `read`'s file for iso_image_add_new_file (which takes this reference).
// It yields exactly `length` bytes: a file that cannot be opened, cannot be read, or
// ends early is an error of the stream (libisofs fills with zeros and reports it) and
// a failure in `read`. Call with the libburn lock held (it takes a libisofs serial
// number).
int NewSourceStream(std::shared_ptr<SourceRead> read, IsoStream** stream);

// Reads `count` 2048-byte blocks from `lba` into `buffer`; false when they cannot be read.
using BlockReader = std::function<bool(uint32_t lba, uint32_t count, uint8_t* buffer)>;

struct ReadBack {
  bool ok = false;
  bool unreadable = false;  // not even the volume descriptor could be read
  std::string reason;       // why not ok
};
// Imports the image whose session starts at `startLba` through `reader` and compares its
// root with `reads`: the same names, no more, each file of the same length and checksum.
// `progress(bytesDone, bytesTotal)` follows the comparison.
ReadBack ReadBackImage(const BlockReader& reader, uint32_t startLba,
                       const std::vector<std::shared_ptr<SourceRead>>& reads,
                       const std::function<void(uint64_t, uint64_t)>& progress);

}  // namespace velmora::backup
