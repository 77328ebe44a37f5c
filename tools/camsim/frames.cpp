#include "frames.h"

#include <openssl/evp.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "media/jpeg_turbo.h"
#include "media/video_encoder.h"

namespace camsim {

namespace {

constexpr size_t kFourMiB = 4u * 1024 * 1024;
constexpr size_t kMaxFileBytes = 8u * 1024 * 1024;
constexpr size_t kMaxFiles = 1000;

void PutBe16(std::string& s, uint32_t v) {
  s += static_cast<char>((v >> 8) & 0xFF);
  s += static_cast<char>(v & 0xFF);
}
void PutBe32(std::string& s, uint32_t v) {
  PutBe16(s, v >> 16);
  PutBe16(s, v & 0xFFFF);
}
void SetBe16(std::string& s, size_t at, uint32_t v) {
  s[at] = static_cast<char>((v >> 8) & 0xFF);
  s[at + 1] = static_cast<char>(v & 0xFF);
}
void SetBe32(std::string& s, size_t at, uint32_t v) {
  SetBe16(s, at, v >> 16);
  SetBe16(s, at + 2, v & 0xFFFF);
}
uint32_t Be16(const std::string& s, size_t at) {
  return (static_cast<uint32_t>(static_cast<uint8_t>(s[at])) << 8) | static_cast<uint8_t>(s[at + 1]);
}
uint8_t At(const std::string& s, size_t i) { return static_cast<uint8_t>(s[i]); }

// Small deterministic generator for noise and slice bytes.
struct XorShift {
  uint32_t state;
  uint8_t next() {
    state ^= state << 13;
    state ^= state >> 17;
    state ^= state << 5;
    return static_cast<uint8_t>(state >> 24);
  }
};

// Where the segment behind FF D8 ends, or 2 when the frame has no such segment.
size_t FirstSegmentEnd(const std::string& jpeg) {
  if (jpeg.size() < 6 || At(jpeg, 2) != 0xFF) return 2;
  const uint8_t marker = At(jpeg, 3);
  const bool hasLength = marker != 0xD8 && marker != 0xD9 && marker != 0x01 && !(marker >= 0xD0 && marker <= 0xD7) &&
                         marker != 0xFF && marker != 0x00;
  if (!hasLength) return 2;
  const size_t end = 4 + Be16(jpeg, 4);
  return end <= jpeg.size() ? end : 2;
}

// Offset of the first scan's entropy-coded data, or 0 when there is none.
size_t ScanDataOffset(const std::string& jpeg, size_t from) {
  size_t pos = from;
  while (pos + 4 <= jpeg.size()) {
    if (At(jpeg, pos) != 0xFF) return 0;
    const uint8_t marker = At(jpeg, pos + 1);
    if (marker == 0xFF) {
      ++pos;
      continue;
    }
    if (marker == 0x01 || (marker >= 0xD0 && marker <= 0xD8)) {
      pos += 2;
      continue;
    }
    const size_t length = Be16(jpeg, pos + 2);
    if (marker == 0xDA) return pos + 2 + length <= jpeg.size() ? pos + 2 + length : 0;
    pos += 2 + length;
  }
  return 0;
}

// Appends rbsp with emulation prevention (03 after two zeros before a byte <= 03).
void AppendEscaped(std::string& out, const std::vector<uint8_t>& rbsp) {
  int zeros = 0;
  for (uint8_t b : rbsp) {
    if (zeros >= 2 && b <= 3) {
      out += '\x03';
      zeros = 0;
    }
    out += static_cast<char>(b);
    zeros = b == 0 ? zeros + 1 : 0;
  }
}

void AppendUnit(std::string& out, uint8_t header, const std::vector<uint8_t>& rbsp) {
  out.append("\x00\x00\x00\x01", 4);
  out += static_cast<char>(header);
  AppendEscaped(out, rbsp);
}

// The moving test pattern, frame i of n, as top-down BGR rows.
std::vector<uint8_t> Pattern(int width, int height, int i, int n) {
  std::vector<uint8_t> px(static_cast<size_t>(width) * height * 3);
  const int red = n > 1 ? i * 255 / (n - 1) : 0;
  for (int y = 0; y < height; ++y) {
    uint8_t* p = px.data() + static_cast<size_t>(y) * width * 3;
    const int green = y * 255 / std::max(height - 1, 1);
    for (int x = 0; x < width; ++x, p += 3) {
      p[0] = static_cast<uint8_t>(x * 255 / std::max(width - 1, 1));
      p[1] = static_cast<uint8_t>(green);
      p[2] = static_cast<uint8_t>(red);
    }
  }
  const int side = std::max(std::min(width, height) / 4, 4);
  const int sx = n > 1 ? i * (width - side) / (n - 1) : 0;
  const int sy = (height - side) / 2;
  for (int y = sy; y < sy + side; ++y) {
    std::fill_n(px.data() + (static_cast<size_t>(y) * width + sx) * 3, static_cast<size_t>(side) * 3, 255);
  }
  return px;
}

bool ReadFolder(const std::string& folder, std::vector<std::string>& frames, std::string& error) {
  namespace fs = std::filesystem;
  std::error_code ec;
  std::vector<fs::path> files;
  for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
    if (!it->is_regular_file(ec)) continue;
    std::string ext = it->path().extension().string();
    std::transform(ext.begin(), ext.end(), ext.begin(), [](unsigned char c) { return std::tolower(c); });
    if (ext == ".jpg" || ext == ".jpeg") files.push_back(it->path());
    if (files.size() >= kMaxFiles) break;
  }
  if (ec) {
    error = "cannot list " + folder + ": " + ec.message();
    return false;
  }
  std::sort(files.begin(), files.end());
  for (const fs::path& path : files) {
    if (fs::file_size(path, ec) > kMaxFileBytes || ec) continue;
    std::ifstream in(path, std::ios::binary);
    std::string data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (data.size() >= 4 && At(data, 0) == 0xFF && At(data, 1) == 0xD8) frames.push_back(std::move(data));
  }
  if (frames.empty()) {
    error = "no JPEG files in " + folder;
    return false;
  }
  return true;
}

}  // namespace

