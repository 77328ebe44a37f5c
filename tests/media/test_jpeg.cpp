#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "app/log.h"
#include "media/jpeg.h"
#include "media/jpeg_turbo.h"

namespace velmora {
namespace {

using Bytes = std::vector<uint8_t>;

// Sends the log to a fresh file for one test and reads it back.
class JpegTest : public ::testing::Test {
 protected:
  void SetUp() override {
    path_ = (std::filesystem::temp_directory_path() /
             ("velmora-jpeg-" + std::to_string(getpid()) + "-" +
              ::testing::UnitTest::GetInstance()->current_test_info()->name() + ".log"))
                .string();
    std::filesystem::remove(path_);
    SetLogPath(path_);
  }
  void TearDown() override {
    SetLogPath("");
    std::filesystem::remove(path_);
  }
  std::string LogText() const {
    std::ifstream in(path_, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  }
  std::string path_;
};

// A colour frame: red top half, blue bottom half.
Bytes ColourJpeg(int w, int h, int quality = 85) {
  auto image = Image::New(w, h, 24);
  image->FillRect(Rect{0, 0, w, h / 2}, Colour{255, 0, 0});
  image->FillRect(Rect{0, h / 2, w, h - h / 2}, Colour{0, 0, 255});
  return EncodeJpeg(*image, quality);
}

// A frame full of detail, so that it compresses to many kilobytes.
Bytes NoisyJpeg(int w, int h) {
  auto image = Image::New(w, h, 24);
  uint32_t state = 12345;
  for (int y = 0; y < h; ++y) {
    for (int x = 0; x < w; ++x) {
      state = state * 1103515245u + 12345u;
      image->SetPixel(x, y, Colour{static_cast<uint8_t>(state >> 24), static_cast<uint8_t>(state >> 16),
                                   static_cast<uint8_t>(state >> 8)});
    }
  }
  return EncodeJpeg(*image, 90);
}

Bytes GreyJpeg(int w, int h) {
  auto image = Image::New(w, h, 8);
  image->SetGreyPalette();
  image->FillRect(Rect{0, 0, w, h}, Colour{100, 100, 100});
  return EncodeJpeg(*image, 80);
}

// Patches the frame header's height and width.
void SetDeclaredSize(Bytes& jpeg, int width, int height) {
  for (size_t i = 2; i + 8 < jpeg.size(); ++i) {
    if (jpeg[i] == 0xFF && jpeg[i + 1] == 0xC0) {
      jpeg[i + 5] = static_cast<uint8_t>(height >> 8);
      jpeg[i + 6] = static_cast<uint8_t>(height);
      jpeg[i + 7] = static_cast<uint8_t>(width >> 8);
      jpeg[i + 8] = static_cast<uint8_t>(width);
      return;
    }
  }
  FAIL() << "no frame header";
}

TEST_F(JpegTest, ColourFrameDecodesToBgrTopRowFirstOnScreen) {
  const Bytes jpeg = ColourJpeg(64, 48);
  auto image = ImageFromBuffer(jpeg.data(), jpeg.size());
  ASSERT_TRUE(image);
  EXPECT_EQ(image->width(), 64);
  EXPECT_EQ(image->height(), 48);
  EXPECT_EQ(image->bitsPerPixel(), 24);
  EXPECT_EQ(image->transparentIndex(), -1);
  EXPECT_FALSE(image->hasAlpha());
  const Colour top = image->PixelAt(10, 5);
  const Colour bottom = image->PixelAt(10, 40);
  EXPECT_GT(top.r, 200);
  EXPECT_LT(top.b, 60);
  EXPECT_GT(bottom.b, 200);
  EXPECT_LT(bottom.r, 60);
  EXPECT_EQ(LogText(), "");
}

TEST_F(JpegTest, GreyFrameDecodesToEightBitsWithGreyTable) {
  const Bytes jpeg = GreyJpeg(32, 16);
  auto image = ImageFromBuffer(jpeg.data(), jpeg.size());
  ASSERT_TRUE(image);
  EXPECT_EQ(image->bitsPerPixel(), 8);
  EXPECT_EQ(image->colourCount(), 256);
  EXPECT_EQ(image->colourTable()[100], 0x646464u);
  EXPECT_NEAR(image->row(8)[16], 100, 2);
}

TEST_F(JpegTest, MissingStartMarkerIsRefusedWithTheBytesFound) {
  const uint8_t data[] = {0x12, 0x34, 0xFF, 0xD9};
  EXPECT_FALSE(ImageFromBuffer(data, sizeof data));
  EXPECT_NE(LogText().find("ImageFromBuffer: expected JPEG SOI, got 0x1234, size=4"), std::string::npos);
  EXPECT_FALSE(ImageFromBuffer(data, 0));
  EXPECT_FALSE(ImageFromBuffer(nullptr, 100));
  EXPECT_NE(LogText().find("got 0x0000, size=0"), std::string::npos);
}

TEST_F(JpegTest, TrailingBytesWithinAKilobyteAreCutAway) {
  Bytes jpeg = NoisyJpeg(160, 120);
  ASSERT_GT(jpeg.size(), 4000u);
  Bytes padded = jpeg;
  padded.insert(padded.end(), 500, 0x00);
  auto image = ImageFromBuffer(padded.data(), padded.size());
  ASSERT_TRUE(image);
  EXPECT_EQ(image->width(), 160);

  Bytes far = jpeg;
  far.insert(far.end(), 2000, 0x00);
  EXPECT_FALSE(ImageFromBuffer(far.data(), far.size()));
  const std::string log = LogText();
  EXPECT_NE(log.find("ImageFromBuffer: expected JPEG EOI, got 0x0000, len=" + std::to_string(far.size())),
            std::string::npos);
  EXPECT_NE(log.find(": 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00"), std::string::npos);  // dump
}

TEST_F(JpegTest, SmallFramesAreNotSearchedForTheEndMarker) {
  Bytes jpeg = ColourJpeg(8, 8, 50);
  ASSERT_LT(jpeg.size(), 1000u);
  ASSERT_TRUE(ImageFromBuffer(jpeg.data(), jpeg.size()));
  jpeg.push_back(0x00);
  EXPECT_FALSE(ImageFromBuffer(jpeg.data(), jpeg.size()));
  EXPECT_NE(LogText().find("expected JPEG EOI, got 0xd900"), std::string::npos);
}

TEST_F(JpegTest, TruncatedAndCorruptFramesAreRefused) {
  const Bytes jpeg = NoisyJpeg(160, 120);
  Bytes cut(jpeg.begin(), jpeg.begin() + static_cast<long>(jpeg.size() / 2));
  EXPECT_FALSE(ImageFromBuffer(cut.data(), cut.size()));  // no end marker
  cut.push_back(0xFF);
  cut.push_back(0xD9);
  EXPECT_FALSE(ImageFromBuffer(cut.data(), cut.size()));  // markers fine, picture incomplete
  std::string log = LogText();
  EXPECT_NE(log.find("ImageFromBuffer: CImage::Load() failed (80004005)"), std::string::npos);
  EXPECT_NE(log.find("ImageFromBuffer: buffer="), std::string::npos);

  Bytes garbage(4000);
  for (size_t i = 0; i < garbage.size(); ++i) garbage[i] = static_cast<uint8_t>(i * 7919 % 251);
  garbage[0] = 0xFF;
  garbage[1] = 0xD8;
  garbage[garbage.size() - 2] = 0xFF;
  garbage[garbage.size() - 1] = 0xD9;
  EXPECT_FALSE(ImageFromBuffer(garbage.data(), garbage.size()));
  Bytes minimal = {0xFF, 0xD8, 0xFF, 0xD9};
  EXPECT_FALSE(ImageFromBuffer(minimal.data(), minimal.size()));

  // A frame whose tables are wiped out (no scan left) must not spoil the next decode on
  // the same thread.
  Bytes wiped = jpeg;
  std::fill(wiped.begin() + 300, wiped.end() - 2, 0x00);
  EXPECT_FALSE(ImageFromBuffer(wiped.data(), wiped.size()));
  auto next = ImageFromBuffer(jpeg.data(), jpeg.size());
  ASSERT_TRUE(next);
  EXPECT_EQ(next->width(), 160);
}

// Offset of the first scan's entropy-coded data.
size_t ScanData(const Bytes& jpeg) {
  for (size_t i = 2; i + 4 < jpeg.size(); ++i) {
    if (jpeg[i] == 0xFF && jpeg[i + 1] == 0xDA) return i + 2 + ((jpeg[i + 2] << 8) | jpeg[i + 3]);
  }
  return 0;
}

bool SamePixels(const Image& a, const Image& b) {
  if (a.width() != b.width() || a.height() != b.height()) return false;
  for (int y = 0; y < a.height(); ++y) {
    if (std::memcmp(a.row(y), b.row(y), static_cast<size_t>(a.width()) * 3) != 0) return false;
  }
  return true;
}

TEST_F(JpegTest, WarningsOfMissingOrWrongDataRefuseTheFrameOthersAreKept) {
  const Bytes jpeg = NoisyJpeg(160, 120);
  auto reference = ImageFromBuffer(jpeg.data(), jpeg.size());
  ASSERT_TRUE(reference);

  // Padding in front of the end marker ("extraneous bytes before marker 0xd9"): the
  // picture is complete, so the frame is kept, pixel for pixel.
  for (size_t pad : {size_t{1}, size_t{16}, size_t{600}}) {
    SCOPED_TRACE(pad);
    Bytes padded(jpeg.begin(), jpeg.end() - 2);
    padded.insert(padded.end(), pad, 0x00);
    padded.push_back(0xFF);
    padded.push_back(0xD9);
    auto image = ImageFromBuffer(padded.data(), padded.size());
    ASSERT_TRUE(image);
    EXPECT_TRUE(SamePixels(*image, *reference));
    auto scaled = ImageFromBufferScaled(padded.data(), padded.size(), 80, 60);
    ASSERT_TRUE(scaled);
    EXPECT_EQ(scaled->width(), 80);
  }
  // An unknown JFIF revision is only a warning about the header.
  Bytes revision = jpeg;
  ASSERT_EQ(std::string(revision.begin() + 6, revision.begin() + 10), "JFIF");
  revision[11] = 2;
  EXPECT_TRUE(ImageFromBuffer(revision.data(), revision.size()));
  EXPECT_EQ(LogText(), "");

  // A run of one bits is no Huffman code of any table. (The library notices it in the
  // last kilobytes of a scan, where it reads byte by byte.)
  const size_t scan = ScanData(jpeg);
  ASSERT_GT(scan, 0u);
  ASSERT_GT(jpeg.size(), scan + 2000);
  Bytes badCode = jpeg;
  for (size_t i = jpeg.size() - 1500; i < jpeg.size() - 1440; i += 2) {
    badCode[i] = 0xFF;
    badCode[i + 1] = 0x00;
  }
  EXPECT_FALSE(ImageFromBuffer(badCode.data(), badCode.size()));
  EXPECT_NE(LogText().find("ImageFromBuffer: Corrupt JPEG data: bad Huffman code"), std::string::npos) << LogText();

  // Scan data that stops early, padded and ended properly: data is missing.
  Bytes shortScan(jpeg.begin(), jpeg.begin() + static_cast<long>(scan + (jpeg.size() - scan) / 2));
  shortScan.insert(shortScan.end(), 8, 0x00);
  shortScan.push_back(0xFF);
  shortScan.push_back(0xD9);
  EXPECT_FALSE(ImageFromBuffer(shortScan.data(), shortScan.size()));
  EXPECT_NE(LogText().find("Corrupt JPEG data: premature end of data segment"), std::string::npos);
}

TEST_F(JpegTest, HugeDeclaredSizesAreRefusedBeforeAllocating) {
  Bytes jpeg = ColourJpeg(16, 16);
  SetDeclaredSize(jpeg, 60000, 60000);
  EXPECT_FALSE(ImageFromBuffer(jpeg.data(), jpeg.size()));
  EXPECT_NE(LogText().find("declared size 60000x60000 is out of range"), std::string::npos);
  SetDeclaredSize(jpeg, 16000, 16000);  // each side allowed, the pixel count not
  EXPECT_FALSE(ImageFromBuffer(jpeg.data(), jpeg.size()));
  SetDeclaredSize(jpeg, 4000, 3000);  // plausible size, far too little data
  EXPECT_FALSE(ImageFromBuffer(jpeg.data(), jpeg.size()));
}

TEST_F(JpegTest, ScaledDecodePicksTheLargestFittingDctScale) {
  const Bytes jpeg = ColourJpeg(640, 480);
  auto quarter = ImageFromBufferScaled(jpeg.data(), jpeg.size(), 200, 200);
  ASSERT_TRUE(quarter);
  EXPECT_EQ(quarter->width(), 160);
  EXPECT_EQ(quarter->height(), 120);
  EXPECT_GT(quarter->PixelAt(80, 10).r, 200);
  auto full = ImageFromBufferScaled(jpeg.data(), jpeg.size(), 640, 480);
  EXPECT_EQ(full->width(), 640);
  auto tiny = ImageFromBufferScaled(jpeg.data(), jpeg.size(), 10, 10);
  EXPECT_EQ(tiny->width(), 80);  // 1/8 is the smallest
  int w = 0, h = 0;
  ASSERT_TRUE(JpegDimensions(jpeg.data(), jpeg.size(), w, h));
  EXPECT_EQ(w, 640);
  EXPECT_EQ(h, 480);
}

TEST_F(JpegTest, FourComponentFramesBecomeColour) {
  // Inks stored inverted (255 = no ink): no cyan, full magenta, no yellow, no black.
  std::vector<uint8_t> inks(16 * 16 * 4);
  for (size_t i = 0; i < inks.size(); i += 4) {
    inks[i] = 255;
    inks[i + 1] = 0;
    inks[i + 2] = 255;
    inks[i + 3] = 255;
  }
  JpegPixels px;
  px.rows = inks.data();
  px.width = 16;
  px.height = 16;
  px.pitch = 64;
  px.format = TJPF_CMYK;
  Bytes jpeg;
  ASSERT_TRUE(EncodeJpegPixels(px, 90, jpeg));
  auto image = ImageFromBuffer(jpeg.data(), jpeg.size());
  ASSERT_TRUE(image);
  EXPECT_EQ(image->bitsPerPixel(), 24);
  const Colour c = image->PixelAt(8, 8);
  EXPECT_GT(c.r, 230);
  EXPECT_LT(c.g, 25);
  EXPECT_GT(c.b, 230);
}

TEST_F(JpegTest, EncodeRoundTripsEveryDepth) {
  auto bgrx = Image::New(40, 30, 32);
  bgrx->Fill(Colour{0, 200, 0});
  Bytes a = EncodeJpeg(*bgrx, 90);
  auto back = ImageFromBuffer(a.data(), a.size());
  ASSERT_TRUE(back);
  EXPECT_GT(back->PixelAt(20, 15).g, 180);

  auto indexed = Image::New(40, 30, 8);
  indexed->colourTable()[3] = 0xFF0000;  // red, not a grey table
  indexed->FillRect(Rect{0, 0, 40, 30}, Colour{255, 0, 0});
  Bytes b = EncodeJpeg(*indexed, 90);
  auto colour = ImageFromBuffer(b.data(), b.size());
  ASSERT_TRUE(colour);
  EXPECT_EQ(colour->bitsPerPixel(), 24);
  EXPECT_GT(colour->PixelAt(5, 5).r, 230);

  EXPECT_TRUE(EncodeJpeg(Image(), 80).empty());
}

TEST_F(JpegTest, ThreadsDecodeAtTheSameTime) {
  const Bytes jpeg = ColourJpeg(320, 240);
  std::atomic<int> decoded{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 20; ++i) {
        if (auto image = ImageFromBuffer(jpeg.data(), jpeg.size()); image && image->width() == 320) ++decoded;
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(decoded.load(), 80);
}

}  // namespace
}  // namespace velmora
