// The export's rules that need no files: the frame rate, the naming of outputs and of
// the next proposal, the quality clamp, the compressor choice and the command line.
#include <gtest/gtest.h>

#include "app/settings.h"
#include "playback/export_avi.h"
#include "playback/export_pump.h"
#include "playback/export_run.h"
#include "playback/export_writer.h"

namespace velmora {
namespace {

TEST(ExportRate, MotionRecordingsRunAtTenImagesASecondTimesTheSpeed) {
  // Speed 4: 40 a second, capped at 24 with one image passed over per image written.
  EXPECT_EQ(ComputeExportRate(4.0, true, 0, 0), (ExportRate{24, 1, 1, 1}));
  EXPECT_EQ(ComputeExportRate(-4.0, true, 0, 0), (ExportRate{24, 1, 1, 1}));  // direction ignored
  EXPECT_EQ(ComputeExportRate(1.0, true, 0, 0), (ExportRate{10, 1, 1, 0}));
  EXPECT_EQ(ComputeExportRate(10.0, true, 0, 0), (ExportRate{24, 1, 1, 3}));  // (100-24)/24+0.5 = 3.67
  // Speed 0.1: one a second; 0.05 stretches twice; 0.02 would stretch 5 times, the
  // scale stops at 3.
  EXPECT_EQ(ComputeExportRate(0.1, true, 0, 0), (ExportRate{1, 1, 1, 0}));
  EXPECT_EQ(ComputeExportRate(0.05, true, 0, 0), (ExportRate{1, 2, 1, 0}));
  EXPECT_EQ(ComputeExportRate(0.02, true, 0, 0), (ExportRate{1, 3, 1, 0}));
}

TEST(ExportRate, ContinuousRecordingsFollowTheirOwnRate) {
  // Speed 1: the recorded rate, two images per step, never capped.
  EXPECT_EQ(ComputeExportRate(1.0, false, 300, 10.0), (ExportRate{30, 1, 2, 0}));
  EXPECT_EQ(ComputeExportRate(1.0, false, 105, 10.0), (ExportRate{11, 1, 2, 0}));  // 10.5 rounds up
  EXPECT_EQ(ComputeExportRate(1.0, false, 104, 10.0), (ExportRate{10, 1, 2, 0}));
  // Above 1: multiplied and capped; below 1: multiplied, not capped.
  EXPECT_EQ(ComputeExportRate(4.0, false, 100, 10.0), (ExportRate{24, 1, 1, 1}));
  EXPECT_EQ(ComputeExportRate(2.0, false, 100, 10.0), (ExportRate{20, 1, 1, 0}));
  EXPECT_EQ(ComputeExportRate(0.5, false, 1000, 10.0), (ExportRate{50, 1, 1, 0}));
  // Slow material: one frame a second, stretched by 1/r (rounded), at most 3.
  EXPECT_EQ(ComputeExportRate(1.0, false, 5, 10.0), (ExportRate{1, 2, 2, 0}));
  EXPECT_EQ(ComputeExportRate(1.0, false, 1, 100.0), (ExportRate{1, 3, 2, 0}));
  EXPECT_EQ(ComputeExportRate(1.0, false, 0, 10.0), (ExportRate{1, 3, 2, 0}));
}

TEST(ExportNames, AviPathsGetTheirExtensionUnlessTheyHaveOne) {
  EXPECT_EQ(ExportAviPath("/clips/gate"), "/clips/gate.avi");
  EXPECT_EQ(ExportAviPath("/clips/gate.mpg"), "/clips/gate.mpg");
  EXPECT_EQ(ExportAviPath("avi"), "avi.avi");
  EXPECT_EQ(ExportAviPath(std::string(300, 'a')).size(), kMaxExportPath + 4);
  EXPECT_EQ(ExportJpegFolder("/pictures"), "/pictures/");
  EXPECT_EQ(ExportJpegFolder("/pictures/"), "/pictures/");
}

TEST(ExportNames, TheNextProposalCountsOnFromTheLastName) {
  ExportNaming naming;
  EXPECT_EQ(naming.Proposal("/v/"), "/v/1");
  naming.Advance("/clips/gate7.avi");
  EXPECT_EQ(naming.Proposal("/v/"), "/v/gate8");
  ExportNaming fresh;
  fresh.Advance("/clips/gate.avi");  // no digit: the counter goes on from 1
  EXPECT_EQ(fresh.Proposal("/v/"), "/v/gate2");
  fresh.Advance("/clips/cam12b3.avi");  // the first run of digits counts
  EXPECT_EQ(fresh.base(), "cam");
  EXPECT_EQ(fresh.counter(), 13);
  fresh.Advance("/clips/x99999999999999999999999.avi");  // no overflow
  EXPECT_GT(fresh.counter(), 0);
}

TEST(ExportNames, JpegFilesAreNamedByTheirUtcTimeAndDevicesByASafeFolder) {
  // 2013-05-01 12:00:00.045 UTC
  EXPECT_EQ(ExportJpegName(1367409600, 45), "20130501-120000-045.jpg");
  EXPECT_EQ(ExportFolderName("Door"), "Door");
  EXPECT_EQ(ExportFolderName("a/b"), "a_b");
  EXPECT_EQ(ExportFolderName(".."), "_..");
  EXPECT_EQ(ExportFolderName(""), "_");
  EXPECT_EQ(ExportFolderName("x\ny"), "x_y");
}

TEST(ExportCompressor, QualityClampAndChoice) {
  EXPECT_EQ(ClampQuality(0xFFFFFFFFu), 1);  // -1 is used as 1
  EXPECT_EQ(ClampQuality(0), 1);
  EXPECT_EQ(ClampQuality(5000), 5000);
  EXPECT_EQ(ClampQuality(20000), 10000);

  CompressorChoice c;
  ASSERT_TRUE(FindCompressor(kFourccDib, c));
  EXPECT_EQ(c.kind, CompressorKind::kUncompressed);
  ASSERT_TRUE(FindCompressor(FourccFromText("MJPG"), c));
  EXPECT_EQ(c.kind, CompressorKind::kPassThroughJpeg);
  ASSERT_TRUE(FindCompressor(FourccFromText("FMP4"), c));
  EXPECT_EQ(c.kind, CompressorKind::kEncoder);
  EXPECT_FALSE(FindCompressor(FourccFromText("ZZZZ"), c));
  EXPECT_FALSE(FindCompressor(0, c));
  // An unusable setting falls back to the pass-through compressor.
  EXPECT_EQ(ResolveCompressor(FourccFromText("ZZZZ")).fourcc, kFourccMjpg);
  EXPECT_EQ(ResolveCompressor(kFourccDib).fourcc, kFourccDib);
}

TEST(ExportCommandLine, ArgumentsAndTimes) {
  int64_t t = 0;
  EXPECT_TRUE(ParseExportTime("1367409600", t));
  EXPECT_EQ(t, 1367409600);
  ASSERT_TRUE(ParseExportTime("2013-05-01 12:00:00", t));
  int64_t later = 0;
  ASSERT_TRUE(ParseExportTime("2013-05-01 12:00:05", later));
  EXPECT_EQ(later - t, 5);
  EXPECT_FALSE(ParseExportTime("2013-02-31 12:00:00", t));
  EXPECT_FALSE(ParseExportTime("2013-05-01 12:00:00x", t));
  EXPECT_FALSE(ParseExportTime("yesterday", t));
  EXPECT_FALSE(ParseExportTime("", t));

  ExportCommandArgs a;
  std::string error;
  ASSERT_TRUE(ParseExportArgs({"--jpeg", "--from", "100", "--to", "200", "/rec/Door", "/out"}, a, error)) << error;
  EXPECT_TRUE(a.jpeg);
  EXPECT_EQ(a.from, 100);
  EXPECT_EQ(a.to, 200);
  EXPECT_EQ(a.source, "/rec/Door");
  EXPECT_EQ(a.output, "/out");
  ExportCommandArgs b;
  ASSERT_TRUE(ParseExportArgs({"--codec", "DIB", "s", "o"}, b, error));
  EXPECT_EQ(b.codec, "DIB ");
  ExportCommandArgs c;
  EXPECT_FALSE(ParseExportArgs({"only-one"}, c, error));
  EXPECT_FALSE(ParseExportArgs({"--from"}, c, error));
  EXPECT_FALSE(ParseExportArgs({"--bogus", "s", "o"}, c, error));
  EXPECT_FALSE(ParseExportArgs({"--from", "200", "--to", "100", "s", "o"}, c, error));
  EXPECT_FALSE(ParseExportArgs({"--codec", "TOOLONG", "s", "o"}, c, error));
}

}  // namespace
}  // namespace velmora