std::array<uint8_t, 32> MotionBlock(int frame, int cycle) {
  std::array<uint8_t, 32> block{};
  cycle = std::max(cycle, 1);
  frame %= cycle;
  const int moving = (cycle + 1) / 2;
  if (frame >= moving) return block;
  const int column = (frame * 3) % 13;  // square of 4 x 4 cells at (row, column)
  const int row = (frame * 2) % 13;
  for (int r = row; r < row + 4; ++r) {
    const uint16_t bits = static_cast<uint16_t>(0xF000u >> column);
    block[static_cast<size_t>(2 * r)] = static_cast<uint8_t>(bits >> 8);
    block[static_cast<size_t>(2 * r + 1)] = static_cast<uint8_t>(bits & 0xFF);
  }
  return block;
}

std::string WithMotionSegment(const std::string& jpeg, MotionForm form, const std::array<uint8_t, 32>& block) {
  if (form == MotionForm::kNone || jpeg.size() < 4) return jpeg;
  std::string segment = "\xFF\xEA";
  if (form == MotionForm::kShort) {
    PutBe16(segment, 34);
  } else {
    PutBe16(segment, 38);
    segment += "VLM0";
  }
  segment.append(reinterpret_cast<const char*>(block.data()), block.size());
  size_t at = FirstSegmentEnd(jpeg);
  std::string out = jpeg.substr(0, at);
  if (at == 2) {
    // No segment to go behind: a comment first keeps FF EA away from the start marker.
    out += "\xFF\xFE";
    PutBe16(out, 8);
    out += "camsim";
  }
  out += segment;
  out.append(jpeg, at, std::string::npos);
  return out;
}

std::string WithPadding(const std::string& jpeg, int count) {
  if (jpeg.size() < 4 || count <= 0) return jpeg;
  std::string out = jpeg.substr(0, jpeg.size() - 2);
  out.append(static_cast<size_t>(count), '\0');
  out.append(jpeg, jpeg.size() - 2, 2);
  return out;
}

