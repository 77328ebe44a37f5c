// Exports end to end: recordings written with the format module (real small JPEGs),
// the engine and the pump stepping through them, the session writing AVI files and JPEG
// files; the AVI files are checked by the reference reader and decoder, the JPEG files
// byte for byte.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <thread>

#include "app/settings.h"
#include "app/strings.h"
#include "live/http_get.h"
#include "playback/export_run.h"
#include "process.h"
#include "test_export_support.h"

extern "C" {
#include <libavcodec/avcodec.h>
}

namespace velmora {
namespace {

using exporttest::DecodesCleanly;
using exporttest::ExportRig;
using exporttest::ProbeStream;
using playtest::kHourStart;
using playtest::LogCapture;
using playtest::ReadAll;
using playtest::RecordWriter;
using playtest::SmallJpeg;
using playtest::TempFolder;

struct Recorded {
  int64_t seconds;
  unsigned ms;
  std::vector<uint8_t> jpeg;
};

// `count` images, 100 ms apart, of changing shades (so every JPEG differs).
std::vector<Recorded> Record(RecordWriter& writer, int count, bool motion = false, int side = 16,
                             int64_t start = kHourStart + 600) {
  std::vector<Recorded> out;
  for (int i = 0; i < count; ++i) {
    const int64_t ms = int64_t{i} * 100;
    Recorded r{start + ms / 1000, static_cast<unsigned>(ms % 1000), SmallJpeg(static_cast<uint8_t>(20 + 7 * i), side)};
    writer.Append(r.seconds, r.ms, r.jpeg, motion);
    out.push_back(std::move(r));
  }
  return out;
}

ExportOptions AviOptionsFor(uint32_t fourcc) {
  ExportOptions o;
  EXPECT_TRUE(FindCompressor(fourcc, o.compressor));
  o.rememberPath = false;
  return o;
}

// What a session told its listener.
struct Collected final : ExportListener {
  std::vector<std::string> messages;
  std::vector<int> converted;
  std::vector<std::string> statuses;
  std::string pathVideo;  // the folder the export reported for the pathVideo setting

