// The export side: what the "Export Video" dialog does with the images the pump sends,
// without the dialog itself. It names the output, writes each image into the AVI file or
// as a JPEG file, reports its progress and texts to its one listener (the dialog's
// controls through ExportRunner, or the command line's progress line), and ends the export on completion, failure or
// cancel. One session is one export; it lives on the thread that drains its channel.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <variant>

#include "media/image.h"
#include "playback/export_avi.h"
#include "playback/export_pump.h"
#include "playback/playback_messages.h"

namespace velmora {

// Texts of the export (string table).
constexpr const char* kTextCompressorName = "Compressor name: %s";                    // 153
constexpr const char* kTextBrowseError = "Browse button error";                       // 154
constexpr const char* kTextPicturesConverted = "Pictures converted: %d";              // 155
constexpr const char* kTextConversionComplete = "Conversion Complete!";               // 156
constexpr const char* kTextConversionTerminated =
    "Error, conversion terminated! See the status\nmessage over the progress bar for more info.";  // 157
constexpr const char* kTextCanceling = "Canceling, please wait...";                   // 159
constexpr const char* kTextAviBadFormat = "AVI file couldn't be read.";               // 160
constexpr const char* kTextAviNoMemory = "AVI file insufficient memory.";             // 161
constexpr const char* kTextAviReadError = "AVI file disk read error.";                // 162
constexpr const char* kTextAviOpenError = "AVI file open error.";                     // 163
constexpr const char* kTextAviNoHandler = "No AVI file handler.";                     // 164
constexpr const char* kTextAviStreamType = "AVI file stream type error.";             // 165
constexpr const char* kTextAviReadOnly = "AVI file is read only.";                    // 166
constexpr const char* kTextAviUnknown = "Unknown STDAPI error.";                      // 167
constexpr const char* kTextExportComplete = "Export complete!";                       // 170
constexpr const char* kTextConversionInProgress = "Conversion in progress...";        // 171
constexpr const char* kTextCompressorOpenFailed = "Unable to open compressor!";       // 172
constexpr const char* kTextCompressBufferFailed = "Unable to allocate compress buffer!";  // 174
constexpr const char* kTextFormatNotSupported = "Compression format not supported.";  // 175
constexpr const char* kTextBeginFailed = "Unable to begin compression!";              // 176
constexpr const char* kTextSizeChanged = "Exported images changed size!";             // 177
constexpr const char* kTextErrorCompressing = "Error compressing: %d!";               // 178
constexpr const char* kTextInsufficientWrite = "Insufficient write to file!";         // 180
constexpr const char* kTextFileExists = "This file already exists, are you sure\nyou want to overwrite it?";  // 190
constexpr const char* kTextExportAsJpeg = "Export as JPEG images.";                   // 191
constexpr const char* kTextFullFrames = "Full Frames (Uncompressed)";                 // 115

// Longest output path taken from the path box.
constexpr std::size_t kMaxExportPath = 260;

// The text of a writer result.
const char* AviResultText(AviResult result);

// The JPEG file name of an image: "%Y%m%d-%H%M%S" of its UTC time, then "-%03d.jpg"
// with its milliseconds.
std::string ExportJpegName(int64_t seconds, unsigned milliseconds);

// A device name as one folder name: separators and control characters become "_", and
// names that would leave the folder ("", ".", "..") are replaced.
std::string ExportFolderName(const std::string& name);

// The AVI path of the path box: cut to 260 characters; ".avi" appended unless the
// fourth character from the end is a ".".
std::string ExportAviPath(const std::string& pathBox);
// The JPEG folder of the path box: cut to 260 characters, a separator appended.
std::string ExportJpegFolder(const std::string& pathBox);

// The proposal of the next AVI export: a base name and a counter (the base starts empty
// and the counter at 1). The main window holds the one that its export dialogs share.
class ExportNaming {
 public:
  // Advances from the exported path (its file name without folder and extension):
  // without a digit the whole name becomes the base and the counter goes up by one;
  // otherwise the base is the part before the first digit and the counter the number
  // there plus one.
  void Advance(const std::string& exportedPath);
  // pathVideo + base + counter (a separator is put after a folder that lacks one).
  std::string Proposal(const std::string& pathVideo) const;
  const std::string& base() const { return base_; }
  int64_t counter() const { return counter_; }