std::string WithExifThumbnail(const std::string& jpeg, const std::string& thumbnail) {
  if (jpeg.size() < 4) return jpeg;
  // TIFF structure, little-endian, offsets from the "II": header (8), IFD0 with no
  // entries (6), IFD1 with the thumbnail's offset and length (2 + 2 x 12 + 4), then the
  // thumbnail itself.
  auto le16 = [](std::string& s, uint32_t v) {
    s += static_cast<char>(v & 0xFF);
    s += static_cast<char>((v >> 8) & 0xFF);
  };
  auto le32 = [&le16](std::string& s, uint32_t v) {
    le16(s, v & 0xFFFF);
    le16(s, v >> 16);
  };
  constexpr uint32_t kIfd1 = 8 + 6;
  constexpr uint32_t kThumbnail = kIfd1 + 2 + 2 * 12 + 4;
  std::string tiff = "II";
  le16(tiff, 42);
  le32(tiff, 8);
  le16(tiff, 0);      // IFD0: no entries
  le32(tiff, kIfd1);  // next: IFD1
  le16(tiff, 2);
  le16(tiff, 0x0201);  // JPEGInterchangeFormat, LONG
  le16(tiff, 4);
  le32(tiff, 1);
  le32(tiff, kThumbnail);
  le16(tiff, 0x0202);  // JPEGInterchangeFormatLength, LONG
  le16(tiff, 4);
  le32(tiff, 1);
  le32(tiff, static_cast<uint32_t>(thumbnail.size()));
  le32(tiff, 0);  // no further IFD
  tiff += thumbnail;
  const size_t length = 2 + 6 + tiff.size();
  if (length > 0xFFFF) return jpeg;  // a segment cannot hold it
  std::string out = jpeg.substr(0, 2);
  out += "\xFF\xE1";
  PutBe16(out, static_cast<uint32_t>(length));
  out.append("Exif\0\0", 6);
  out += tiff;
  out.append(jpeg, 2, std::string::npos);
  return out;
}

std::string EncryptFrame(const std::string& jpeg, const std::array<uint8_t, 32>& key, uint32_t frameNumber) {
  if (jpeg.size() < 4) return {};
  std::string out = "\xFF\xD8\xFF\xEA";
  PutBe16(out, 28);           // the segment runs to offset 31
  PutBe32(out, 0);            // unused
  const size_t imageSize = 32 + jpeg.size() - 2;
  PutBe32(out, static_cast<uint32_t>(imageSize));
  const uint8_t counter[12] = {'c', 'a', 'm', 's', static_cast<uint8_t>(frameNumber >> 24),
                               static_cast<uint8_t>(frameNumber >> 16), static_cast<uint8_t>(frameNumber >> 8),
                               static_cast<uint8_t>(frameNumber), 0x5A, 0xA5, 0x3C, 0xC3};
  out.append(reinterpret_cast<const char*>(counter), sizeof counter);
  PutBe16(out, 0);  // data offset, set below
  PutBe32(out, 0);  // data size, set below
  out.append(jpeg, 2, std::string::npos);

  // Encrypt the scan data (not the final end marker); when the scan starts beyond what
  // the 16-bit offset can name, everything behind the header is encrypted instead.
  size_t dataOffset = ScanDataOffset(out, 32);
  if (dataOffset == 0 || dataOffset > 0xFFFF) dataOffset = 32;
  size_t dataSize = out.size() >= dataOffset + 2 ? out.size() - 2 - dataOffset : 0;
  dataSize = std::min(dataSize, kFourMiB);
  SetBe16(out, 26, static_cast<uint32_t>(dataOffset));
  SetBe32(out, 28, static_cast<uint32_t>(dataSize));

  // Counter mode with the 12 counter bytes followed by a 32-bit big-endian block
  // number from 0: exactly what the cipher's 128-bit counter does from this start.
  uint8_t iv[16] = {0};
  std::copy(counter, counter + 12, iv);
  EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
  if (ctx == nullptr) return {};
  int produced = 0;
  auto* data = reinterpret_cast<unsigned char*>(out.data() + dataOffset);
  const bool ok = EVP_EncryptInit_ex(ctx, EVP_aes_256_ctr(), nullptr, key.data(), iv) == 1 &&
                  EVP_EncryptUpdate(ctx, data, &produced, data, static_cast<int>(dataSize)) == 1 &&
                  produced == static_cast<int>(dataSize);
  EVP_CIPHER_CTX_free(ctx);
  if (!ok) return {};
  return out;
}

