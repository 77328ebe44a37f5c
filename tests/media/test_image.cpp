#include <gtest/gtest.h>

#include <cstring>

#include "media/image.h"

namespace velmora {
namespace {

constexpr Colour kRed{255, 0, 0};
constexpr Colour kGreen{0, 255, 0};
constexpr Colour kBlue{0, 0, 255};
constexpr Colour kWhite{255, 255, 255};
constexpr Colour kBlack{0, 0, 0};

// A w x h 24-bit image in four flat quadrants: red top-left, green top-right, blue
// bottom-left, white bottom-right.
std::unique_ptr<Image> Quadrants(int w, int h, int bpp = 24) {
  auto image = Image::New(w, h, bpp);
  image->FillRect(Rect{0, 0, w / 2, h / 2}, kRed);
  image->FillRect(Rect{w / 2, 0, w - w / 2, h / 2}, kGreen);
  image->FillRect(Rect{0, h / 2, w / 2, h - h / 2}, kBlue);
  image->FillRect(Rect{w / 2, h / 2, w - w / 2, h - h / 2}, kWhite);
  return image;
}

int CountColour(const Image& image, Colour c) {
  int n = 0;
  for (int y = 0; y < image.height(); ++y)
    for (int x = 0; x < image.width(); ++x) n += image.PixelAt(x, y) == c ? 1 : 0;
  return n;
}

TEST(ImageLayout, RowsAreBottomUpWithPaddedNegativePitch) {
  for (int bpp : {8, 24, 32}) {
    auto image = Image::New(5, 3, bpp);
    ASSERT_TRUE(image) << bpp;
    const int rowBytes = 5 * bpp / 8;
    EXPECT_EQ(image->stride(), (rowBytes + 3) / 4 * 4) << bpp;
    EXPECT_EQ(image->pitch(), -image->stride());
    EXPECT_EQ(image->row(2), image->bits());                     // bottom row first in memory
    EXPECT_EQ(image->pixels(), image->bits() + 2 * image->stride());  // top row last
    EXPECT_EQ(image->row(1), image->pixels() + image->pitch());
  }
  auto image = Image::New(4, 4, 24);
  image->SetPixel(0, 0, kRed);  // top-left of the picture
  EXPECT_EQ(image->pixels()[2], 255);
  EXPECT_EQ(image->bits()[2], 0);
}

TEST(ImageLayout, CreateRefusesBadSizesAndDepths) {
  EXPECT_FALSE(Image::New(0, 10, 24));
  EXPECT_FALSE(Image::New(10, -1, 24));
  EXPECT_FALSE(Image::New(10, 10, 16));
  EXPECT_FALSE(Image::New(Image::kMaxDimension + 1, 1, 8));
  EXPECT_FALSE(Image::New(30000, 30000, 32));  // over the pixel-buffer limit

  auto grey = Image::New(3, 3, 8);
  ASSERT_TRUE(grey);
  EXPECT_EQ(grey->colourCount(), 256);
  for (uint32_t e : grey->colourTable()) EXPECT_EQ(e, 0u);
  EXPECT_EQ(grey->transparentIndex(), -1);
  EXPECT_FALSE(grey->hasAlpha());
}

TEST(ImageLayout, LiveCountFollowsImageLifetimes) {
  const int before = Image::LiveCount();
  {
    auto a = Image::New(2, 2, 24);
    auto b = a->Copy();
    EXPECT_EQ(Image::LiveCount(), before + 2);
  }
  EXPECT_EQ(Image::LiveCount(), before);
}

TEST(ImageDrawing, RectanglesAreClippedAtEveryEdge) {
  auto image = Image::New(10, 8, 24);
  image->FrameRect(Rect{-3, -2, 8, 6}, kRed);  // left and top edges outside
  EXPECT_EQ(image->PixelAt(4, 3), kRed);         // right edge x = 4
  EXPECT_EQ(image->PixelAt(0, 3), kRed);         // bottom edge y = 3
  EXPECT_EQ(image->PixelAt(2, 2), kBlack);       // inside stays empty
  EXPECT_EQ(CountColour(*image, kRed), 5 + 4 - 1);

  auto other = Image::New(10, 8, 24);
  other->FrameRect(Rect{6, 5, 10, 10}, kGreen);  // right and bottom edges outside
  EXPECT_EQ(CountColour(*other, kGreen), 4 + 3 - 1);
  other->FrameRect(Rect{20, 20, 5, 5}, kBlue);   // wholly outside: nothing
  other->FillRect(Rect{-100, -100, 50, 50}, kBlue);
  other->FrameRect(Rect{2, 2, 0, 4}, kBlue);     // empty
  EXPECT_EQ(CountColour(*other, kBlue), 0);

  other->FillRect(Rect{-5, 7, 100, 100}, kWhite);  // bottom row only
  EXPECT_EQ(CountColour(*other, kWhite), 10);
}

TEST(ImageDrawing, EightBitImagesUseTheNearestTableEntry) {
  auto image = Image::New(4, 4, 8);
  image->SetGreyPalette();
  image->FillRect(Rect{0, 0, 4, 4}, Colour{200, 200, 200});
  EXPECT_EQ(image->row(3)[3], 200);
  image->colourTable()[7] = 0xFF00FF;  // magenta
  image->SetPixel(1, 1, Colour{250, 5, 250});
  EXPECT_EQ(image->row(1)[1], 7);
  EXPECT_EQ(image->PixelAt(1, 1), (Colour{255, 0, 255}));
}

TEST(ImageDrawing, TextDrawsGlyphsInsideItsCellsAndClips) {
  auto image = Image::New(80, 20, 24);
  const Colour bg = kBlack;
  image->Fill(Colour{32, 32, 32});
  image->DrawText(1, 1, "12:3", kWhite, &bg, 2);
  EXPECT_EQ(Image::TextWidth("12:3", 2), 48);
  EXPECT_EQ(Image::TextHeight(2), 18);
  int white = 0;
  for (int y = 0; y < 20; ++y) {
    for (int x = 0; x < 80; ++x) {
      const bool inside = x >= 1 && x < 49 && y >= 1 && y < 19;
      if (image->PixelAt(x, y) == kWhite) {
        ++white;
        EXPECT_TRUE(inside) << x << "," << y;
      }
      if (!inside) {
        EXPECT_EQ(image->PixelAt(x, y), (Colour{32, 32, 32}));
      }
    }
  }
  EXPECT_GT(white, 40);
  image->DrawText(70, 15, "8888", kWhite, nullptr, 3);  // runs off the image: clipped
  image->DrawText(-50, -50, "0", kWhite, &bg, 1);
}

TEST(ImageScaling, FastModeMapsCornersAndQuadrants) {
  auto src = Quadrants(4, 4);
  auto big = Image::New(8, 8, 24);
  ASSERT_TRUE(src->DrawScaled(Rect{0, 0, 4, 4}, *big, Rect{0, 0, 8, 8}, ScaleMode::kFast));
  EXPECT_EQ(big->PixelAt(0, 0), kRed);
  EXPECT_EQ(big->PixelAt(7, 0), kGreen);
  EXPECT_EQ(big->PixelAt(0, 7), kBlue);
  EXPECT_EQ(big->PixelAt(7, 7), kWhite);
  EXPECT_EQ(CountColour(*big, kRed), 16);

  auto small = Image::New(2, 2, 24);
  auto large = Quadrants(64, 48);
  ASSERT_TRUE(large->DrawScaled(Rect{0, 0, 64, 48}, *small, Rect{0, 0, 2, 2}, ScaleMode::kFast));
  EXPECT_EQ(small->PixelAt(0, 0), kRed);
  EXPECT_EQ(small->PixelAt(1, 0), kGreen);
  EXPECT_EQ(small->PixelAt(0, 1), kBlue);
  EXPECT_EQ(small->PixelAt(1, 1), kWhite);
}

TEST(ImageScaling, DestinationPartlyOutsideKeepsTheMapping) {
  auto src = Quadrants(4, 4);
  auto dst = Image::New(4, 4, 24);
  // The 8 x 8 target starts at (-4, -4): only its bottom-right quarter is visible,
  // which shows the source's bottom-right quadrant.
  ASSERT_TRUE(src->DrawScaled(Rect{0, 0, 4, 4}, *dst, Rect{-4, -4, 8, 8}, ScaleMode::kFast));
  EXPECT_EQ(CountColour(*dst, kWhite), 16);
  ASSERT_TRUE(src->DrawScaled(Rect{0, 0, 4, 4}, *dst, Rect{-4, -4, 8, 8}, ScaleMode::kSmooth));
  EXPECT_EQ(dst->PixelAt(3, 3), kWhite);
  // A source rectangle reaching past the image reads its edge pixels, never beyond.
  ASSERT_TRUE(src->DrawScaled(Rect{2, 2, 6, 6}, *dst, Rect{0, 0, 4, 4}, ScaleMode::kFast));
  EXPECT_EQ(CountColour(*dst, kWhite), 16);
  EXPECT_FALSE(src->DrawScaled(Rect{0, 0, 0, 4}, *dst, Rect{0, 0, 4, 4}, ScaleMode::kFast));
  EXPECT_FALSE(src->DrawScaled(Rect{0, 0, 4, 4}, *dst, Rect{0, 0, 4, -1}, ScaleMode::kSmooth));
}

TEST(ImageScaling, SmoothModeAveragesWhenShrinkingAndKeepsFlatAreas) {
  auto checker = Image::New(8, 8, 24);
  for (int y = 0; y < 8; ++y)
    for (int x = 0; x < 8; ++x) checker->SetPixel(x, y, (x + y) % 2 ? kWhite : kBlack);
  auto half = Image::New(4, 4, 24);
  ASSERT_TRUE(checker->DrawScaled(Rect{0, 0, 8, 8}, *half, Rect{0, 0, 4, 4}, ScaleMode::kSmooth));
  for (int y = 0; y < 4; ++y) {
    for (int x = 0; x < 4; ++x) {
      const Colour c = half->PixelAt(x, y);
      EXPECT_NEAR(c.r, 128, 1);
      EXPECT_NEAR(c.b, 128, 1);
    }
  }
  // Flat quadrants survive enlarging exactly away from their borders, corners included.
  auto src = Quadrants(4, 4);
  auto big = Image::New(40, 40, 24);
  ASSERT_TRUE(src->DrawScaled(Rect{0, 0, 4, 4}, *big, Rect{0, 0, 40, 40}, ScaleMode::kSmooth));
  EXPECT_EQ(big->PixelAt(0, 0), kRed);
  EXPECT_EQ(big->PixelAt(39, 0), kGreen);
  EXPECT_EQ(big->PixelAt(0, 39), kBlue);
  EXPECT_EQ(big->PixelAt(39, 39), kWhite);
  const Colour mid = big->PixelAt(19, 5);  // across the red/green border: a blend
  EXPECT_GT(mid.r, 0);
  EXPECT_GT(mid.g, 0);
  // 1:1 is an exact copy.
  auto same = Image::New(4, 4, 24);
  ASSERT_TRUE(src->DrawScaled(Rect{0, 0, 4, 4}, *same, Rect{0, 0, 4, 4}, ScaleMode::kSmooth));
  for (int y = 0; y < 4; ++y) EXPECT_EQ(std::memcmp(same->row(y), src->row(y), 12), 0);
}

TEST(ImageScaling, DepthsConvertThroughTheColourTable) {
  auto grey = Image::New(2, 1, 8);
  grey->SetGreyPalette();
  grey->row(0)[0] = 10;
  grey->row(0)[1] = 240;
  for (ScaleMode mode : {ScaleMode::kFast, ScaleMode::kSmooth}) {
    auto colour = Image::New(2, 1, 32);
    ASSERT_TRUE(grey->DrawScaled(Rect{0, 0, 2, 1}, *colour, Rect{0, 0, 2, 1}, mode));
    EXPECT_EQ(colour->PixelAt(0, 0), (Colour{10, 10, 10}));
    EXPECT_EQ(colour->PixelAt(1, 0), (Colour{240, 240, 240}));
    EXPECT_EQ(colour->row(0)[3], 255);  // opaque
  }
  auto colour = Quadrants(2, 2);
  auto back = Image::New(2, 2, 8);
  back->SetGreyPalette();
  ASSERT_TRUE(colour->DrawScaled(Rect{0, 0, 2, 2}, *back, Rect{0, 0, 2, 2}, ScaleMode::kFast));
  EXPECT_EQ(back->row(1)[1], 255);  // white
  EXPECT_EQ(back->row(0)[0], 77);   // red as a grey level
}

TEST(ImageScaling, DrawingIntoItselfReadsTheOriginal) {
  auto image = Quadrants(4, 4);
  ASSERT_TRUE(image->DrawScaled(Rect{0, 0, 4, 4}, *image, Rect{0, 0, 2, 2}, ScaleMode::kFast));
  EXPECT_EQ(image->PixelAt(0, 0), kRed);
  EXPECT_EQ(image->PixelAt(1, 1), kWhite);
  EXPECT_EQ(image->PixelAt(3, 3), kWhite);
}

TEST(ImageCopy, CopyIsIndependentAndKeepsTheTable) {
  auto image = Image::New(3, 2, 8);
  image->colourTable()[1] = 0x123456;
  image->setColourCount(2);
  image->row(0)[2] = 1;
  auto copy = image->Copy();
  ASSERT_TRUE(copy);
  EXPECT_EQ(copy->colourCount(), 2);
  EXPECT_EQ(copy->PixelAt(2, 0), (Colour{0x12, 0x34, 0x56}));
  image->row(0)[2] = 0;
  EXPECT_EQ(copy->row(0)[2], 1);
  EXPECT_FALSE(Image().Copy());
}

TEST(ImageHolderTest, OwnsACopyOfTheBytes) {
  uint8_t bytes[] = {0xFF, 0xD8, 1, 2, 0xFF, 0xD9};
  auto holder = ImageHolder::FromJpeg(bytes, sizeof bytes);
  ASSERT_TRUE(holder);
  bytes[2] = 9;
  EXPECT_EQ(holder->length, sizeof bytes);
  EXPECT_EQ(holder->jpeg[2], 1);
  EXPECT_EQ(holder->motion, 0);
  EXPECT_FALSE(holder->image);
  auto empty = ImageHolder::FromJpeg(nullptr, 0);
  ASSERT_TRUE(empty);
  EXPECT_EQ(empty->length, 0u);
}

}  // namespace
}  // namespace velmora
