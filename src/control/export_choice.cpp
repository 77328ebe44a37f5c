#include "control/export_choice.h"

#include <algorithm>
#include <cstdlib>
#include <set>

#include "app/strings.h"
#include "live/view_slot.h"

namespace velmora::control {

namespace {

std::string Trimmed(const std::string& text) {
  const auto first = text.find_first_not_of(" \t\r\n");
  if (first == std::string::npos) return std::string();
  const auto last = text.find_last_not_of(" \t\r\n");
  return text.substr(first, last - first + 1);
}

std::string HomeFolder() {
  const char* home = std::getenv("HOME");
  return home != nullptr && home[0] == '/' ? std::string(home) : std::string("/");
}

std::string WithSlash(std::string folder) {
  if (folder.empty() || folder.back() != '/') folder += '/';
  return folder;
}

}  // namespace

int ChooseExportView(const std::vector<int>& playbackTiles, const ViewSlots& slots,
                     const std::function<bool(int)>& ask, const std::function<void(int)>& inform) {
  auto tell = [&inform](int id) {
    if (inform) inform(id);
    return -1;
  };
  if (playbackTiles.size() == 1) return 0;
  int marked = -1;
  for (int t = 0; t < ViewSlots::size() && marked < 0; ++t) {
    const ViewSlot* slot = slots.at(t);
    if (slot != nullptr && slot->Selected()) marked = t;
  }
  if (marked < 0 || slots.PlaybackSlot(marked) < 0) return tell(kStrExportPickOne);
  if (!ask || !ask(kStrExportMarkedOne)) return -1;
  const auto it = std::find(playbackTiles.begin(), playbackTiles.end(), marked);
  if (it == playbackTiles.end()) return tell(kStrExportNoSingle);
  return static_cast<int>(it - playbackTiles.begin());
}

CompressorSettings CompressorSettingsOf(const Settings& s) {
  return CompressorSettings{s.aviFCC, s.aviQuality, s.aviKeyFrame, s.aviDataRate};
}

void StoreCompressorSettings(const CompressorSettings& choice, Settings& s) {
  s.aviFCC = choice.fourcc;
  s.aviQuality = choice.quality;
  s.aviKeyFrame = choice.keyFrameEvery;
  s.aviDataRate = choice.dataRateKBps;
}

int QualityPercent(uint32_t aviQuality) {
  const auto q = static_cast<int32_t>(aviQuality);
  if (q <= 0) return 0;
  return std::min(100, (q + 99) / 100);
}

uint32_t QualityFromPercent(int percent) {
  if (percent <= 0) return 0xFFFFFFFFu;
  return static_cast<uint32_t>(std::min(percent, 100) * 100);
}

CompressorChoice CompressorInForce(uint32_t aviFCC) {
  for (const CompressorChoice& c : ListCompressors()) {
    if (c.fourcc == aviFCC) return c;
  }
  // The stand-in is logged once per code, not at every opening of the dialog.
  static std::set<uint32_t> logged;
  if (logged.insert(aviFCC).second) return ResolveCompressor(aviFCC);
  CompressorChoice choice;
  if (!FindCompressor(aviFCC, choice)) FindCompressor(kFourccMjpg, choice);
  return choice;
}

bool CompressorTunable(const CompressorChoice& choice) { return choice.kind == CompressorKind::kEncoder; }

std::string CompressorEntryText(const CompressorChoice& choice) {
  if (choice.kind == CompressorKind::kUncompressed) return StringText(115);
  std::string code = FourccText(choice.fourcc);
  while (!code.empty() && code.back() == ' ') code.pop_back();
  return choice.description.empty() ? code : code + " - " + choice.description;
}

std::string CompressorLabelText(bool jpegMode, const CompressorChoice& choice) {
  if (jpegMode) return StringText(191);
  return FormatString(153, choice.description.empty() ? StringText(115) : choice.description);
}

std::string ProposedExportPath(bool jpegMode, const Settings& s, const ExportNaming& naming) {
  return jpegMode ? s.pathPictures : naming.Proposal(s.pathVideo);
}

std::string ExportPathFromBox(const std::string& box, bool jpegMode, const Settings& s) {
  std::string path = Trimmed(box);
  if (path.empty()) return path;
  if (path == "~") return HomeFolder();
  if (path.compare(0, 2, "~/") == 0) return WithSlash(HomeFolder()) + path.substr(2);
  if (path[0] == '/') return path;
  const std::string& folder = jpegMode ? s.pathPictures : s.pathVideo;
  return WithSlash(folder.empty() || folder[0] != '/' ? HomeFolder() : folder) + path;
}

ExportOptions ExportOptionsFor(bool jpegMode, int view, const Settings& s) {
  ExportOptions options;
  options.jpegMode = jpegMode;
  options.view = view;
  if (!jpegMode) options.compressor = CompressorInForce(s.aviFCC);
  options.quality = s.aviQuality;
  options.keyFrameEvery = s.aviKeyFrame;
  options.dataRateKBps = s.aviDataRate;
  options.overwrite = false;
  options.rememberPath = true;
  return options;
}

}  // namespace velmora::control