namespace {

// The SEI unit with the motion block of frame i.
std::string SeiUnit(int frame, int cycle) {
  static constexpr uint8_t kUuid[16] = {'c', 'a', 'm', 's', 'i', 'm', '-', 'm', 'o', 't', 'i', 'o', 'n', '-', 'v', '1'};
  std::string out;
  const std::array<uint8_t, 32> block = MotionBlock(frame, cycle);
  std::vector<uint8_t> sei = {0x05, 0x30};  // user data unregistered, 48 bytes
  sei.insert(sei.end(), kUuid, kUuid + 16);
  sei.insert(sei.end(), block.begin(), block.end());
  sei.push_back(0x80);
  AppendUnit(out, 0x06, sei);
  return out;
}

}  // namespace

bool RealH264Frames(int width, int height, int fps, int cycle, std::vector<std::string>& frames, std::string& error) {
  frames.clear();
  if (width % 2 != 0 || height % 2 != 0) {
    error = "--h264-real needs an even width and height";
    return false;
  }
  av_log_set_level(AV_LOG_ERROR);  // the encoder's statistics are no use here
  velmora::H264Encoder encoder;
  if (!encoder.Open(width, height, std::max(fps, 1), std::min(std::max(cycle, 1), 10), error)) return false;
  for (int i = 0; i < cycle; ++i) {
    const std::vector<uint8_t> px = Pattern(width, height, i, cycle);
    std::string units;
    if (!encoder.Encode(px.data(), width * 3, units)) {
      error = "H.264 encoding failed";
      return false;
    }
    frames.push_back(SeiUnit(i, cycle) + units);
  }
  return true;
}

std::string H264Frame(int frame, int cycle) {
  std::string out = SeiUnit(frame, cycle);
  const bool key = frame % std::max(cycle, 1) == 0;
  if (key) {
    AppendUnit(out, 0x67, {0x42, 0xC0, 0x1E, 0xD9, 0x00, 0xA0, 0x3D, 0xA1, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00,
                           0x32, 0x0F, 0x16, 0x2E, 0x48});
    AppendUnit(out, 0x68, {0xCE, 0x3C, 0x80});
  }
  XorShift rng{0x9E3779B9u ^ static_cast<uint32_t>(frame * 2654435761u)};
  std::vector<uint8_t> slice(key ? 3000 : 800);
  for (uint8_t& b : slice) b = rng.next();
  AppendUnit(out, key ? 0x65 : 0x41, slice);
  return out;
}

Bytes FrameLibrary::Part(const std::string& jpeg) {
  std::string part = std::string("--") + kBoundary + "\r\nContent-Type: image/jpeg\r\nContent-Length: " +
                     std::to_string(jpeg.size()) + "\r\n\r\n";
  part += jpeg;
  part += "\r\n";
  return std::make_shared<const std::string>(std::move(part));
}

