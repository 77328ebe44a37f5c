// The export dialog's rules without widgets: which playback view kCmdExport (10051) exports,
// the compressor choice of "Advanced" and how it is kept in the settings, the label
// naming the compressor, the path box's proposal and what Export makes of its text.
//
// Main thread only: these read and write the settings.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "app/settings.h"
#include "playback/export_avi.h"
#include "playback/export_writer.h"

namespace velmora {
class ViewSlots;
}

namespace velmora::control {

// String numbers of the view choice.
constexpr int kStrExportPickOne = 411;     // information: more than one view, none marked
constexpr int kStrExportMarkedOne = 412;   // question: export the marked one?
constexpr int kStrExportNoSingle = 413;    // information: the marked tile is no playback view

// The playback view kCmdExport (10051) exports. playbackTiles: the tiles taking part in
// playback, in view order. When there is exactly one, it is view 0. Otherwise the first
// tile with the selection mark is looked for: none, or one without a playback slot,
// informs 411 and gives -1; then 412 is asked (anything but Yes gives -1); a marked tile
// that is not among the playback views informs 413 and gives -1. ask returns true for
// Yes; either hook may be empty (a question without a hook is answered No).
int ChooseExportView(const std::vector<int>& playbackTiles, const ViewSlots& slots,
                     const std::function<bool(int stringId)>& ask, const std::function<void(int stringId)>& inform);

// The compressor settings as the "Advanced" choice edits them.
struct CompressorSettings {
  uint32_t fourcc = 0;                 // aviFCC
  uint32_t quality = 0xFFFFFFFFu;      // aviQuality; -1: the encoder's own choice
  uint32_t keyFrameEvery = 15;         // aviKeyFrame; 0: the encoder's own choice
  uint32_t dataRateKBps = 300;         // aviDataRate; 0: no target
  bool operator==(const CompressorSettings&) const = default;
};
CompressorSettings CompressorSettingsOf(const Settings& s);
// Stores the choice (the caller saves the settings afterwards).
void StoreCompressorSettings(const CompressorSettings& choice, Settings& s);

// Quality as a percentage for the chooser: 0 stands for "the encoder's own choice"
// (aviQuality -1, or anything 0 or below); 1..100 are aviQuality / 100, rounded up.
int QualityPercent(uint32_t aviQuality);
uint32_t QualityFromPercent(int percent);

// The compressor in force for aviFCC: the listed one with that code when there is one,
// else what ResolveCompressor stands in with (logged once per process and code).
CompressorChoice CompressorInForce(uint32_t aviFCC);
// Whether quality, key-frame interval and data rate mean anything for the compressor
// (they do for encoders, not for uncompressed or passed-through frames).
bool CompressorTunable(const CompressorChoice& choice);
// One line of the chooser: "Full Frames (Uncompressed)" for "DIB ", else the code and
// the description ("H264 - libx264 H.264 / AVC ...").
std::string CompressorEntryText(const CompressorChoice& choice);
// The dialog's compressor label: string 191 in JPEG mode, else string 153 with the
// description, or with string 115 when there is none.
std::string CompressorLabelText(bool jpegMode, const CompressorChoice& choice);

// What the path box proposes when the dialog opens (pathPictures in JPEG mode, else
// pathVideo, the base name and the counter of the naming).
std::string ProposedExportPath(bool jpegMode, const Settings& s, const ExportNaming& naming);

// What Export takes from the path box: blanks around it dropped; a relative name is
// put inside pathVideo (AVI) or pathPictures (JPEG), or the home folder when that is
// empty, never into the program's working folder. Empty when the box holds no name.
std::string ExportPathFromBox(const std::string& box, bool jpegMode, const Settings& s);

// The export's options from the settings: mode, view, compressor in force, quality,
// key-frame interval and data rate.
ExportOptions ExportOptionsFor(bool jpegMode, int view, const Settings& s);

}  // namespace velmora::control
