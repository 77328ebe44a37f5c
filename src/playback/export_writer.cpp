#include "playback/export_writer.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <ctime>
#include <filesystem>

#include "app/log.h"
#include "app/settings.h"
#include "platform/event.h"

namespace velmora {

namespace {

// ExportCountsSoFar: written by whichever thread drives a session, read by the HTTP
// server's handlers.
std::atomic<uint64_t> g_exportsStarted{0};
std::atomic<uint64_t> g_exportsFinished{0};

std::string Format(const char* format, long long value) {
  char text[256];
  std::snprintf(text, sizeof text, format, value);
  return text;
}

std::string FormatText(const char* format, const std::string& value) {
  std::string out(format);
  const auto at = out.find("%s");
  if (at != std::string::npos) out.replace(at, 2, value);
  return out;
}

// Cuts a UTF-8 text to at most `limit` bytes without splitting a character.
std::string CutText(const std::string& text, std::size_t limit) {
  if (text.size() <= limit) return text;
  std::size_t end = limit;
  while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) --end;
  return text.substr(0, end);
}

// Writes the whole buffer to a new (or truncated) file. Returns 0, or the system error.
int WriteWholeFile(const std::string& path, const uint8_t* data, std::size_t length) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) {
    const int error = errno;
    LogLastError("CreateFile");
    return error;
  }
  std::size_t done = 0;
  while (done < length) {
    const ssize_t n = ::write(fd, data + done, length - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (n == 0) errno = ENOSPC;
      const int error = errno;
      LogLastError("WriteFile");
      ::close(fd);
      return error;
    }
    done += static_cast<std::size_t>(n);
  }
  if (::close(fd) != 0) {
    const int error = errno;
    LogLastError("CloseHandle");
    return error;
  }
  return 0;
}

}  // namespace

const char* AviResultText(AviResult result) {
  switch (result) {
    case AviResult::kOk:
      return "";
    case AviResult::kOpenFailed:
      return kTextAviOpenError;
    case AviResult::kReadOnly:
      return kTextAviReadOnly;
    case AviResult::kNoMemory:
      return kTextAviNoMemory;
    case AviResult::kNoHandler:
      return kTextAviNoHandler;
    case AviResult::kCompressorOpen:
      return kTextCompressorOpenFailed;
    case AviResult::kFormatUnsupported:
      return kTextFormatNotSupported;
    case AviResult::kCompressFailed:
      return kTextBeginFailed;  // a frame's own failure is reported with its code instead
    case AviResult::kWriteShort:
      return kTextInsufficientWrite;
    case AviResult::kOtherError:
      return kTextAviUnknown;
  }
  return kTextAviUnknown;
}

std::string ExportJpegName(int64_t seconds, unsigned milliseconds) {
  const time_t t = static_cast<time_t>(seconds);
  struct tm utc {};
  if (gmtime_r(&t, &utc) == nullptr) return std::string();
  char stamp[64];
  std::strftime(stamp, sizeof stamp, "%Y%m%d-%H%M%S", &utc);
  char name[96];
  std::snprintf(name, sizeof name, "%s-%03d.jpg", stamp, static_cast<int>(milliseconds % 1000));
  return name;
}

std::string ExportFolderName(const std::string& name) {
  std::string out;
  for (char c : name) {
    const auto u = static_cast<unsigned char>(c);
    out += (c == '/' || c == '\\' || u < 0x20 || u == 0x7F) ? '_' : c;
  }
  if (out.empty() || out == "." || out == "..") out = "_" + out;
  return CutText(out, 255);
}

std::string ExportAviPath(const std::string& pathBox) {
  std::string path = CutText(pathBox, kMaxExportPath);
  if (path.size() < 4 || path[path.size() - 4] != '.') path += ".avi";
  return path;
}

std::string ExportJpegFolder(const std::string& pathBox) {
  std::string path = CutText(pathBox, kMaxExportPath);
  if (path.empty() || path.back() != '/') path += '/';
  return path;
}

void ExportNaming::Advance(const std::string& exportedPath) {
  std::string name = exportedPath;
  const auto slash = name.find_last_of('/');
  if (slash != std::string::npos) name = name.substr(slash + 1);
  const auto dot = name.find_last_of('.');
  if (dot != std::string::npos) name = name.substr(0, dot);
  const auto digit = name.find_first_of("0123456789");
  if (digit == std::string::npos) {
    base_ = name;
    ++counter_;
    return;
  }
  base_ = name.substr(0, digit);
  int64_t number = 0;
  for (std::size_t i = digit; i < name.size() && name[i] >= '0' && name[i] <= '9'; ++i) {
    // A very long run of digits stops growing instead of overflowing.
    if (number < INT64_C(100000000000000000)) number = number * 10 + (name[i] - '0');
  }
  counter_ = number + 1;
}

