#include "backup/disc_image.h"

#include <fcntl.h>
#include <openssl/evp.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <map>

#include "app/log.h"

namespace velmora::backup {

namespace {

class Sha256 {
 public:
  Sha256() : ctx_(EVP_MD_CTX_new()) {
    if (ctx_ != nullptr && EVP_DigestInit_ex(ctx_, EVP_sha256(), nullptr) != 1) {
      EVP_MD_CTX_free(ctx_);
      ctx_ = nullptr;
    }
  }
  ~Sha256() { EVP_MD_CTX_free(ctx_); }
  Sha256(const Sha256&) = delete;
  Sha256& operator=(const Sha256&) = delete;

  bool ok() const { return ctx_ != nullptr; }
  void update(const void* data, std::size_t length) {
    if (ctx_ != nullptr && EVP_DigestUpdate(ctx_, data, length) != 1) {
      EVP_MD_CTX_free(ctx_);
      ctx_ = nullptr;
    }
  }
  bool finish(Checksum& out) {
    unsigned length = 0;
    unsigned char bytes[EVP_MAX_MD_SIZE];
    if (ctx_ == nullptr || EVP_DigestFinal_ex(ctx_, bytes, &length) != 1 || length != sizeof out.bytes) return false;
    std::memcpy(out.bytes, bytes, sizeof out.bytes);
    return true;
  }