  void OnExportReport(ExportReport& report) override {
    if (const auto* c = std::get_if<ExportSettingsChanged>(&report)) pathVideo = c->pathVideo;
    if (const auto* m = std::get_if<ExportMessageReport>(&report)) messages.push_back(m->text);
    if (const auto* n = std::get_if<ExportConvertedReport>(&report)) converted.push_back(n->count);
    if (const auto* t = std::get_if<ExportStatusReport>(&report)) statuses.push_back(t->text);
  }
};

TEST(ExportAvi, PassThroughJpegKeepsEveryRecordedImage) {
  TempFolder rec, out;
  RecordWriter writer(rec.path() / "Door");
  const auto images = Record(writer, 20);
  ExportRig rig;
  rig.Feed({(rec.path() / "Door").string()});
  Collected c;
  ExportSession session(AviOptionsFor(kFourccMjpg), rig.Poster(), &c);
  const std::string file = (out.path() / "gate").string();
  ASSERT_TRUE(session.Start(file));
  rig.Run(session);
  ASSERT_EQ(session.state(), ExportSession::State::kCompleted) << session.failureText();
  EXPECT_EQ(session.outputPath(), file + ".avi");
  EXPECT_EQ(session.picturesConverted(), 20);
  EXPECT_EQ(session.progress(), 100);
  ASSERT_FALSE(c.converted.empty());
  EXPECT_EQ(c.converted[1], 2);  // after two pictures the count shows 2
  EXPECT_EQ(c.statuses.front(), kTextConversionInProgress);
  EXPECT_EQ(c.statuses.back(), kTextExportComplete);
  EXPECT_EQ(c.messages, std::vector<std::string>{kTextConversionComplete});
  // 20 images over 1.9 s: 10.5 a second, rounded to 11; two per step at speed 1.
  EXPECT_EQ(rig.pump.rate(), (ExportRate{11, 1, 2, 0}));

  auto probe = ProbeStream(session.outputPath());
  EXPECT_EQ(probe["codec_name"], "mjpeg");
  EXPECT_EQ(probe["codec_tag_string"], "MJPG");
  EXPECT_EQ(probe["nb_read_frames"], "20");
  EXPECT_EQ(probe["width"], "16");
  EXPECT_EQ(probe["r_frame_rate"], "11/1");
  std::string complaints;
  EXPECT_TRUE(DecodesCleanly(session.outputPath(), complaints)) << complaints;
}

TEST(ExportAvi, UncompressedFramesAreNeverKeyFramesAndDecode) {
  TempFolder rec, out;
  RecordWriter writer(rec.path() / "Yard");
  // 20 x 20: rows of 60 bytes padded to 64, as uncompressed bottom-up rows are stored.
  Record(writer, 12, false, 20);
  ExportRig rig;
  rig.Feed({(rec.path() / "Yard").string()});
  Collected c;
  ExportSession session(AviOptionsFor(kFourccDib), rig.Poster(), &c);
  ASSERT_TRUE(session.Start((out.path() / "yard.avi").string()));
  rig.Run(session);
  ASSERT_EQ(session.state(), ExportSession::State::kCompleted) << session.failureText();
  auto probe = ProbeStream(session.outputPath());
  EXPECT_EQ(probe["codec_name"], "rawvideo");
  EXPECT_EQ(probe["nb_read_frames"], "12");
  // The reader calls every frame of an intra-only codec a key frame, so the file's own
  // index is read: no entry carries the key-frame flag.
  const auto keys = exporttest::IndexKeyFlags(session.outputPath());
  ASSERT_EQ(keys.size(), 12u);
  for (bool key : keys) EXPECT_FALSE(key);
  std::string complaints;
  EXPECT_TRUE(DecodesCleanly(session.outputPath(), complaints)) << complaints;

}

// The decoded colour of one pixel of the first frame (ffmpeg's reading), as b, g, r.
bool FirstFramePixel(const std::string& file, int x, int y, int& b, int& g, int& r) {
  std::string pixel;
  // Two by two: subsampled colour cannot be cut to a single pixel.
  const std::string crop = "crop=2:2:" + std::to_string(x) + ":" + std::to_string(y);
  if (exporttest::RunCommand("ffmpeg -nostdin -v error -i '" + file + "' -frames:v 1 -vf " + crop +
                                 " -f rawvideo -pix_fmt bgr24 - | od -An -tu1",
                             pixel) != 0) {
    return false;
  }
  return std::sscanf(pixel.c_str(), "%d %d %d", &b, &g, &r) == 3;
}

TEST(ExportAvi, RowsKeepTheirOrderAndPadding) {
  // 22 x 20: uncompressed rows of 66 bytes padded to 68. Top half red, bottom half blue;
  // a row stride or row order read wrongly would swap or smear the halves. The encoder
  // path reads the same rows through the converter.
  std::unique_ptr<Image> picture = Image::New(22, 20, 24);
  picture->FillRect(Rect{0, 0, 22, 10}, Colour{240, 10, 10});
  picture->FillRect(Rect{0, 10, 22, 10}, Colour{10, 10, 240});
  const std::vector<uint8_t> jpeg = EncodeJpeg(*picture, 95);
  std::unique_ptr<Image> decoded = ImageFromBuffer(jpeg.data(), jpeg.size());
  ASSERT_TRUE(decoded);
  for (const char* code : {"DIB ", "FMP4"}) {
    const int tolerance = std::string(code) == "DIB " ? 3 : 48;
    TempFolder rec, out;
    RecordWriter writer(rec.path() / "Yard");
    for (int i = 0; i < 3; ++i) writer.Append(kHourStart + 600 + i, 0, jpeg);
    ExportRig rig;
    rig.Feed({(rec.path() / "Yard").string()});
    Collected c;
    ExportSession session(AviOptionsFor(FourccFromText(code)), rig.Poster(), &c);
    ASSERT_TRUE(session.Start((out.path() / "rows.avi").string()));
    rig.Run(session);
    ASSERT_EQ(session.state(), ExportSession::State::kCompleted) << code << ": " << session.failureText();
    for (int y : {2, 16}) {
      for (int x : {0, 20}) {
        int b = 0, g = 0, r = 0;
        ASSERT_TRUE(FirstFramePixel(session.outputPath(), x, y, b, g, r)) << code;
        const Colour want = decoded->PixelAt(x, y);
        EXPECT_NEAR(b, want.b, tolerance) << code << " " << x << "," << y;
        EXPECT_NEAR(g, want.g, tolerance) << code << " " << x << "," << y;
        EXPECT_NEAR(r, want.r, tolerance) << code << " " << x << "," << y;
      }
    }
  }
}

TEST(ExportAvi, EncodersOfTheCodecLibrary) {
  for (const char* code : {"FMP4", "H264"}) {
    CompressorChoice choice;
    if (!FindCompressor(FourccFromText(code), choice)) {
      ASSERT_STRNE(code, "FMP4") << "the MPEG-4 encoder is always built";
      continue;  // no H.264 encoder in this build
    }
    TempFolder rec, out;
    RecordWriter writer(rec.path() / "Gate");
    Record(writer, 10);
    ExportRig rig;
    rig.Feed({(rec.path() / "Gate").string()});
    Collected c;
    ExportSession session(AviOptionsFor(FourccFromText(code)), rig.Poster(), &c);
    ASSERT_TRUE(session.Start((out.path() / "gate.avi").string()));
    rig.Run(session);
    ASSERT_EQ(session.state(), ExportSession::State::kCompleted) << code << ": " << session.failureText();
    auto probe = ProbeStream(session.outputPath());
    EXPECT_EQ(probe["codec_name"], std::string(code) == "H264" ? "h264" : "mpeg4") << code;
    EXPECT_EQ(probe["nb_read_frames"], "10") << code;
    const auto keys = exporttest::IndexKeyFlags(session.outputPath());
    ASSERT_EQ(keys.size(), 10u);
    EXPECT_TRUE(keys[0]) << code;  // an encoded stream starts with a key frame
    std::string complaints;
    EXPECT_TRUE(DecodesCleanly(session.outputPath(), complaints)) << code << ": " << complaints;
  }
}

TEST(ExportAvi, ImagesThatChangeSizeStopTheExportAndLeaveTheFile) {
  TempFolder rec, out;
  RecordWriter writer(rec.path() / "Door");
  for (int i = 0; i < 6; ++i) writer.Append(kHourStart + 600 + i, 0, SmallJpeg(100, i < 3 ? 16 : 24));
  ExportRig rig;
  rig.Feed({(rec.path() / "Door").string()});
  Collected c;
  ExportSession session(AviOptionsFor(kFourccMjpg), rig.Poster(), &c);
  ASSERT_TRUE(session.Start((out.path() / "door.avi").string()));
  rig.Run(session);
  EXPECT_EQ(session.state(), ExportSession::State::kFailed);
  EXPECT_EQ(session.failureText(), kTextSizeChanged);
  EXPECT_EQ(session.statusText(), kTextSizeChanged);
  EXPECT_EQ(c.messages, std::vector<std::string>{kTextConversionTerminated});
  EXPECT_EQ(session.picturesConverted(), 3);
  ASSERT_TRUE(std::filesystem::exists(session.outputPath()));
  EXPECT_EQ(ProbeStream(session.outputPath())["nb_read_frames"], "3");
  // The stop reached the playback side: a further step sends nothing.
  while (rig.engine.processOne()) {
  }
  EXPECT_FALSE(rig.pump.active());
}

// A file proposed in a folder that does not exist yet (a fresh account's videos folder)
// is written: the folder is made first.
TEST(ExportAvi, TheFilesMissingFolderIsMade) {
  TempFolder rec, out;
  RecordWriter writer(rec.path() / "Door");
  Record(writer, 3);
  ExportRig rig;
  rig.Feed({(rec.path() / "Door").string()});
  Collected c;
  ExportSession session(AviOptionsFor(kFourccMjpg), rig.Poster(), &c);
  const std::filesystem::path file = out.path() / "Videos" / "deeper" / "1.avi";
  ASSERT_TRUE(session.Start(file.string()));
  rig.Run(session);
  EXPECT_EQ(session.state(), ExportSession::State::kCompleted) << session.failureText();
  EXPECT_EQ(c.messages, std::vector<std::string>{kTextConversionComplete});
  EXPECT_EQ(ProbeStream(file.string())["nb_read_frames"], "3");
}

// A file that cannot be opened fails the export with the open error alone. The export
// side asks for the next step before it writes the step's images (as the export thread
// does): that step, arriving after the failure, is no second failure of its own.
TEST(ExportAvi, AFileThatCannotBeOpenedIsOneErrorNotTwo) {
  TempFolder rec, out;
  RecordWriter writer(rec.path() / "Door");
  Record(writer, 10);
  ExportRig rig;
  rig.Feed({(rec.path() / "Door").string()});
  std::ofstream(out.path() / "plain") << "a file where the folder should be";
  Collected c;
  ExportSession session(AviOptionsFor(kFourccMjpg), rig.Poster(), &c);
  ASSERT_TRUE(session.Start((out.path() / "plain" / "Videos" / "1.avi").string()));
  while (rig.engine.processOne()) {
  }
  std::vector<ExportEvent> step;
  while (auto event = session.channel()->take()) step.push_back(std::move(*event));
  ASSERT_GE(step.size(), 2u);
  for (ExportEvent& event : step) {
    if (std::holds_alternative<ExportProgress>(event)) session.Handle(std::move(event));
  }
  for (ExportEvent& event : step) {
    if (!std::holds_alternative<ExportProgress>(event)) session.Handle(std::move(event));
  }
  EXPECT_EQ(session.state(), ExportSession::State::kFailed);
  EXPECT_EQ(session.failureText(), kTextAviOpenError);
  while (rig.engine.processOne()) {
  }
  EXPECT_FALSE(rig.pump.active());
  EXPECT_EQ(std::count(rig.statuses.begin(), rig.statuses.end(), std::string(kTextExportSendFailed)), 0);
  EXPECT_EQ(c.messages, std::vector<std::string>{kTextConversionTerminated});
  EXPECT_EQ(session.statusText(), kTextAviOpenError);
  EXPECT_TRUE(session.channel()->size() == 0);
}

TEST(ExportAvi, AFullDiskIsAFailureNeverACompletedExport) {
  // Writes to /dev/full fail with "no space": buffered data that never reaches the disk
  // must not end as a completed file.
  if (!std::filesystem::exists("/dev/full")) GTEST_SKIP() << "no /dev/full";
  AviOptions options;
  ASSERT_TRUE(FindCompressor(kFourccMjpg, options.compressor));
  options.width = 16;
  options.height = 16;
  AviWriter writer;
  ASSERT_EQ(writer.Open("/dev/full", options), AviResult::kOk);
  const std::vector<uint8_t> jpeg = SmallJpeg(50, 16);
  std::unique_ptr<Image> image = ImageFromBuffer(jpeg.data(), jpeg.size());
  ASSERT_TRUE(image);
  AviResult result = AviResult::kOk;
  for (int i = 0; i < 200 && result == AviResult::kOk; ++i) result = writer.Write(*image, jpeg.data(), jpeg.size());
  const AviResult closed = writer.Close();
  EXPECT_TRUE(result == AviResult::kWriteShort || closed == AviResult::kWriteShort)
      << static_cast<int>(result) << " " << static_cast<int>(closed);
  EXPECT_STREQ(AviResultText(AviResult::kWriteShort), kTextInsufficientWrite);
  // A frame of another size is refused by the writer itself as well.
  ASSERT_EQ(writer.Open((std::filesystem::temp_directory_path() / "velmora-export-size.avi").string(), options),
            AviResult::kOk);
  std::unique_ptr<Image> other = Image::New(24, 16, 24);
  EXPECT_EQ(writer.Write(*other, jpeg.data(), jpeg.size()), AviResult::kFormatUnsupported);
  EXPECT_EQ(writer.Close(), AviResult::kOk);
  std::filesystem::remove(std::filesystem::temp_directory_path() / "velmora-export-size.avi");
}

TEST(ExportAvi, AnExistingFileIsOnlyReplacedWhenTheOperatorSaysYes) {
  TempFolder rec, out;
  RecordWriter writer(rec.path() / "Door");
  Record(writer, 4);
  const std::string file = (out.path() / "old.avi").string();
  playtest::AppendBytes(file, "x", 1);
  ExportRig rig;
  rig.Feed({(rec.path() / "Door").string()});
  Collected c;
  std::vector<std::string> asked;
  bool answer = false;
  auto ask = [&](const std::string& q) {
    asked.push_back(q);
    return answer;
  };
  ExportOptions options = AviOptionsFor(kFourccMjpg);
  options.rememberPath = true;
  ExportNaming naming;
  options.naming = &naming;
  ExportSession declined(options, rig.Poster(), &c);
  EXPECT_FALSE(declined.Start(file, ask));
  EXPECT_EQ(declined.state(), ExportSession::State::kIdle);
  EXPECT_EQ(asked, std::vector<std::string>{kTextFileExists});
  EXPECT_EQ(playtest::SizeOf(file), 1u);
  EXPECT_TRUE(c.pathVideo.empty());
  EXPECT_EQ(naming.Proposal("/v"), "/v/1");  // a declined export does not advance the name

  answer = true;
  ExportSession accepted(options, rig.Poster(), &c);
  ASSERT_TRUE(accepted.Start(file, ask));
  rig.Run(accepted);
  EXPECT_EQ(accepted.state(), ExportSession::State::kCompleted);
  EXPECT_EQ(c.pathVideo, out.str() + "/");
  EXPECT_EQ(naming.Proposal(c.pathVideo), out.str() + "/old2");
}

TEST(ExportJpeg, RecordedImagesAreWrittenByteForByteIntoTheDeviceFolder) {
  TempFolder rec, out;
  RecordWriter writer(rec.path() / "Door");
  const auto images = Record(writer, 15, false, 16, kHourStart + 3590);  // crosses an hour
  ExportRig rig;
  rig.Feed({(rec.path() / "Door").string()}, {"Door"});
  Collected c;
  ExportOptions options;
  options.jpegMode = true;
  ExportSession session(options, rig.Poster(), &c);
  EXPECT_EQ(session.CompressorLabel(), kTextExportAsJpeg);
  ASSERT_TRUE(session.Start(out.str()));
  rig.Run(session);
  ASSERT_EQ(session.state(), ExportSession::State::kCompleted) << session.failureText();
  EXPECT_EQ(session.picturesConverted(), 15);
  int files = 0;
  for (const auto& entry : std::filesystem::directory_iterator(out.path() / "Door")) {
    (void)entry;
    ++files;
  }
  EXPECT_EQ(files, 15);
  for (const auto& r : images) {
    const auto path = out.path() / "Door" / ExportJpegName(r.seconds, r.ms);
    EXPECT_EQ(ReadAll(path), r.jpeg) << path;
  }
}

TEST(ExportPumpSteps, MotionRecordingAtSpeedFourPassesEveryOtherImageOver) {
  TempFolder rec, out;
  RecordWriter writer(rec.path() / "Door");
  Record(writer, 10, true);
  ExportRig rig;
  rig.Feed({(rec.path() / "Door").string()});
  rig.engine.SetSpeedTenths(40);
  Collected c;
  ExportSession session(AviOptionsFor(kFourccMjpg), rig.Poster(), &c);
  ASSERT_TRUE(session.Start((out.path() / "m.avi").string()));
  rig.Run(session);
  ASSERT_EQ(session.state(), ExportSession::State::kCompleted) << session.failureText();
  EXPECT_EQ(rig.pump.rate(), (ExportRate{24, 1, 1, 1}));
  EXPECT_EQ(session.picturesConverted(), 5);
  auto probe = ProbeStream(session.outputPath());
  EXPECT_EQ(probe["r_frame_rate"], "24/1");
  EXPECT_EQ(probe["nb_read_frames"], "5");
}

// The export side keeps two steps asked for, so the pump reads the next step while the
// last one is written; never more than two steps wait in the channel.
TEST(ExportPumpSteps, TwoStepsAreAskedForAndNoMoreWait) {
  TempFolder rec, out;
  RecordWriter writer(rec.path() / "Door");
  Record(writer, 10);
  ExportRig rig;
  rig.Feed({(rec.path() / "Door").string()});
  Collected c;
  ExportSession session(AviOptionsFor(kFourccMjpg), rig.Poster(), &c);
  ASSERT_TRUE(session.Start((out.path() / "two.avi").string()));
  std::vector<std::size_t> waiting;  // events in the channel each time the pump has caught up
  for (int pass = 0; pass < 1000 && session.running(); ++pass) {
    while (rig.engine.processOne()) {
    }
    waiting.push_back(session.channel()->size());
    if (session.Drain() == 0) break;
  }
  ASSERT_EQ(session.state(), ExportSession::State::kCompleted) << session.failureText();
  EXPECT_EQ(session.picturesConverted(), 10);
  // A step: its images and its progress.
  const auto twoSteps = static_cast<std::size_t>(2 * (rig.pump.rate().imagesPerStep + 1));
  ASSERT_FALSE(waiting.empty());
  EXPECT_EQ(waiting.front(), twoSteps);
  EXPECT_LE(*std::max_element(waiting.begin(), waiting.end()), twoSteps);
}

TEST(ExportPumpSteps, FailuresOfThePlaybackSideReachTheExport) {
  TempFolder rec, out;
  RecordWriter writer(rec.path() / "Door");
  Record(writer, 3);
  ExportRig rig;
  rig.Feed({(rec.path() / "Door").string()});
  Collected c;
  ExportOptions options = AviOptionsFor(kFourccMjpg);
  options.view = 1;  // only one view plays
  ExportSession session(options, rig.Poster(), &c);
  ASSERT_TRUE(session.Start((out.path() / "v.avi").string()));
  rig.Run(session);
  EXPECT_EQ(session.state(), ExportSession::State::kFailed);
  EXPECT_EQ(session.failureText(), kTextExportInvalidView);
  EXPECT_NE(std::find(rig.statuses.begin(), rig.statuses.end(), kTextExportInvalidView), rig.statuses.end());

  // The first image cannot be read (its data file is gone): "Unable to read file".
  TempFolder rec2;
  RecordWriter writer2(rec2.path() / "Gone");
  Record(writer2, 3);
  ExportRig rig2;
  rig2.Feed({(rec2.path() / "Gone").string()});
  std::filesystem::remove(DataFilePath(rec2.path() / "Gone", HourKey(static_cast<int32_t>(kHourStart + 600))));
  ExportSession session2(AviOptionsFor(kFourccMjpg), rig2.Poster(), &c);
  ASSERT_TRUE(session2.Start((out.path() / "g.avi").string()));
  rig2.Run(session2);
  EXPECT_EQ(session2.state(), ExportSession::State::kFailed);
  EXPECT_EQ(session2.failureText(), kTextExportReadFailed);
}

TEST(ExportPumpSteps, CancelStopsThePlaybackThreadAndKeepsThePartialFile) {
  TempFolder rec, out;
  RecordWriter writer(rec.path() / "Door");
  Record(writer, 40);
  ExportRig rig;
  rig.Feed({(rec.path() / "Door").string()});
  std::thread playback([&rig] { rig.engine.run(); });
  Collected c;
  ExportSession session(AviOptionsFor(kFourccMjpg), rig.Poster(), &c);
  ASSERT_TRUE(session.Start((out.path() / "c.avi").string()));
  // Write a few steps, then cancel.
  for (int i = 0; i < 200 && session.picturesConverted() < 4; ++i) {
    if (session.channel()->waitFor(std::chrono::milliseconds(50))) session.Drain();
  }
  EXPECT_GE(session.picturesConverted(), 4);
  EXPECT_TRUE(session.Cancel(std::chrono::milliseconds(3000)));
  EXPECT_EQ(session.state(), ExportSession::State::kCancelled);
  EXPECT_EQ(session.statusText(), kTextCanceling);
  rig.engine.queue().post(PlayMsgQuit{});
  playback.join();
  EXPECT_FALSE(rig.pump.active());
  const int written = session.picturesConverted();
  EXPECT_EQ(ProbeStream(session.outputPath())["nb_read_frames"], std::to_string(written));
}

std::string SinkText(std::FILE* sink) {
  std::string text;
  std::rewind(sink);
  char buffer[1024];
  std::size_t n = 0;
  while ((n = std::fread(buffer, 1, sizeof buffer, sink)) > 0) text.append(buffer, n);
  return text;
}

// `count` records 100 ms apart from kHourStart + 600 (one hour file), with their positions.
std::vector<IndexEntry> RecordEntries(RecordWriter& writer, int count) {
  std::vector<IndexEntry> entries;
  for (int i = 0; i < count; ++i) {
    const int64_t ms = int64_t{i} * 100;
    entries.push_back(writer.Append(kHourStart + 600 + ms / 1000, static_cast<unsigned>(ms % 1000),
                                    SmallJpeg(static_cast<uint8_t>(i), 16)));
  }
  return entries;
}

// Overwrites the magic of the record at the position (test setup, not the reader).
void SpoilMagic(const std::filesystem::path& folder, const IndexEntry& at) {
  std::fstream f(DataFilePath(folder, HourKey(at.time)), std::ios::in | std::ios::out | std::ios::binary);
  f.seekp(static_cast<std::streamoff>(at.offset));
  f.write("XXXX", 4);
}

int CountOf(const std::string& text, const std::string& part) {
  int n = 0;
  for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
  return n;
}

TEST(ExportWhilePlaying, EveryRecordIsWrittenWhateverThePlaybackDoes) {
  TempFolder rec, out;
  const auto folder = rec.path() / "Door";
  RecordWriter writer(folder);
  const auto entries = RecordEntries(writer, 300);
  struct Case {
    const char* name;
    bool play;
    bool forwards;
    int speedTenths;
  };
  const Case cases[] = {{"paused", false, true, 10},
                        {"forwards", true, true, 10},
                        {"backwards", true, false, 10},
                        {"fastest forwards", true, true, 1000000},
                        {"fastest backwards", true, false, 1000000}};
  for (const Case& k : cases) {
    exporttest::SteppedClock clock;
    ExportRig rig(&clock);
    rig.Feed({folder.string()});
    rig.engine.SetSpeedTenths(k.speedTenths);
    if (k.play) {
      // Backwards play starts from the end of the timeline.
      rig.engine.Play(k.forwards ? 0 : rig.engine.timeline().columns(), k.forwards);
      ASSERT_TRUE(rig.engine.playing()) << k.name;
    }
    Collected c;
    ExportSession session(AviOptionsFor(kFourccMjpg), rig.Poster(), &c);
    const std::string file = (out.path() / (std::string(k.name) + ".avi")).string();
    ASSERT_TRUE(session.Start(file)) << k.name;
    rig.RunWhilePlaying(session);
    ASSERT_EQ(session.state(), ExportSession::State::kCompleted) << k.name << ": " << session.failureText();
    // Every record is written, except those the rate rule passes over at a high speed
    // (one written, then `skip` passed over): the playing view never takes any away.
    const ExportRate rate = rig.pump.rate();
    const int expected = (static_cast<int>(entries.size()) + rate.skip) / (rate.skip + 1);
    if (k.speedTenths > 10) {
      EXPECT_EQ(rate.rate, 24) << k.name;
      EXPECT_GT(rate.skip, 0) << k.name;
    } else {
      EXPECT_EQ(expected, static_cast<int>(entries.size())) << k.name;
    }
    EXPECT_EQ(session.picturesConverted(), expected) << k.name;
    EXPECT_EQ(session.framesWritten(), static_cast<int64_t>(expected)) << k.name;
    EXPECT_EQ(session.recordsSkipped(), 0) << k.name;
    EXPECT_EQ(ProbeStream(session.outputPath())["nb_read_frames"], std::to_string(expected)) << k.name;
    if (k.play) {
      EXPECT_GT(rig.shownCaptions.size(), 1u) << k.name << ": the play went on beside the export";
    }
  }
}

TEST(ExportDamagedRecords, ARecordDamagedInTheMiddleIsPassedOverInPlaybackAndExport) {
  LogCapture log;
  TempFolder rec, out;
  const auto folder = rec.path() / "Door";
  RecordWriter writer(folder);
  const auto entries = RecordEntries(writer, 300);
  const IndexEntry bad = entries[150];
  SpoilMagic(folder, bad);
  const std::string badLine = "RecordType error; file=" + HourKey(bad.time) + ", offset=" + std::to_string(bad.offset);

  // Playback: playing forwards shows every other record, then backwards again.
  exporttest::SteppedClock clock;
  ExportRig rig(&clock);
  rig.Feed({folder.string()});
  rig.engine.Play(0, true);
  for (int i = 0; i < 2000 && rig.engine.playing(); ++i) rig.engine.PlayStep();
  EXPECT_FALSE(rig.engine.playing()) << "the play reached the end and paused";
  ASSERT_EQ(rig.shownCaptions.size(), 299u);
  EXPECT_EQ(rig.shownBlank, 0);
  EXPECT_EQ(rig.shownCaptions.back(), "Door: " + FrameTimeText(entries.back().time, entries.back().milliseconds));
  EXPECT_EQ(rig.engine.positions().current[0], entries.back());
  rig.shownCaptions.clear();
  rig.engine.Play(rig.engine.timeline().columns(), false);
  for (int i = 0; i < 2000 && rig.engine.playing(); ++i) rig.engine.PlayStep();
  EXPECT_EQ(rig.engine.positions().current[0], entries.front()) << "backwards over the damage to the first record";
  EXPECT_EQ(rig.shownCaptions.size(), 298u);  // every record but the damaged one and the last, shown before

  // Export while playing forwards: every other record is written; the damaged one is
  // counted as passed over, and the export completes.
  rig.engine.Play(0, true);
  Collected c;
  ExportOptions options;
  options.jpegMode = true;
  ExportSession session(options, rig.Poster(), &c);
  ASSERT_TRUE(session.Start(out.str()));
  rig.RunWhilePlaying(session);
  ASSERT_EQ(session.state(), ExportSession::State::kCompleted) << session.failureText();
  EXPECT_EQ(session.picturesConverted(), 299);
  EXPECT_EQ(session.recordsSkipped(), 1);
  EXPECT_FALSE(std::filesystem::exists(out.path() / "Door" / ExportJpegName(bad.time, bad.milliseconds)));
  EXPECT_TRUE(std::filesystem::exists(out.path() / "Door" / ExportJpegName(entries[151].time, entries[151].milliseconds)));
  // Playing over it twice and exporting it once: one log line, one status.
  EXPECT_EQ(CountOf(log.text(), badLine), 1) << log.text();
  EXPECT_EQ(std::count(rig.statuses.begin(), rig.statuses.end(), std::string("Wrong format for recorded data!")), 1);

  // The command line completes too, and says what it passed over.
  std::FILE* sink = std::tmpfile();
  ASSERT_NE(sink, nullptr);
  EXPECT_EQ(ExportCommandMain({folder.string(), (out.path() / "door.avi").string()}, sink, sink), 0);
  EXPECT_NE(SinkText(sink).find("1 damaged recorded images were passed over"), std::string::npos) << SinkText(sink);
  EXPECT_EQ(ProbeStream((out.path() / "door.avi").string())["nb_read_frames"], "299");
  std::fclose(sink);
}

TEST(ExportDamagedRecords, RecordsTheWalkCannotReachMakeTheExportFail) {
  TempFolder rec, out;
  const auto folder = rec.path() / "Yard";
  RecordWriter writer(folder);
  for (int i = 0; i < 6; ++i) writer.Append(kHourStart + 600 + i, 0, SmallJpeg(static_cast<uint8_t>(10 * i)));
  for (int i = 0; i < 4; ++i) writer.Append(kHourStart + 3600 + i, 0, SmallJpeg(static_cast<uint8_t>(9 * i)));

  // Playback is left in the middle of the export (the two-hour limit does that): the
  // rest of the range is not reached, and the export says so.
  {
    ExportRig rig;
    rig.Feed({folder.string()});
    Collected c;
    ExportSession session(AviOptionsFor(kFourccMjpg), rig.Poster(), &c);
    ASSERT_TRUE(session.Start((out.path() / "left.avi").string()));
    for (int i = 0; i < 100 && session.running() && session.picturesConverted() < 4; ++i) {
      while (rig.engine.processOne()) {
      }
      session.Drain();
    }
    rig.engine.Stop();
    rig.Run(session);
    EXPECT_EQ(session.state(), ExportSession::State::kFailed);
    EXPECT_EQ(session.failureText(), "Export ended early: 6 of 10 recorded images were not reached!");
    EXPECT_EQ(c.messages, std::vector<std::string>{kTextConversionTerminated});
  }

  // The second hour's data file is gone while its index stays: the command fails.
  std::filesystem::remove(DataFilePath(folder, HourKey(static_cast<int32_t>(kHourStart + 3600))));
  std::FILE* sink = std::tmpfile();
  ASSERT_NE(sink, nullptr);
  EXPECT_EQ(ExportCommandMain({folder.string(), (out.path() / "gone.avi").string()}, sink, sink), 1);
  EXPECT_NE(SinkText(sink).find("4 of 10 recorded images were not reached"), std::string::npos) << SinkText(sink);
  EXPECT_EQ(ProbeStream((out.path() / "gone.avi").string())["nb_read_frames"], "6") << "what was read stays readable";
  std::fclose(sink);
}

TEST(ExportCommand, ExportsAFolderToAviAndJpegAndReportsFailures) {
  TempFolder rec, out;
  RecordWriter writer(rec.path() / "Door");
  const auto images = Record(writer, 8);
  const std::string source = (rec.path() / "Door").string();
  const std::string avi = (out.path() / "door.avi").string();
  std::FILE* sink = std::tmpfile();
  ASSERT_NE(sink, nullptr);

  EXPECT_EQ(ExportCommandMain({source, avi}, sink, sink), 0) << SinkText(sink);
  EXPECT_EQ(ProbeStream(avi)["nb_read_frames"], "8");
  EXPECT_EQ(ProbeStream(avi)["codec_name"], "mjpeg");
  // The file is there now: not replaced without --force.
  EXPECT_EQ(ExportCommandMain({source, avi}, sink, sink), 1);
  EXPECT_EQ(ExportCommandMain({"--force", "--codec", "DIB", source, avi}, sink, sink), 0);
  EXPECT_EQ(ProbeStream(avi)["codec_name"], "rawvideo");
  // A range: the images of the first second only (00.0 to 00.9).
  const std::string from = std::to_string(images.front().seconds);
  EXPECT_EQ(ExportCommandMain({"--jpeg", "--from", from, "--to", from, source, out.str() + "/j"}, sink, sink), 0);
  EXPECT_EQ(ReadAll(out.path() / "j" / "Door" / ExportJpegName(images[7].seconds, images[7].ms)), images[7].jpeg);

  // An interruption ends the export with a failure status.
  const std::atomic<bool> interrupted{true};
  EXPECT_EQ(ExportCommandMain({"--force", source, avi}, sink, sink, &interrupted), 1);

  EXPECT_EQ(ExportCommandMain({"--help"}, sink, sink), 0);
  EXPECT_EQ(ExportCommandMain({"--codec", "ZZZZ", source, avi}, sink, sink), 2);
  EXPECT_EQ(ExportCommandMain({source}, sink, sink), 2);
  EXPECT_EQ(ExportCommandMain({(rec.path() / "Nobody").string(), avi}, sink, sink), 1);
  EXPECT_EQ(ExportCommandMain({"--from", "1000", "--to", "2000", source, out.str() + "/none.avi"}, sink, sink), 1);
  std::fclose(sink);
}

// Each record of the other instance is asked for once: the walk's header read fetches
// it whole, and the image read takes it from there.
TEST(ExportCommand, ExportsADeviceOfAnotherInstance) {
  TempFolder rec, out;
  RecordWriter writer(rec.path());
  const auto images = Record(writer, 20);
  playtest::TestPeer peer(playtest::TestPeer::Mode::kServe, rec.path());
  std::FILE* sink = std::tmpfile();
  ASSERT_NE(sink, nullptr);
  EXPECT_EQ(ExportCommandMain({"--jpeg", peer.url(), out.str()}, sink, sink), 0) << SinkText(sink);
  std::fclose(sink);
  // The device's folder is named after the last part of the URL.
  for (const auto& r : images) EXPECT_EQ(ReadAll(out.path() / "cam" / ExportJpegName(r.seconds, r.ms)), r.jpeg);
  // Two a record were 47 requests here.
  EXPECT_LE(peer.requests(), 20 + 12) << "one request a record, and a few for the feed, the files and their ends";
}

std::string ReadText(const std::filesystem::path& file) {
  const std::vector<uint8_t> bytes = ReadAll(file);
  return std::string(bytes.begin(), bytes.end());
}

// The command run as the program: what its code logs reaches standard error and the log
// of the instance whose application-data folder it finds; without one nothing is made.
TEST(ExportCommand, TheProgramLogsToStandardErrorAndIntoTheInstancesLog) {
  TempFolder rec, out, home, work;
  RecordWriter writer(rec.path() / "Door");
  Record(writer, 6);
  const std::string appData = home.str() + "/Velmora/Velmora NVR";
  std::filesystem::create_directories(appData);
  const std::string program = std::string(VELMORA_BINARY_DIR) + "/velmora-nvr";
  {
    test::ChildProcess child;
    child.start({program, "export", "--jpeg", (rec.path() / "Door").string(), out.str() + "/a"},
                {"XDG_DATA_HOME=" + home.str(), "XDG_CONFIG_HOME=" + home.str() + "/config"}, work.str(),
                work.str() + "/stderr");
    ASSERT_EQ(child.wait(std::chrono::seconds(60)), 0) << ReadText(work.path() / "stderr");
  }
  const std::string err = ReadText(work.path() / "stderr");
  EXPECT_NE(err.find("velmora-nvr export: export: view 0, 6 pictures"), std::string::npos) << err;
  const std::string log = ReadText(std::filesystem::path(appData) / "Velmora NVR.log");
  EXPECT_NE(log.find("]: export: view 0, 6 pictures"), std::string::npos) << log;
  EXPECT_NE(log.find("]: export: view 0, 6 records reached, 0 passed over as damaged"), std::string::npos) << log;

  TempFolder emptyHome;
  test::ChildProcess child;
  child.start({program, "export", "--jpeg", (rec.path() / "Door").string(), out.str() + "/b"},
              {"XDG_DATA_HOME=" + emptyHome.str(), "XDG_CONFIG_HOME=" + emptyHome.str() + "/config"}, work.str(),
              work.str() + "/stderr2");
  ASSERT_EQ(child.wait(std::chrono::seconds(60)), 0) << ReadText(work.path() / "stderr2");
  EXPECT_NE(ReadText(work.path() / "stderr2").find("velmora-nvr export: export: view 0, 6 pictures"), std::string::npos);
  EXPECT_FALSE(std::filesystem::exists(emptyHome.path() / "Velmora"));
  EXPECT_FALSE(std::filesystem::exists(work.path() / "Velmora"));
}

// Another instance's images, 100 ms apart, one of them a record whose bytes are no JPEG
// (read, but it does not decode). The peer serves them; the rig reads through it with
// the real HTTP client but without the retries' waits.
struct PeerRecordings {
  TempFolder rec;
  std::vector<IndexEntry> entries;
  std::size_t undecodable = 0;
  explicit PeerRecordings(int count, int garbage = -1) {
    RecordWriter writer(rec.path());
    for (int i = 0; i < count; ++i) {
      std::vector<uint8_t> jpeg = SmallJpeg(static_cast<uint8_t>(20 + 7 * i));
      if (i == garbage) std::fill(jpeg.begin() + 2, jpeg.end(), uint8_t{0x55});
      entries.push_back(writer.Append(kHourStart + 600 + i / 10, static_cast<unsigned>(i % 10) * 100, jpeg));
    }
    if (garbage >= 0) undecodable = static_cast<std::size_t>(garbage);
  }
  // The query of a record request of position i.
  std::string Query(const char* what, std::size_t i) const {
    return std::string(what) + "?file=" + HourKey(entries[i].time) + ".vlj&offset=" + std::to_string(entries[i].offset);
  }
  std::string TimeText(std::size_t i) const { return FrameTimeText(entries[i].time, entries[i].milliseconds); }
};

void NoRetryWaits(ExportRig& rig) {
  RemoteHooks hooks = DefaultRemoteHooks();
  hooks.sleep = [](std::chrono::milliseconds) { return true; };
  rig.engine.data().setRemoteHooks(hooks);
}

// The source stops answering between a record's header request and its record request
// and comes back later: the image is intact there, so the export fails and says which
// recorded time it could not read. A record that was read and does not decode is still
// passed over as damaged.
TEST(ExportReadFailures, AnImageTheSourceDoesNotSendFailsTheExportNamingItsTime) {
  ASSERT_TRUE(http_client_is_open() || http_client_open());
  LogCapture log;
  PeerRecordings recorded(8);
  TempFolder out;
  playtest::TestPeer peer(playtest::TestPeer::Mode::kServe, recorded.rec.path());
  ExportRig rig;
  NoRetryWaits(rig);
  rig.Feed({peer.url()});
  peer.failRequests(recorded.Query("vljpeg", 3), -1, kRemoteAttempts);

  Collected c;
  ExportOptions options;
  options.jpegMode = true;
  ExportSession session(options, rig.Poster(), &c);
  ASSERT_TRUE(session.Start(out.str()));
  rig.Run(session);
  EXPECT_EQ(peer.faultsLeft(), 0) << "every attempt was made";
  ASSERT_EQ(session.state(), ExportSession::State::kFailed) << "passed over " << session.recordsSkipped();
  const std::string text = "Export stopped: the source stopped answering at the recorded image of " +
                           recorded.TimeText(3) + "!";
  EXPECT_EQ(session.failureText(), text);
  EXPECT_EQ(c.messages, std::vector<std::string>{kTextConversionTerminated});
  EXPECT_NE(std::find(rig.statuses.begin(), rig.statuses.end(), text), rig.statuses.end());
  EXPECT_EQ(session.picturesConverted(), 3) << "what came before stays written";
  for (std::size_t i = 0; i < 3; ++i) {
    EXPECT_TRUE(std::filesystem::exists(out.path() / "Door" / ExportJpegName(recorded.entries[i].time, recorded.entries[i].milliseconds)));
  }
  EXPECT_TRUE(log.contains("ReadJpeg: retry=15"));
  EXPECT_TRUE(log.contains(text));
  EXPECT_EQ(StringText(760), "Export stopped: the source stopped answering at the recorded image of %s!");
  EXPECT_EQ(StringText(761), "Export stopped: the recorded image of %s could not be read!");

  // The command line: the source answers a record request with an error. It exits 1,
  // names the time, and does not call the export complete.
  peer.failRequests(recorded.Query("vljpeg", 5), 500, 1);
  std::FILE* sink = std::tmpfile();
  ASSERT_NE(sink, nullptr);
  EXPECT_EQ(ExportCommandMain({"--jpeg", peer.url(), out.str() + "/again"}, sink, sink), 1) << SinkText(sink);
  const std::string err = SinkText(sink);
  std::fclose(sink);
  EXPECT_NE(err.find("velmora-nvr export: Export stopped: the recorded image of " + recorded.TimeText(5) +
                     " could not be read!\n"),
            std::string::npos)
      << err;
  EXPECT_EQ(err.find(kTextExportComplete), std::string::npos) << err;
  EXPECT_EQ(err.find("passed over"), std::string::npos) << err;
}

TEST(ExportReadFailures, ASourceThatComesBackWithinTheRetriesCompletesTheExport) {
  ASSERT_TRUE(http_client_is_open() || http_client_open());
  LogCapture log;
  PeerRecordings recorded(12, 6);
  TempFolder out;
  playtest::TestPeer peer(playtest::TestPeer::Mode::kServe, recorded.rec.path());
  ExportRig rig;
  NoRetryWaits(rig);
  rig.Feed({peer.url()});
  peer.failRequests(recorded.Query("vljpeg", 3), -1, 5);
  Collected c;
  ExportOptions options;
  options.jpegMode = true;
  ExportSession session(options, rig.Poster(), &c);
  ASSERT_TRUE(session.Start(out.str()));
  rig.Run(session);
  ASSERT_EQ(session.state(), ExportSession::State::kCompleted) << session.failureText();
  EXPECT_EQ(session.picturesConverted(), 11);
  EXPECT_EQ(session.recordsSkipped(), 1) << "the record that does not decode";
  EXPECT_TRUE(log.contains("ReadJpeg: retry=4"));
  EXPECT_FALSE(log.contains("ReadJpeg: retry=5"));

  // The command line shows each retry on a line of its own, never glued to the
  // progress line, and completes (the waits are real here: 0.1 s and 0.2 s).
  peer.failRequests(recorded.Query("vljpeg", 9), -1, 3);
  std::FILE* sink = std::tmpfile();
  ASSERT_NE(sink, nullptr);
  EXPECT_EQ(ExportCommandMain({"--jpeg", peer.url(), out.str() + "/again"}, sink, sink), 0) << SinkText(sink);
  const std::string err = SinkText(sink);
  std::fclose(sink);
  for (int i = 0; i < 3; ++i) {
    const std::string line = "velmora-nvr export: ReadJpeg: retry=" + std::to_string(i) + "\n";
    const auto at = err.find(line);
    ASSERT_NE(at, std::string::npos) << err;
    EXPECT_TRUE(at == 0 || err[at - 1] == '\n') << err;
  }
  EXPECT_EQ(err.find("retry=3"), std::string::npos) << err;
  EXPECT_NE(err.find("\n" + std::string(kTextExportComplete) + " 11 pictures written to"), std::string::npos) << err;
  EXPECT_NE(err.find("velmora-nvr export: 1 damaged recorded images were passed over\n"), std::string::npos) << err;
  EXPECT_EQ(err.find("%velmora-nvr"), std::string::npos) << err;
  EXPECT_EQ(err.find("picturesvelmora-nvr"), std::string::npos) << err;
}

// A read given up for newer work (the playback thread has a stop or a cancel waiting)
// is no failure of the source and loses no image: the step ends, and the image is read
// at the next request, after the newer work.
TEST(ExportReadFailures, AReadGivenUpForNewerWorkIsTakenUpAgain) {
  ASSERT_TRUE(http_client_is_open() || http_client_open());
  PeerRecordings recorded(8);
  TempFolder out;
  playtest::TestPeer peer(playtest::TestPeer::Mode::kServe, recorded.rec.path());
  ExportRig rig;
  rig.Feed({peer.url()});
  bool newWork = false;
  int givenUp = 0;
  RemoteHooks hooks = DefaultRemoteHooks();
  const std::string target = recorded.Query("vljpeg", 3);
  hooks.get = [&newWork, &givenUp, target](const std::string& url, const std::function<bool()>& abandon) {
    if (givenUp == 0 && url.find(target) != std::string::npos) {
      ++givenUp;
      newWork = true;  // newer work arrives while the record is on its way
      return HttpResult{};
    }
    return http_get(url, std::string(), std::string(), kRemoteRequestTimeoutMs, abandon);
  };
  hooks.sleep = [](std::chrono::milliseconds) { return true; };
  rig.engine.data().setRemoteHooks(hooks);
  rig.engine.data().setInterrupt([&newWork] { return std::exchange(newWork, false); });

  Collected c;
  ExportOptions options;
  options.jpegMode = true;
  ExportSession session(options, rig.Poster(), &c);
  ASSERT_TRUE(session.Start(out.str()));
  rig.Run(session);
  EXPECT_EQ(givenUp, 1);
  ASSERT_EQ(session.state(), ExportSession::State::kCompleted) << session.failureText();
  EXPECT_EQ(session.picturesConverted(), 8);
  EXPECT_EQ(session.recordsSkipped(), 0);
  EXPECT_TRUE(std::filesystem::exists(out.path() / "Door" /
                                      ExportJpegName(recorded.entries[3].time, recorded.entries[3].milliseconds)));
}

// The walk from record to record stops because the source stops answering (or a file
// cannot be read): "ended early" says why, and after which time.
TEST(ExportReadFailures, AWalkCutShortByTheSourceSaysSo) {
  ASSERT_TRUE(http_client_is_open() || http_client_open());
  LogCapture log;
  PeerRecordings recorded(8);
  TempFolder out;
  playtest::TestPeer peer(playtest::TestPeer::Mode::kServe, recorded.rec.path());
  ExportRig rig;
  NoRetryWaits(rig);
  rig.Feed({peer.url()});
  // Record 5 is never answered, whether its header or the whole record is asked for.
  peer.failRequests(recorded.Query("", 5), -1, 1000);
  Collected c;
  ExportOptions options;
  options.jpegMode = true;
  ExportSession session(options, rig.Poster(), &c);
  ASSERT_TRUE(session.Start(out.str()));
  rig.Run(session);
  ASSERT_EQ(session.state(), ExportSession::State::kFailed);
  EXPECT_EQ(session.failureText(), "Export ended early: the source stopped answering after " + recorded.TimeText(4) +
                                       "; 3 of 8 recorded images were not reached!");
  EXPECT_EQ(session.picturesConverted(), 5);
  // Once the source answers again, the record the walk could not reach is read anew.
  peer.failRequests(recorded.Query("", 5), -1, 0);
  std::vector<uint8_t> jpeg;
  RecordHeader header;
  EXPECT_TRUE(rig.engine.data().ReadJpegBytes(recorded.entries[5], 0, jpeg, header));
  EXPECT_EQ(StringText(762), "Export ended early: the source stopped answering after %s; %lld of %lld recorded images were not reached!");
  EXPECT_EQ(StringText(763), "Export ended early: the recordings could not be read after %s; %lld of %lld recorded images were not reached!");

  // A folder whose second hour file cannot be read (a folder stands where the file was).
  TempFolder rec;
  RecordWriter writer(rec.path() / "Yard");
  for (int i = 0; i < 6; ++i) writer.Append(kHourStart + 600 + i, 0, SmallJpeg(static_cast<uint8_t>(10 * i)));
  for (int i = 0; i < 4; ++i) writer.Append(kHourStart + 3600 + i, 0, SmallJpeg(static_cast<uint8_t>(9 * i)));
  const auto second = DataFilePath(rec.path() / "Yard", HourKey(static_cast<int32_t>(kHourStart + 3600)));
  std::filesystem::remove(second);
  std::filesystem::create_directories(second);
  std::FILE* sink = std::tmpfile();
  ASSERT_NE(sink, nullptr);
  EXPECT_EQ(ExportCommandMain({(rec.path() / "Yard").string(), (out.path() / "yard.avi").string()}, sink, sink), 1);
  const std::string err = SinkText(sink);
  std::fclose(sink);
  EXPECT_NE(err.find("Export ended early: the recordings could not be read after " +
                     FrameTimeText(kHourStart + 605, 0) + "; 4 of 10 recorded images were not reached!"),
            std::string::npos)
      << err;
}

}  // namespace
}  // namespace velmora