std::string ExportNaming::Proposal(const std::string& pathVideo) const {
  // The folder as the desktop names it has no closing separator ("~/Videos"); one that
  // an export stored has. Either way the name goes inside the folder.
  std::string folder = pathVideo;
  if (!folder.empty() && folder.back() != '/') folder += '/';
  return folder + base_ + std::to_string(counter_);
}

ExportCounts ExportCountsSoFar() {
  ExportCounts counts;
  counts.started = g_exportsStarted.load(std::memory_order_relaxed);
  counts.finished = g_exportsFinished.load(std::memory_order_relaxed);
  return counts;
}

void ExportSession::SetEnded(State state) {
  if (state_ == State::kRunning) g_exportsFinished.fetch_add(1, std::memory_order_relaxed);
  state_ = state;
}

ExportSession::ExportSession(ExportOptions options, std::function<bool(PlaybackMessage)> postPlayback,
                             ExportListener* listener)
    : options_(std::move(options)),
      postPlayback_(std::move(postPlayback)),
      listener_(listener),
      channel_(std::make_shared<ExportChannel>()) {}

ExportSession::~ExportSession() {
  if (state_ == State::kRunning) {
    if (postPlayback_) postPlayback_(PlayMsgExportReset{});
    End();
    SetEnded(State::kCancelled);
  }
}

std::string ExportSession::CompressorLabel() const {
  if (options_.jpegMode) return kTextExportAsJpeg;
  const std::string& description = options_.compressor.description;
  return FormatText(kTextCompressorName, description.empty() ? std::string(kTextFullFrames) : description);
}

void ExportSession::Status(const std::string& text) {
  status_ = text;
  Report(ExportStatusReport{text});
}

bool ExportSession::Start(const std::string& pathBox, const ExportQuestion& ask) {
  if (state_ == State::kRunning) return false;
  if (options_.jpegMode) {
    output_ = ExportJpegFolder(pathBox);
  } else {
    output_ = ExportAviPath(pathBox);
    std::error_code ec;
    if (std::filesystem::exists(output_, ec) && !options_.overwrite) {
      if (!ask || !ask(kTextFileExists)) return false;
    }
    if (options_.rememberPath) {
      const auto slash = output_.find_last_of('/');
      if (slash != std::string::npos) {
        Report(ExportSettingsChanged{output_.substr(0, slash + 1)});
      }
      if (options_.naming != nullptr) options_.naming->Advance(output_);
    }
  }
  state_ = State::kRunning;
  g_exportsStarted.fetch_add(1, std::memory_order_relaxed);
  firstImage_ = true;
  converted_ = 0;
  streamPosition_ = 0;
  progress_ = 0;
  skipped_ = 0;
  failure_.clear();
  channel_->setRunning(true);
  PlayMsgExportStart start;
  start.exportWindow = channel_;
  start.view = options_.view;
  bool posted = postPlayback_ && postPlayback_(std::move(start));
  for (int step = 0; posted && step < kExportStepsInFlight; ++step) posted = postPlayback_(PlayMsgExportNext{});
  if (!posted) {
    Fail(kTextExportSendFailed);
    return false;
  }
  return true;
}

int ExportSession::Drain() {
  int handled = 0;
  while (auto event = channel_->take()) {
    Handle(std::move(*event));
    ++handled;
  }
  return handled;
}

void ExportSession::Handle(ExportEvent event) {
  if (state_ != State::kRunning) return;  // what arrives after the end is dropped
  if (auto* image = std::get_if<ExportImage>(&event)) {
    WriteImage(*image);
  } else if (auto* progress = std::get_if<ExportProgress>(&event)) {
    progress_ = progress->percent;
    Report(ExportProgressReport{progress_});
    if (!postPlayback_ || !postPlayback_(PlayMsgExportNext{})) Fail(kTextExportSendFailed);
  } else if (auto* complete = std::get_if<ExportComplete>(&event)) {
    skipped_ = complete->skipped;
    // The file counts as written only when its end reached the disk as well.
    const AviResult closed = End();
    if (closed != AviResult::kOk) {
      state_ = State::kRunning;
      Fail(AviResultText(closed));
      return;
    }
    Status(kTextExportComplete);
    progress_ = 100;
    Report(ExportProgressReport{100});
    SetEnded(State::kCompleted);
    Report(ExportMessageReport{kTextConversionComplete, false});
  } else if (auto* failed = std::get_if<ExportFailed>(&event)) {
    Fail(failed->text);
  }
}

