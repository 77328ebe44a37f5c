// The video decoder and the picture encoder without a network: a byte stream cut at
// random points, a resolution change in the middle, pictures above the limit, bytes
// that hold no unit at all, the range of the JPEG's samples, the motion segment, and
// the RTSP URL with the device's credentials.
#include <gtest/gtest.h>

extern "C" {
#include <libavutil/frame.h>
}

#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "media/jpeg.h"
#include "media/video_decoder.h"
#include "media/video_encoder.h"

namespace velmora {
namespace {

// Top-down BGR rows: a grey ramp with a black band on top and a white one below it.
std::vector<uint8_t> Picture(int width, int height, int seed) {
  std::vector<uint8_t> px(static_cast<std::size_t>(width) * height * 3);
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      uint8_t v = static_cast<uint8_t>((x * 255 / width + seed * 9) & 0xFF);
      if (y < height / 4) v = 0;
      else if (y < height / 2) v = 255;
      uint8_t* p = px.data() + (static_cast<std::size_t>(y) * width + x) * 3;
      p[0] = p[1] = p[2] = v;
    }
  }
  return px;
}

// `count` pictures of width x height as one Annex B byte stream.
std::string Stream(int width, int height, int count, int keyInterval = 5) {
  QuietLibavMessages();
  H264Encoder encoder;
  std::string error;
  EXPECT_TRUE(encoder.Open(width, height, 25, keyInterval, error)) << error;
  std::string stream;
  for (int i = 0; i < count; ++i) {
    const std::vector<uint8_t> px = Picture(width, height, i);
    std::string units;
    EXPECT_TRUE(encoder.Encode(px.data(), width * 3, units));
    stream += units;
  }
  return stream;
}

struct Decoded {
  std::vector<std::pair<int, int>> sizes;
  std::vector<int64_t> numbers;
  std::vector<std::vector<uint8_t>> jpegs;
  DecodeResult worst = DecodeResult::kOk;
};

// Feeds the stream in pieces of `piece` bytes; every picture is encoded to JPEG.
Decoded FeedRaw(const std::string& stream, std::size_t piece, int maxSide = kMaxPictureSide,
                const uint8_t* grid = nullptr) {
  VideoDecoder decoder;
  VideoDecoderOptions options;
  options.wholeUnits = false;
  options.maxSide = maxSide;
  std::string error;
  EXPECT_TRUE(decoder.Open(VideoCodec::kH264, options, nullptr, 0, error)) << error;
  PictureEncoder encoder;
  Decoded out;
  const auto* bytes = reinterpret_cast<const uint8_t*>(stream.data());
  for (std::size_t at = 0; at < stream.size(); at += piece) {
    const DecodeResult r = decoder.Feed(bytes + at, std::min(piece, stream.size() - at), 0, [&](const AVFrame& f) {
      out.sizes.emplace_back(f.width, f.height);
      out.numbers.push_back(f.pts);
      std::vector<uint8_t> buffer;
      std::size_t length = 0;
      EXPECT_TRUE(encoder.Encode(f, 85, grid, 48, 4, buffer, length, error)) << error;
      out.jpegs.emplace_back(buffer.begin() + 48, buffer.begin() + 48 + static_cast<std::ptrdiff_t>(length));
      EXPECT_GE(buffer.size(), 48 + length + 4);
    });
    if (static_cast<int>(r) > static_cast<int>(out.worst)) out.worst = r;
  }
  // The last unit ends only with the stream: an empty feed flushes the parser.
  decoder.Feed(nullptr, 0, 0, [&](const AVFrame& f) {
    out.sizes.emplace_back(f.width, f.height);
    out.numbers.push_back(f.pts);
  });
  return out;
}

TEST(VideoDecoder, ByteStreamCutAnywhereDecodesEveryPictureThroughAResolutionChange) {
  const std::string stream = Stream(160, 120, 10) + Stream(320, 240, 10);
  for (std::size_t piece : {std::size_t{7}, std::size_t{1000}, stream.size()}) {
    const Decoded d = FeedRaw(stream, piece);
    EXPECT_EQ(d.worst, DecodeResult::kOk) << "piece " << piece;
    ASSERT_GE(d.sizes.size(), 18u) << "piece " << piece;
    EXPECT_EQ(d.sizes.front(), std::make_pair(160, 120));
    EXPECT_EQ(d.sizes.back(), std::make_pair(320, 240));
    for (std::size_t i = 1; i < d.numbers.size(); ++i) EXPECT_GT(d.numbers[i], d.numbers[i - 1]);
    // Every picture became a JPEG of its own size.
    for (std::size_t i = 0; i < d.jpegs.size(); ++i) {
      std::unique_ptr<Image> image = ImageFromBuffer(d.jpegs[i].data(), d.jpegs[i].size());
      ASSERT_TRUE(image) << "picture " << i;
      EXPECT_EQ(std::make_pair(image->width(), image->height()), d.sizes[i]);
    }
  }
}

