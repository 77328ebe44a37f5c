// The export dialog's rules: which view command 10051 exports, what Export makes of the
// path box and what the next dialog proposes, and the compressor choice kept in the
// settings.
#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>
#include <set>
#include <vector>

#include "app/settings.h"
#include "app/strings.h"
#include "control/export_choice.h"
#include "live/view_slot.h"

namespace velmora::control {
namespace {

struct Dialogue {
  std::vector<int> asked;
  std::vector<int> informed;
  bool answer = false;
  std::function<bool(int)> Ask() {
    return [this](int id) {
      asked.push_back(id);
      return answer;
    };
  }
  std::function<void(int)> Inform() {
    return [this](int id) { informed.push_back(id); };
  }
};

void Mark(ViewSlots& slots, int tile) {
  for (int t = 0; t < ViewSlots::size(); ++t) slots.at(t)->SetSelected(t == tile);
}

TEST(ExportViewChoice, OneViewGoesStraightOnAndSeveralNeedTheMarkedTile) {
  ViewSlots slots;
  Dialogue d;
  // One playback view: view 0, whatever is marked, nothing asked.
  slots.SetPlaybackSlot(7, 0);
  Mark(slots, 3);
  EXPECT_EQ(ChooseExportView({7}, slots, d.Ask(), d.Inform()), 0);
  EXPECT_TRUE(d.asked.empty() && d.informed.empty());

  // Three views (tiles 2, 5, 7), no tile marked: 411, nothing else.
  slots.SetPlaybackSlot(2, 1);
  slots.SetPlaybackSlot(5, 2);
  Mark(slots, -1);
  const std::vector<int> tiles{2, 5, 7};
  EXPECT_EQ(ChooseExportView(tiles, slots, d.Ask(), d.Inform()), -1);
  EXPECT_EQ(d.informed, std::vector<int>{411});
  EXPECT_TRUE(d.asked.empty());

  // The marked tile takes no part in playback: 411 as well.
  d = Dialogue{};
  Mark(slots, 3);
  EXPECT_EQ(ChooseExportView(tiles, slots, d.Ask(), d.Inform()), -1);
  EXPECT_EQ(d.informed, std::vector<int>{411});

  // A marked playback tile: 412 is asked; No ends quietly, Yes gives its view index.
  d = Dialogue{};
  Mark(slots, 5);
  EXPECT_EQ(ChooseExportView(tiles, slots, d.Ask(), d.Inform()), -1);
  EXPECT_EQ(d.asked, std::vector<int>{412});
  EXPECT_TRUE(d.informed.empty());
  d.answer = true;
  EXPECT_EQ(ChooseExportView(tiles, slots, d.Ask(), d.Inform()), 1);
  // Without a way to ask, the question counts as No.
  EXPECT_EQ(ChooseExportView(tiles, slots, nullptr, d.Inform()), -1);

  // The first marked tile counts; a marked tile holding a slot that the last feed did
  // not take (more tiles picked since): 413 after the Yes.
  d = Dialogue{};
  d.answer = true;
  slots.SetPlaybackSlot(9, 3);
  for (int t : {9, 11}) slots.at(t)->SetSelected(true);
  slots.at(5)->SetSelected(false);
  EXPECT_EQ(ChooseExportView(tiles, slots, d.Ask(), d.Inform()), -1);
  EXPECT_EQ(d.asked, std::vector<int>{412});
  EXPECT_EQ(d.informed, std::vector<int>{413});
  // No playback views at all: nothing can be exported.
  d = Dialogue{};
  Mark(slots, -1);
  EXPECT_EQ(ChooseExportView({}, slots, d.Ask(), d.Inform()), -1);
  EXPECT_EQ(d.informed, std::vector<int>{411});
}

TEST(ExportPathRules, TheBoxTheFileAndTheNextProposal) {
  Settings s;
  s.pathVideo = "/clips/";
  s.pathPictures = "/pictures";
  ExportNaming naming;
  // A fresh process proposes the folder and 1.
  EXPECT_EQ(ProposedExportPath(false, s, naming), "/clips/1");
  EXPECT_EQ(ProposedExportPath(true, s, naming), "/pictures");

  // "gate" becomes gate.avi inside pathVideo; gate.mpg is kept as it is.
  EXPECT_EQ(ExportAviPath(ExportPathFromBox("gate", false, s)), "/clips/gate.avi");
  EXPECT_EQ(ExportAviPath(ExportPathFromBox("  /other/gate.mpg ", false, s)), "/other/gate.mpg");
  // After gate7 the next proposal is gate8; after gate (no digit, counter 1) gate2.
  naming.Advance(ExportAviPath(ExportPathFromBox("/other/gate7", false, s)));
  EXPECT_EQ(ProposedExportPath(false, s, naming), "/clips/gate8");
  ExportNaming fresh;
  fresh.Advance("/clips/gate.avi");
  EXPECT_EQ(ProposedExportPath(false, s, fresh), "/clips/gate2");

  // The desktop's folder comes without a closing separator: the name still goes inside.
  s.pathVideo = "/home/op/Videos";
  EXPECT_EQ(ProposedExportPath(false, s, fresh), "/home/op/Videos/gate2");
  EXPECT_EQ(ExportPathFromBox("gate", false, s), "/home/op/Videos/gate");
  EXPECT_EQ(ExportPathFromBox("day1", true, s), "/pictures/day1");

  // Never the program's working folder; an empty box names nothing.
  s.pathVideo.clear();
  const char* home = std::getenv("HOME");
  const std::string expectedHome = home != nullptr && home[0] == '/' ? home : "/";
  EXPECT_EQ(ExportPathFromBox("gate", false, s), (expectedHome.back() == '/' ? expectedHome : expectedHome + "/") + "gate");
  EXPECT_EQ(ExportPathFromBox("~/x", false, s).substr(0, expectedHome.size()), expectedHome);
  EXPECT_EQ(ExportPathFromBox(" \t ", false, s), "");
}

TEST(ExportCompressorChoice, SettingsLabelsAndTheMachinesList) {
  // Quality: -1 (and anything 0 or below) is the encoder's choice, shown as 0; the
  // percentages map onto 100..10000.
  EXPECT_EQ(QualityPercent(0xFFFFFFFFu), 0);
  EXPECT_EQ(QualityPercent(0), 0);
  EXPECT_EQ(QualityPercent(1), 1);
  EXPECT_EQ(QualityPercent(7500), 75);
  EXPECT_EQ(QualityPercent(20000), 100);
  EXPECT_EQ(QualityFromPercent(0), 0xFFFFFFFFu);
  EXPECT_EQ(QualityFromPercent(75), 7500u);
  EXPECT_EQ(QualityFromPercent(250), 10000u);
  for (int p = 0; p <= 100; ++p) EXPECT_EQ(QualityPercent(QualityFromPercent(p)), p);

  Settings s;
  const CompressorSettings chosen{FourccFromText("H264"), 5000, 30, 800};
  StoreCompressorSettings(chosen, s);
  EXPECT_EQ(s.aviFCC, FourccFromText("H264"));
  EXPECT_EQ(s.aviQuality, 5000u);
  EXPECT_EQ(s.aviKeyFrame, 30u);
  EXPECT_EQ(s.aviDataRate, 800u);
  EXPECT_EQ(CompressorSettingsOf(s), chosen);

  // The list: uncompressed and pass-through first, then only encoders, each code once.
  const auto& list = ListCompressors();
  ASSERT_GE(list.size(), 3u);
  EXPECT_EQ(list[0].fourcc, kFourccDib);
  EXPECT_EQ(list[1].fourcc, kFourccMjpg);
  EXPECT_EQ(CompressorEntryText(list[0]), StringText(115));
  EXPECT_FALSE(CompressorTunable(list[0]));
  EXPECT_FALSE(CompressorTunable(list[1]));
  std::set<uint32_t> codes;
  for (std::size_t i = 0; i < list.size(); ++i) {
    EXPECT_TRUE(codes.insert(list[i].fourcc).second) << FourccText(list[i].fourcc);
    if (i >= 2) {
      EXPECT_EQ(list[i].kind, CompressorKind::kEncoder);
      EXPECT_TRUE(CompressorTunable(list[i]));
      EXPECT_FALSE(list[i].encoder.empty());
    }
  }
  // MPEG-4 is built into the codec library, so every machine lists it.
  EXPECT_TRUE(codes.count(FourccFromText("FMP4")));

  // The compressor in force and the dialog's label.
  EXPECT_EQ(CompressorInForce(kFourccDib).fourcc, kFourccDib);
  EXPECT_EQ(CompressorInForce(FourccFromText("ZZZZ")).fourcc, kFourccMjpg);
  EXPECT_EQ(CompressorInForce(FourccFromText("ZZZZ")).fourcc, kFourccMjpg);  // logged once, same answer
  EXPECT_EQ(CompressorLabelText(false, list[0]), "Compressor name: Full Frames (Uncompressed)");
  EXPECT_EQ(CompressorLabelText(false, list[1]), "Compressor name: " + list[1].description);
  EXPECT_EQ(CompressorLabelText(true, list[1]), "Export as JPEG images.");

  s.aviFCC = kFourccDib;
  const ExportOptions o = ExportOptionsFor(false, 2, s);
  EXPECT_EQ(o.view, 2);
  EXPECT_EQ(o.compressor.fourcc, kFourccDib);
  EXPECT_EQ(o.quality, 5000u);
  EXPECT_TRUE(o.rememberPath);
  EXPECT_FALSE(o.overwrite);
}

}  // namespace
}  // namespace velmora::control