void ExportSession::Converted() {
  ++converted_;
  Report(ExportConvertedReport{converted_});
}

bool ExportSession::FirstImage(ExportImage& image) {
  firstImage_ = false;
  converted_ = 0;
  streamPosition_ = 0;
  Status(kTextConversionInProgress);
  if (options_.jpegMode) {
    jpegFolder_ = output_ + ExportFolderName(image.name) + "/";
    std::error_code ec;
    std::filesystem::create_directories(jpegFolder_, ec);
    if (ec) {
      Log("CreateDirectory failed (%d: %s)", ec.value(), ec.message().c_str());
      Fail(Format(kTextErrorCompressing, ec.value()));
      return false;
    }
    return true;
  }
  const Image& first = *image.frame->image;
  width_ = first.width();
  height_ = first.height();
  rate_ = channel_->rate();
  AviOptions avi;
  avi.compressor = options_.compressor;
  avi.rate = rate_.rate;
  avi.scale = rate_.scale;
  avi.width = width_;
  avi.height = height_;
  avi.streamName = image.caption;
  avi.quality = options_.quality;
  avi.keyFrameEvery = options_.keyFrameEvery;
  avi.dataRateKBps = options_.dataRateKBps;
  // The proposed file lies in the desktop's videos folder, which a fresh account may not
  // have yet: the folder is made as a JPEG export makes its own. When that fails the
  // open below fails and says so.
  const std::filesystem::path folder = std::filesystem::path(output_).parent_path();
  std::error_code made;
  if (!folder.empty()) std::filesystem::create_directories(folder, made);
  if (made) Log("CreateDirectory failed (%d: %s)", made.value(), made.message().c_str());
  avi_ = std::make_unique<AviWriter>();
  const AviResult opened = avi_->Open(output_, avi);
  if (opened != AviResult::kOk) {
    Fail(AviResultText(opened));
    return false;
  }
  return true;
}

void ExportSession::WriteImage(ExportImage& image) {
  if (!image.frame || !image.frame->image || !image.frame->jpeg) {
    Fail(Format(kTextErrorCompressing, -1));
    return;
  }
  if (firstImage_ && !FirstImage(image)) return;
  const Image& picture = *image.frame->image;
  if (options_.jpegMode) {
    // The recorded JPEG, byte for byte.
    const std::string path = jpegFolder_ + ExportJpegName(image.time, image.milliseconds);
    const int error = WriteWholeFile(path, image.frame->jpeg.get(), static_cast<std::size_t>(image.frame->length));
    if (error != 0) {
      Fail(Format(kTextErrorCompressing, error));
      return;
    }
  } else {
    if (picture.width() != width_ || picture.height() != height_) {
      Fail(kTextSizeChanged);
      return;
    }
    const AviResult written = avi_->Write(picture, image.frame->jpeg.get(), static_cast<std::size_t>(image.frame->length));
    if (written != AviResult::kOk) {
      Fail(written == AviResult::kCompressFailed ? Format(kTextErrorCompressing, avi_->lastError())
                                                 : std::string(AviResultText(written)));
      return;
    }
    ++streamPosition_;
  }
  // The image is written: the preview takes it over instead of a copy.
  Report(ExportPreviewReport{std::move(image.frame->image)});
  Converted();
}

AviResult ExportSession::End() {
  channel_->setRunning(false);
  AviResult result = AviResult::kOk;
  if (avi_) result = avi_->Close();
  avi_.reset();
  // Whatever the pump posted before it saw the end is dropped with its images.
  while (channel_->take()) {
  }
  return result;
}

void ExportSession::Fail(const std::string& text) {
  failure_ = text;
  Status(text);
  Log("%s", text.c_str());
  if (postPlayback_) postPlayback_(PlayMsgExportReset{});
  End();
  SetEnded(State::kFailed);
  Report(ExportMessageReport{kTextConversionTerminated, true});
}

bool ExportSession::Cancel(std::chrono::milliseconds wait) {
  if (state_ != State::kRunning) return true;
  auto done = std::make_shared<platform::Event>(platform::Event::Reset::kManual);
  PlayMsgExportReset reset;
  reset.done = done;
  const bool posted = postPlayback_ && postPlayback_(std::move(reset));
  End();
  SetEnded(State::kCancelled);
  Status(kTextCanceling);
  return posted && done->wait(wait);
}

}  // namespace velmora
