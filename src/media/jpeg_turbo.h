// Thin RAII layer over the TurboJPEG C API, header-only so that the fake camera
// (which links no project library) and the decoder share it.
#pragma once

#include <turbojpeg.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace velmora {

enum class TurboKind { kCompress = 1, kDecompress = 2 };

// Owns one tjhandle. A handle may be used by one thread at a time.
class TurboJpegHandle {
 public:
  explicit TurboJpegHandle(TurboKind kind)
      : handle_(kind == TurboKind::kCompress ? tjInitCompress() : tjInitDecompress()) {}
  ~TurboJpegHandle() {
    if (handle_ != nullptr) tjDestroy(handle_);
  }
  TurboJpegHandle(const TurboJpegHandle&) = delete;
  TurboJpegHandle& operator=(const TurboJpegHandle&) = delete;
  TurboJpegHandle(TurboJpegHandle&& other) noexcept : handle_(std::exchange(other.handle_, nullptr)) {}
  TurboJpegHandle& operator=(TurboJpegHandle&& other) noexcept {
    if (this != &other) {
      if (handle_ != nullptr) tjDestroy(handle_);
      handle_ = std::exchange(other.handle_, nullptr);
    }
    return *this;
  }

  tjhandle get() const { return handle_; }
  explicit operator bool() const { return handle_ != nullptr; }
  // The library's text for the last failure on this handle (or of the last init).
  std::string errorText() const {
    const char* text = tjGetErrorStr2(handle_);
    return text != nullptr ? text : "";
  }

 private:
  tjhandle handle_;
};

// One handle of each kind per thread, made on first use; null when the library fails.
inline TurboJpegHandle& ThreadDecompressor() {
  thread_local TurboJpegHandle handle(TurboKind::kDecompress);
  return handle;
}
inline TurboJpegHandle& ThreadCompressor() {
  thread_local TurboJpegHandle handle(TurboKind::kCompress);
  return handle;
}

// Packed pixel rows to be encoded. `rows` is the first byte in memory; `pitch` the
// positive distance between rows in memory; `bottomUp` says the first row in memory is
// the bottom row of the picture. `format` is a TJPF_* value (TJPF_BGR, TJPF_BGRX,
// TJPF_GRAY, ...).
struct JpegPixels {
  const uint8_t* rows = nullptr;
  int width = 0;
  int height = 0;
  int pitch = 0;
  int format = TJPF_BGR;
  bool bottomUp = false;
};

// Encodes pixels as a baseline JPEG (4:2:0 for colour, one component for grey).
// Quality is clamped to 1..100. Returns false and fills *error on failure.
inline bool EncodeJpegPixels(const JpegPixels& px, int quality, std::vector<uint8_t>& out,
                             std::string* error = nullptr) {
  out.clear();
  if (px.rows == nullptr || px.width <= 0 || px.height <= 0 || px.pitch <= 0) {
    if (error != nullptr) *error = "bad pixel buffer";
    return false;
  }
  TurboJpegHandle& tj = ThreadCompressor();
  if (!tj) {
    if (error != nullptr) *error = tj.errorText();
    return false;
  }
  const int subsamp = px.format == TJPF_GRAY ? TJSAMP_GRAY : TJSAMP_420;
  const unsigned long bound = tjBufSize(px.width, px.height, subsamp);
  if (bound == static_cast<unsigned long>(-1)) {
    if (error != nullptr) *error = "image too large to encode";
    return false;
  }
  out.resize(bound);
  unsigned char* dst = out.data();
  unsigned long size = bound;
  int flags = TJFLAG_NOREALLOC;
  if (px.bottomUp) flags |= TJFLAG_BOTTOMUP;
  if (tjCompress2(tj.get(), px.rows, px.width, px.pitch, px.height, px.format, &dst, &size, subsamp,
                  std::clamp(quality, 1, 100), flags) != 0) {
    if (error != nullptr) *error = tj.errorText();
    out.clear();
    return false;
  }
  out.resize(size);
  return true;
}

}  // namespace velmora