 private:
  EVP_MD_CTX* ctx_;
};

// The layout of libisofs's struct iso_stream, which C++ cannot declare under its own
// name (a member is called "class"): the stream's methods, its reference count and
// its data. libisofs frees it with free() once the last reference is gone.
struct StreamShape {
  IsoStreamIface* methods;
  int refcount;
  void* data;
};

struct StreamData {
  std::shared_ptr<SourceRead> read;
  int fd = -1;
  uint64_t done = 0;
  std::unique_ptr<Sha256> digest;
  ino_t serial = 0;
};

StreamData* DataOf(IsoStream* stream) {
  return static_cast<StreamData*>(reinterpret_cast<StreamShape*>(stream)->data);
}

void CloseFile(StreamData* d) {
  if (d->fd >= 0) ::close(d->fd);
  d->fd = -1;
}

int StreamOpen(IsoStream* stream) {
  StreamData* d = DataOf(stream);
  CloseFile(d);
  d->read->begin();
  d->done = 0;
  d->digest = std::make_unique<Sha256>();
  d->fd = ::open(d->read->path().c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  if (d->fd < 0) {
    const int code = errno;
    d->read->fail(d->read->name() + " cannot be opened (" + std::strerror(code) + ")");
    return static_cast<int>(code == ENOENT ? ISO_FILE_DOESNT_EXIST : ISO_FILE_ERROR);
  }
  if (!d->digest->ok()) {
    d->read->fail("no checksum of " + d->read->name() + " can be computed");
    return static_cast<int>(ISO_FILE_ERROR);
  }
  return ISO_SUCCESS;
}

int StreamClose(IsoStream* stream) {
  StreamData* d = DataOf(stream);
  if (d->fd >= 0 && d->done == d->read->length()) {
    Checksum checksum;
    if (d->digest && d->digest->finish(checksum)) d->read->finish(checksum);
    else d->read->fail("no checksum of " + d->read->name() + " can be computed");
  } else if (d->fd >= 0) {
    d->read->fail(d->read->name() + " was not read to its end");
  }
  CloseFile(d);
  return ISO_SUCCESS;
}

off_t StreamSize(IsoStream* stream) { return static_cast<off_t>(DataOf(stream)->read->length()); }

int StreamRead(IsoStream* stream, void* buffer, size_t count) {
  StreamData* d = DataOf(stream);
  if (d->fd < 0) return static_cast<int>(ISO_FILE_NOT_OPENED);
  const uint64_t length = d->read->length();
  auto* bytes = static_cast<uint8_t*>(buffer);
  std::size_t got = 0;
  while (got < count && d->done < length) {
    const std::size_t want = static_cast<std::size_t>(std::min<uint64_t>(count - got, length - d->done));
    const ssize_t n = ::pread(d->fd, bytes + got, want, static_cast<off_t>(d->done));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      d->read->fail(d->read->name() + " cannot be read (" + std::strerror(errno) + ")");
      return static_cast<int>(ISO_FILE_READ_ERROR);
    }
    if (n == 0) {
      // Cut or removed (by the removal pass) since it was measured: the disc would
      // get zeros in its place.
      d->read->fail(d->read->name() + " became shorter while it was written (" + std::to_string(d->done) + " of " +
                    std::to_string(length) + " bytes)");
      return static_cast<int>(ISO_FILE_READ_ERROR);
    }
    d->digest->update(bytes + got, static_cast<std::size_t>(n));
    d->done += static_cast<uint64_t>(n);
    got += static_cast<std::size_t>(n);
  }
  return static_cast<int>(got);
}

int StreamRepeatable(IsoStream*) { return 1; }

void StreamId(IsoStream* stream, unsigned int* fsId, dev_t* devId, ino_t* inoId) {
  // A serial number of libisofs's own: no two streams share content.
  *fsId = 0;
  *devId = 0;
  *inoId = DataOf(stream)->serial;
}

void StreamFree(IsoStream* stream) {
  StreamData* d = DataOf(stream);
  CloseFile(d);
  delete d;
}

int StreamUpdateSize(IsoStream*) { return ISO_SUCCESS; }

IsoStreamIface kSourceStreamMethods = {
    1, {'u', 's', 'e', 'r'}, StreamOpen, StreamClose, StreamSize, StreamRead, StreamRepeatable, StreamId,
    StreamFree, StreamUpdateSize, nullptr, nullptr, nullptr};

// A data source over a BlockReader, reading ahead 32 blocks at a time.
constexpr uint32_t kReadAheadBlocks = 32;

struct SourceData {
  BlockReader reader;
  std::vector<uint8_t> cache = std::vector<uint8_t>(kReadAheadBlocks * 2048);
  uint32_t cacheStart = 0;
  uint32_t cacheBlocks = 0;
  bool failed = false;
  uint32_t failedBlock = 0;
};

SourceData* DataOf(IsoDataSource* source) { return static_cast<SourceData*>(source->data); }

int SourceOpen(IsoDataSource*) { return ISO_SUCCESS; }
int SourceClose(IsoDataSource*) { return ISO_SUCCESS; }

int SourceReadBlock(IsoDataSource* source, uint32_t lba, uint8_t* buffer) {
  SourceData* d = DataOf(source);
  if (d->cacheBlocks == 0 || lba < d->cacheStart || lba >= d->cacheStart + d->cacheBlocks) {
    d->cacheBlocks = 0;
    // Near the end of the medium a long read may fail where single blocks do not.
    if (d->reader(lba, kReadAheadBlocks, d->cache.data())) {
      d->cacheBlocks = kReadAheadBlocks;
    } else if (d->reader(lba, 1, d->cache.data())) {
      d->cacheBlocks = 1;
    } else {
      if (!d->failed) d->failedBlock = lba;
      d->failed = true;
      return static_cast<int>(ISO_DATA_SOURCE_FAILURE);
    }
    d->cacheStart = lba;
  }
  std::memcpy(buffer, d->cache.data() + static_cast<std::size_t>(lba - d->cacheStart) * 2048, 2048);
  return ISO_SUCCESS;
}

void SourceFree(IsoDataSource* source) { delete DataOf(source); }

// Frees an imported image and the reader's source when the read-back ends.
struct ImportedImage {
  IsoImage* image = nullptr;
  IsoDataSource* source = nullptr;
  IsoReadOpts* opts = nullptr;
  ~ImportedImage() {
    if (image != nullptr) iso_image_unref(image);
    if (opts != nullptr) iso_read_opts_free(opts);
    if (source != nullptr) iso_data_source_unref(source);
  }
};

// The checksum of one file of the imported image; false with a reason.
bool ChecksumOf(IsoStream* stream, const std::string& name, uint64_t& length, Checksum& checksum,
                std::string& reason, const std::function<void(uint64_t)>& advanced) {
  if (iso_stream_open(stream) < 0) {
    reason = name + " cannot be read back from the disc";
    return false;
  }
  Sha256 digest;
  std::vector<char> buffer(64 * 1024);
  length = 0;
  int n;
  while ((n = iso_stream_read(stream, buffer.data(), buffer.size())) > 0) {
    digest.update(buffer.data(), static_cast<std::size_t>(n));
    length += static_cast<uint64_t>(n);
    advanced(static_cast<uint64_t>(n));
  }
  iso_stream_close(stream);
  if (n < 0) {
    reason = name + " cannot be read back from the disc";
    return false;
  }
  if (!digest.finish(checksum)) {
    reason = "no checksum of " + name + " on the disc can be computed";
    return false;
  }
  return true;
}

}  // namespace

void SourceRead::begin() {
  std::lock_guard<std::mutex> guard(lock_);
  opened_ = true;
  complete_ = false;
}

void SourceRead::fail(const std::string& why) {
  std::lock_guard<std::mutex> guard(lock_);
  if (failure_.empty()) failure_ = why;
  complete_ = false;
}

void SourceRead::finish(const Checksum& checksum) {
  std::lock_guard<std::mutex> guard(lock_);
  checksum_ = checksum;
  complete_ = failure_.empty();
}

bool SourceRead::result(Checksum& checksum, std::string& why) const {
  std::lock_guard<std::mutex> guard(lock_);
  if (complete_) {
    checksum = checksum_;
    return true;
  }
  why = !failure_.empty() ? failure_ : opened_ ? name_ + " was not read to its end" : name_ + " was not read";
  return false;
}

int NewSourceStream(std::shared_ptr<SourceRead> read, IsoStream** stream) {
  auto* shape = static_cast<StreamShape*>(std::malloc(sizeof(StreamShape)));
  if (shape == nullptr) return static_cast<int>(ISO_OUT_OF_MEM);
  auto* data = new StreamData;
  data->read = std::move(read);
  data->serial = serial_id++;
  shape->methods = &kSourceStreamMethods;
  shape->refcount = 1;
  shape->data = data;
  *stream = reinterpret_cast<IsoStream*>(shape);
  return ISO_SUCCESS;
}

namespace {

// Imports the session that starts at `startLba`, read through `reader`, into
// `imported`. False with a reason (and the first block that could not be read).
bool ImportImage(const BlockReader& reader, uint32_t startLba, ImportedImage& imported, std::string& reason) {
  imported.source = static_cast<IsoDataSource*>(std::calloc(1, sizeof(IsoDataSource)));
  if (imported.source == nullptr) {
    reason = "no memory to read the disc back";
    return false;
  }
  auto* data = new SourceData;
  data->reader = reader;
  imported.source->version = 0;
  imported.source->refcount = 1;
  imported.source->open = SourceOpen;
  imported.source->close = SourceClose;
  imported.source->read_block = SourceReadBlock;
  imported.source->free_data = SourceFree;
  imported.source->data = data;

  if (iso_read_opts_new(&imported.opts, 0) < 0 || iso_image_new("verify", &imported.image) < 0) {
    reason = "no memory to read the disc back";
    return false;
  }
  iso_read_opts_set_start_block(imported.opts, startLba);
  iso_read_opts_set_preferjoliet(imported.opts, 1);
  iso_read_opts_set_no_rockridge(imported.opts, 1);
  const int rc = iso_image_import(imported.image, imported.source, imported.opts, nullptr);
  if (rc < 0) {
    char text[64];
    std::snprintf(text, sizeof text, " (0x%08X)", static_cast<unsigned>(rc));
    reason = std::string("the written disc holds no readable file system") + text;
    if (data->failed) reason += "; block " + std::to_string(data->failedBlock) + " cannot be read";
    return false;
  }
  return true;
}

// A file the disc must hold, by name, and whether the disc's root listed it yet.
struct ExpectedFile {
  std::shared_ptr<SourceRead> read;
  bool seen = false;
};

// Compares one entry of the imported root with the file read under its name: it must be
// a file written once, of the same length and checksum. False with a reason.
bool CompareEntry(IsoNode* node, std::map<std::string, ExpectedFile>& expected, const SourceData& data,
                  const std::function<void(uint64_t)>& advanced, std::string& reason) {
  const std::string name = iso_node_get_name(node) != nullptr ? iso_node_get_name(node) : "";
  auto found = expected.find(name);
  if (found == expected.end() || iso_node_get_type(node) != LIBISO_FILE || found->second.seen) {
    reason = "the written disc holds \"" + name + "\", which was not written to it";
    return false;
  }
  found->second.seen = true;
  Checksum wanted;
  if (!found->second.read->result(wanted, reason)) return false;
  uint64_t length = 0;
  Checksum actual;
  IsoStream* stream = iso_file_get_stream(reinterpret_cast<IsoFile*>(node));
  if (!ChecksumOf(stream, name, length, actual, reason, advanced)) {
    if (data.failed) reason += " (block " + std::to_string(data.failedBlock) + ")";
    return false;
  }
  if (length != found->second.read->length() || !(actual == wanted)) {
    reason = name + " on the disc differs from what was read from the recordings";
    Log("Backup: %s on the disc: %llu bytes, expected %llu", name.c_str(), static_cast<unsigned long long>(length),
        static_cast<unsigned long long>(found->second.read->length()));
    return false;
  }
  return true;
}

// Compares the imported image's root with `reads`: the same names, no more, each file
// alike. False with a reason.
bool CompareRoot(const ImportedImage& imported, const std::vector<std::shared_ptr<SourceRead>>& reads,
                 const std::function<void(uint64_t, uint64_t)>& progress, std::string& reason) {
  std::map<std::string, ExpectedFile> expected;
  uint64_t total = 0;
  for (const auto& read : reads) {
    expected[read->name()] = ExpectedFile{read, false};
    total += read->length();
  }
  uint64_t done = 0;
  if (progress) progress(0, total);
  const auto advanced = [&](uint64_t n) {
    done += n;
    if (progress) progress(std::min(done, total), total);
  };

  IsoDirIter* iter = nullptr;
  if (iso_dir_get_children(iso_image_get_root(imported.image), &iter) < 0) {
    reason = "the root of the written disc cannot be read";
    return false;
  }
  std::unique_ptr<IsoDirIter, void (*)(IsoDirIter*)> iterOwner(iter, iso_dir_iter_free);
  const SourceData& data = *DataOf(imported.source);
  IsoNode* node = nullptr;
  while (iso_dir_iter_next(iter, &node) == 1) {
    if (!CompareEntry(node, expected, data, advanced, reason)) return false;
  }
  for (const auto& [name, entry] : expected) {
    if (!entry.seen) {
      reason = name + " is missing from the written disc";
      return false;
    }
  }
  return true;
}

}  // namespace

ReadBack ReadBackImage(const BlockReader& reader, uint32_t startLba,
                       const std::vector<std::shared_ptr<SourceRead>>& reads,
                       const std::function<void(uint64_t, uint64_t)>& progress) {
  ReadBack result;
  // The volume descriptor first: a drive that cannot read the disc at all says so here.
  std::vector<uint8_t> block(2048);
  if (!reader(startLba + 16, 1, block.data())) {
    result.unreadable = true;
    result.reason = "the written disc cannot be read back";
    return result;
  }
  ImportedImage imported;
  if (!ImportImage(reader, startLba, imported, result.reason)) return result;
  if (!CompareRoot(imported, reads, progress, result.reason)) return result;
  result.ok = true;
  return result;
}

}  // namespace velmora::backup