 private:
  std::string base_;
  int64_t counter_ = 1;
};

// How an export stands.
enum class ExportState { kIdle, kRunning, kCompleted, kFailed, kCancelled };

// What an export reports, one type per kind, so that a receiver shows only what it has
// a place for. Each owns what it carries: the receiver may keep the preview's image.
struct ExportStatusReport {  // the line over the progress bar
  std::string text;
};
struct ExportProgressReport {  // 0..100
  int percent = 0;
};
struct ExportConvertedReport {  // pictures converted so far
  int count = 0;
};
struct ExportPreviewReport {  // the image just written
  std::unique_ptr<Image> image;
};
struct ExportMessageReport {  // an information box, or a warning box
  std::string text;
  bool warning = false;
};
struct ExportSettingsChanged {  // the folder of the export is the new pathVideo setting
  std::string pathVideo;        // with its trailing '/'
};
struct ExportEndedReport {        // sent by ExportRunner once its export thread has ended
  ExportState state = ExportState::kIdle;
};

using ExportReport = std::variant<ExportStatusReport, ExportProgressReport, ExportConvertedReport, ExportPreviewReport,
                                  ExportMessageReport, ExportSettingsChanged, ExportEndedReport>;

// The one receiver of an export's reports, given when the export is made. It is called
// on the thread that drives the session (ExportRunner passes the reports on to the
// thread that owns it).
class ExportListener {
 public:
  virtual void OnExportReport(ExportReport& report) = 0;

 protected:
  ~ExportListener() = default;
};

// The Yes/No question about an existing file: true for Yes.
using ExportQuestion = std::function<bool(const std::string& text)>;

struct ExportOptions {
  bool jpegMode = false;
  int view = 0;                 // playback view 0..15
  CompressorChoice compressor;  // AVI mode
  uint32_t quality = 0xFFFFFFFFu;
  uint32_t keyFrameEvery = 15;
  uint32_t dataRateKBps = 300;
  // Overwrite an existing AVI file without asking.
  bool overwrite = false;
  // Store the folder of the AVI path as pathVideo and advance `naming` (when given).
  bool rememberPath = true;
  // The proposal the dialog shows next; main thread only (advanced by Start).
  ExportNaming* naming = nullptr;
};

// The exports of this process since it started: begun, and ended in any way (completed,
// failed, cancelled). Any thread may read them.
struct ExportCounts {
  uint64_t started = 0;
  uint64_t finished = 0;
};
ExportCounts ExportCountsSoFar();

class ExportSession {
 public:
  using State = ExportState;

  // postPlayback: posts a thread message to the playback thread (false when refused).
  // listener: told of every report; may be null (nothing is told).
  ExportSession(ExportOptions options, std::function<bool(PlaybackMessage)> postPlayback, ExportListener* listener);
  ~ExportSession();
  ExportSession(const ExportSession&) = delete;
  ExportSession& operator=(const ExportSession&) = delete;

  // The compressor label of the dialog.
  std::string CompressorLabel() const;

  // The Export button: takes the path box, asks about an existing file (without `ask`
  // the answer is No), and starts (20522, then 20523 twice). False when it did not start. It
  // asks, and with rememberPath reports the folder as the new pathVideo
  // (ExportSettingsChanged) and advances the options' naming: call it on the main thread (the thread that owns the
  // settings), whichever thread drains the channel afterwards.
  bool Start(const std::string& pathBox, const ExportQuestion& ask = {});
  // One event from the pump.
  void Handle(ExportEvent event);
  // Takes and handles what is waiting in the channel; the number handled.
  int Drain();
  // Cancel while running: 20525 with an event, the export ended at once, then a wait of
  // up to `wait` for the playback thread to confirm. True when it confirmed.
  bool Cancel(std::chrono::milliseconds wait = std::chrono::milliseconds(3000));

  State state() const { return state_; }
  bool running() const { return state_ == State::kRunning; }
  const std::string& outputPath() const { return output_; }
  const std::string& statusText() const { return status_; }
  const std::string& failureText() const { return failure_; }
  int picturesConverted() const { return converted_; }
  int progress() const { return progress_; }
  int64_t framesWritten() const { return streamPosition_; }
  // Damaged or unreadable records of the range the completed export passed over.
  int64_t recordsSkipped() const { return skipped_; }
  const std::shared_ptr<ExportChannel>& channel() const { return channel_; }

 private:
  void WriteImage(ExportImage& image);
  bool FirstImage(ExportImage& image);
  void Status(const std::string& text);
  // Ends the export (completion, failure, cancel): the AVI file is finished and closed.
  // Returns the result of closing the file.
  AviResult End();
  // A failure found here: status line and log, 20525, the export ended, warning 157.
  void Fail(const std::string& text);
  void Converted();
  // Leaves the running state for an end state; counted as a finished export once.
  void SetEnded(State state);
  void Report(ExportReport report) {
    if (listener_) listener_->OnExportReport(report);
  }

  ExportOptions options_;
  std::function<bool(PlaybackMessage)> postPlayback_;
  ExportListener* listener_;
  std::shared_ptr<ExportChannel> channel_;
  State state_ = State::kIdle;
  std::string output_;       // the AVI file, or the JPEG export folder
  std::string jpegFolder_;   // the export folder with the device's folder
  std::string status_;
  std::string failure_;
  bool firstImage_ = true;
  int converted_ = 0;
  int64_t streamPosition_ = 0;
  int progress_ = 0;
  int64_t skipped_ = 0;
  int width_ = 0;
  int height_ = 0;
  std::unique_ptr<AviWriter> avi_;
  ExportRate rate_;
};

}  // namespace velmora