TEST(VideoDecoder, JpegKeepsBlackBlackAndWhiteWhiteAndCarriesTheMotionGrid) {
  uint8_t grid[32];
  for (int i = 0; i < 32; ++i) grid[i] = static_cast<uint8_t>(i * 13 + 1);
  const Decoded d = FeedRaw(Stream(160, 120, 6), 4096, kMaxPictureSide, grid);
  ASSERT_FALSE(d.jpegs.empty());
  const std::vector<uint8_t>& jpeg = d.jpegs.back();
  std::unique_ptr<Image> image = ImageFromBuffer(jpeg.data(), jpeg.size());
  ASSERT_TRUE(image);
  // Video samples are limited range (16..235); stretched, the bands are full black
  // and white again, not a washed-out grey.
  const Colour black = image->PixelAt(80, 10);
  const Colour white = image->PixelAt(80, 45);
  EXPECT_LE(black.g, 6);
  EXPECT_GE(white.g, 249);
  // The motion segment follows APP0; the frame never starts like an encrypted one.
  ASSERT_EQ(jpeg[2], 0xFF);
  EXPECT_EQ(jpeg[3], 0xE0);
  const std::size_t at = 4 + ((static_cast<std::size_t>(jpeg[4]) << 8) | jpeg[5]);
  ASSERT_LT(at + 36, jpeg.size());
  EXPECT_EQ(jpeg[at], 0xFF);
  EXPECT_EQ(jpeg[at + 1], 0xEA);
  EXPECT_EQ(jpeg[at + 2], 0x00);
  EXPECT_EQ(jpeg[at + 3], 0x22);
  EXPECT_EQ(std::memcmp(jpeg.data() + at + 4, grid, 32), 0);
}

TEST(VideoDecoder, OversizedPicturesAndBytesWithoutUnitsAreRefusedWithBoundedMemory) {
  // Above the limit: nothing of the large part is decoded, the small part is.
  const Decoded d = FeedRaw(Stream(160, 120, 5) + Stream(320, 240, 5), 512, 200);
  EXPECT_EQ(d.worst, DecodeResult::kTooLarge);
  for (const auto& size : d.sizes) EXPECT_EQ(size, std::make_pair(160, 120));
  EXPECT_GE(d.sizes.size(), 4u);

  // Megabytes without a start code: reported, the parser starts over, nothing decoded.
  std::string noise(9u << 20, '\0');
  uint32_t x = 0x12345678u;
  for (char& c : noise) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    c = static_cast<char>(x | 0x80);  // never a zero byte, so never a start code
  }
  const Decoded n = FeedRaw(noise, 65536);
  EXPECT_EQ(n.worst, DecodeResult::kNoUnit);
  EXPECT_TRUE(n.sizes.empty());

  // A damaged key frame gives no picture at all (never a smeared one).
  std::string damaged = Stream(160, 120, 3, 100);
  for (std::size_t i = 200; i < damaged.size(); i += 3) damaged[i] = static_cast<char>(damaged[i] ^ 0x5A);
  EXPECT_TRUE(FeedRaw(damaged, damaged.size()).sizes.empty());

  // Lost units: the decoder goes on with the pictures after the gap.
  H264Encoder encoder;
  std::string error;
  ASSERT_TRUE(encoder.Open(160, 120, 25, 100, error)) << error;
  VideoDecoder decoder;
  ASSERT_TRUE(decoder.Open(VideoCodec::kH264, VideoDecoderOptions(), nullptr, 0, error)) << error;
  std::vector<int64_t> seen;
  for (int i = 0; i < 20; ++i) {
    const std::vector<uint8_t> px = Picture(160, 120, i);
    std::string unit;
    ASSERT_TRUE(encoder.Encode(px.data(), 160 * 3, unit));
    if (i >= 5 && i <= 7) continue;
    decoder.Feed(reinterpret_cast<const uint8_t*>(unit.data()), unit.size(), i,
                 [&](const AVFrame& f) { seen.push_back(f.pts); });
  }
  ASSERT_GE(seen.size(), 14u);
  EXPECT_EQ(seen[5], 8);
}

TEST(VideoDecoder, WholeUnitsKeepTheirTimestamps) {
  H264Encoder encoder;
  std::string error;
  ASSERT_TRUE(encoder.Open(64, 48, 25, 10, error)) << error;
  VideoDecoder decoder;
  ASSERT_TRUE(decoder.Open(VideoCodec::kH264, VideoDecoderOptions(), nullptr, 0, error)) << error;
  std::vector<int64_t> seen;
  for (int i = 0; i < 12; ++i) {
    const std::vector<uint8_t> px = Picture(64, 48, i);
    std::string unit;
    ASSERT_TRUE(encoder.Encode(px.data(), 64 * 3, unit));
    EXPECT_EQ(decoder.Feed(reinterpret_cast<const uint8_t*>(unit.data()), unit.size(), 1000 + 40 * i,
                           [&](const AVFrame& f) { seen.push_back(f.pts); }),
              DecodeResult::kOk);
  }
  ASSERT_GE(seen.size(), 8u);  // frame threads hold back a few at the end
  for (std::size_t i = 0; i < seen.size(); ++i) EXPECT_EQ(seen[i], 1000 + 40 * static_cast<int64_t>(i));
  EXPECT_EQ(decoder.announcedWidth(), 64);
  EXPECT_EQ(decoder.announcedHeight(), 48);
}

}  // namespace
}  // namespace velmora