bool FrameLibrary::Build(const Options& options, std::string& error) {
  key_ = options.key;
  padBytes_ = options.padBytes;
  plain_.clear();
  thumbnails_.clear();
  if (!options.folder.empty()) {
    if (!ReadFolder(options.folder, plain_, error)) return false;
  } else {
    for (int i = 0; i < options.frameCount; ++i) {
      const std::vector<uint8_t> px = Pattern(options.width, options.height, i, options.frameCount);
      velmora::JpegPixels pixels;
      pixels.rows = px.data();
      pixels.width = options.width;
      pixels.height = options.height;
      pixels.pitch = options.width * 3;
      pixels.format = TJPF_BGR;
      std::vector<uint8_t> jpeg;
      if (!velmora::EncodeJpegPixels(pixels, options.quality, jpeg, &error)) return false;
      plain_.emplace_back(jpeg.begin(), jpeg.end());
      // The thumbnail: every eighth pixel of every eighth row.
      const int tw = std::max(options.width / 8, 8);
      const int th = std::max(options.height / 8, 8);
      std::vector<uint8_t> small(static_cast<size_t>(tw) * th * 3);
      for (int y = 0; y < th; ++y) {
        for (int x = 0; x < tw; ++x) {
          const size_t from = (static_cast<size_t>(std::min(y * 8, options.height - 1)) * options.width +
                               static_cast<size_t>(std::min(x * 8, options.width - 1))) * 3;
          std::copy_n(px.data() + from, 3, small.data() + (static_cast<size_t>(y) * tw + x) * 3);
        }
      }
      pixels.rows = small.data();
      pixels.width = tw;
      pixels.height = th;
      pixels.pitch = tw * 3;
      if (!velmora::EncodeJpegPixels(pixels, options.quality, jpeg, &error)) return false;
      thumbnails_.emplace_back(jpeg.begin(), jpeg.end());
    }
  }
  const int n = count();

  // One frame over 4 MiB that still decodes: comment segments of 65533 bytes behind
  // the first segment.
  {
    const std::string& base = plain_.front();
    const size_t at = FirstSegmentEnd(base);
    std::string big = base.substr(0, at);
    std::string comment = "\xFF\xFE\xFF\xFF";
    comment.append(65533, ' ');
    while (big.size() + base.size() - at <= kFourMiB + 65536) big += comment;
    big.append(base, at, std::string::npos);
    big_.jpegs.push_back(std::make_shared<const std::string>(big));
    big_.parts.push_back(Part(big));
  }

  // Noise after a good header: never a start marker, but end markers now and then.
  {
    std::string noise(64 * 1024, '\0');
    XorShift rng{0x1234567u};
    for (char& c : noise) c = static_cast<char>(rng.next());
    for (size_t i = 0; i + 1 < noise.size(); ++i) {
      if (At(noise, i) == 0xFF && At(noise, i + 1) == 0xD8) noise[i + 1] = static_cast<char>(0xD9);
    }
    for (size_t i = 1000; i + 1 < noise.size(); i += 8192) {
      noise[i] = static_cast<char>(0xFF);
      noise[i + 1] = static_cast<char>(0xD9);
    }
    garbage_ = std::make_shared<const std::string>(std::move(noise));
  }

  // A header that never ends: filler lines past 64 KiB and no blank line.
  {
    std::string header = "HTTP/1.0 200 OK\r\n";
    for (int line = 0; header.size() <= 70 * 1024; ++line) {
      header += "X-Filler-" + std::to_string(line) + ": " + std::string(100, 'x') + "\r\n";
    }
    bigHeader_ = std::make_shared<const std::string>(std::move(header));
  }

  h264_.clear();
  if (options.h264Real) {
    std::vector<std::string> real;
    if (!RealH264Frames(options.width, options.height, options.h264Fps, n, real, error)) return false;
    for (std::string& frame : real) h264_.push_back(std::make_shared<const std::string>(std::move(frame)));
  } else {
    for (int i = 0; i < n; ++i) h264_.push_back(std::make_shared<const std::string>(H264Frame(i, n)));
  }
  return true;
}

const FrameSet& FrameLibrary::Frames(const CameraOptions& camera) {
  const int key = static_cast<int>(camera.motion) + (camera.encrypt ? 4 : 0) + (camera.pad ? 8 : 0) +
                  (camera.exif ? 16 : 0);
  auto found = sets_.find(key);
  if (found != sets_.end()) return found->second;
  FrameSet& set = sets_[key];
  const int n = count();
  for (int i = 0; i < n; ++i) {
    std::string jpeg = plain_[static_cast<size_t>(i)];
    // Files of a folder are their own thumbnails (when they fit into a segment).
    if (camera.exif) {
      jpeg = WithExifThumbnail(jpeg, static_cast<size_t>(i) < thumbnails_.size() ? thumbnails_[static_cast<size_t>(i)]
                                                                                : jpeg);
    }
    jpeg = WithMotionSegment(jpeg, camera.motion, MotionBlock(i, n));
    if (camera.pad) jpeg = WithPadding(jpeg, padBytes_);
    if (camera.encrypt) {
      std::string sealed = EncryptFrame(jpeg, key_, static_cast<uint32_t>(i));
      if (sealed.empty()) {
        std::fprintf(stderr, "camsim: encryption failed, frame %d is sent in plain\n", i);
      } else {
        jpeg = std::move(sealed);
      }
    }
    set.parts.push_back(Part(jpeg));
    set.jpegs.push_back(std::make_shared<const std::string>(std::move(jpeg)));
  }
  return set;
}

}  // namespace camsim
