// Common::CImage: layout, storage reuse, accessors, conversions, the mask
// builder.
#include <gtest/gtest.h>

#include <cstring>

#include "image/image.h"
#include "image/image_limits.h"

namespace Common {
namespace {

TEST(Image, RgbRowsArePaddedToFourBytes) {
  CImage image;
  ASSERT_TRUE(image.Create(5, 2, 3));
  EXPECT_EQ(image.stride, 16);
  EXPECT_EQ(image.capacity, 32);
  EXPECT_EQ(image.format, 2);
  EXPECT_EQ(image.PixelAt(4, 1) - image.pixels, 28);
  ASSERT_TRUE(image.Create(10, 1, 1));
  EXPECT_EQ(image.stride, 12);
  EXPECT_EQ(image.format, 1);
}

TEST(Image, CreateRefusesOtherChannelCountsAndOversizedImages) {
  CImage image;
  EXPECT_FALSE(image.Create(4, 4, 2));
  EXPECT_FALSE(image.Create(-1, 4, 3));
  EXPECT_FALSE(image.Create(4, 0, 3));  // no block to keep
  EXPECT_TRUE(image.IsEmpty());
  // 46341 x 46341 x 1 overflows 32 bits; the product is refused, not wrapped.
  EXPECT_FALSE(image.Create(46341, 46341, 1));
  EXPECT_FALSE(image.Create(1 << 25, 1, 1));  // above the dimension limit
  EXPECT_EQ(image.width, 0);
  EXPECT_EQ(image.capacity, 0);
  EXPECT_EQ(image.pixels, nullptr);
}

TEST(Image, CreateAndReleaseReuseTheBlock) {
  CImage image;
  ASSERT_TRUE(image.Create(4, 4, 3));
  uint8_t* block = image.pixels;
  block[0] = 77;
  ASSERT_TRUE(image.Create(2, 2, 3));  // smaller: same block, same contents
  EXPECT_EQ(image.pixels, block);
  EXPECT_EQ(image.pixels[0], 77);
  image.Release(false);
  EXPECT_TRUE(image.IsEmpty());
  EXPECT_EQ(image.pixels, block);
  ASSERT_TRUE(image.Create(4, 4, 3));
  EXPECT_EQ(image.pixels, block);

  image.rowAlignment = 8;
  image.Release(true);
  EXPECT_EQ(image.pixels, nullptr);
  EXPECT_EQ(image.rowAlignment, 4);
  EXPECT_EQ(image.channels, 3);  // kept
  image.Release(true);           // empty: nothing happens
  EXPECT_EQ(image.capacity, 0);
}

TEST(Image, BlendPixelBlendsFourBytesOverRgb) {
  CImage image;
  ASSERT_TRUE(image.Create(1, 1, 3));
  const uint8_t black[3] = {0, 0, 0};
  image.SetPixel(0, 0, black);
  const uint8_t white_half[4] = {255, 255, 255, 128};
  image.BlendPixel(0, 0, white_half, 4);
  uint8_t r, g, b;
  image.GetRgb(0, 0, r, g, b);
  EXPECT_EQ(r, 128);
  EXPECT_EQ(b, 128);
  const uint8_t opaque[4] = {1, 2, 3, 255}, clear[4] = {9, 9, 9, 0};
  image.BlendPixel(0, 0, opaque, 4);
  image.BlendPixel(0, 0, clear, 4);
  image.GetRgb(0, 0, r, g, b);
  EXPECT_EQ(r, 1);
  EXPECT_EQ(g, 2);
  EXPECT_EQ(b, 3);
  image.BlendPixel(0, 0, clear, 0);  // count < 1: all channels copied
  image.GetRgb(0, 0, r, g, b);
  EXPECT_EQ(r, 9);
}

TEST(Image, SetFromBufferSwapsAndFlips) {
  const uint8_t rows[2][6] = {{1, 2, 3, 4, 5, 6}, {7, 8, 9, 10, 11, 12}};
  CImage image;
  ASSERT_TRUE(image.SetFromBuffer(&rows[0][0], 2, 2, 6, 3, true, true));
  uint8_t r, g, b;
  image.GetRgb(0, 0, r, g, b);  // last source row first, red and blue swapped
  EXPECT_EQ(r, 9);
  EXPECT_EQ(g, 8);
  EXPECT_EQ(b, 7);
  image.GetRgb(1, 1, r, g, b);
  EXPECT_EQ(r, 6);
  EXPECT_EQ(b, 4);
}

TEST(Image, ConversionsAndEnsureRgb) {
  CImage rgba;
  ASSERT_TRUE(rgba.Create(3, 1, 4));
  for (int x = 0; x < 3; ++x) {
    const uint8_t px[4] = {uint8_t(10 * x), uint8_t(10 * x + 1),
                           uint8_t(10 * x + 5), 99};
    rgba.SetPixel(x, 0, px);
  }
  auto gray = rgba.CreateGrayCopy();
  ASSERT_NE(gray, nullptr);
  EXPECT_EQ(gray->channels, 1);
  EXPECT_EQ(gray->GetGray(2, 0), (20 + 21 + 25) / 3);
  ASSERT_TRUE(EnsureRgb(rgba));
  EXPECT_EQ(rgba.channels, 3);
  EXPECT_EQ(rgba.stride, 12);
  uint8_t r, g, b;
  rgba.GetRgb(2, 0, r, g, b);
  EXPECT_EQ(r, 20);
  EXPECT_EQ(g, 21);
  EXPECT_EQ(b, 25);

  ASSERT_TRUE(EnsureRgb(*gray));
  gray->GetRgb(2, 0, r, g, b);
  EXPECT_EQ(r, 22);
  EXPECT_EQ(b, 22);
  auto back = gray->CreateRgbaCopy();
  uint8_t px[4];
  back->GetRgba(2, 0, px);
  EXPECT_EQ(px[3], 255);

  CImage empty;
  EXPECT_FALSE(EnsureRgb(empty));
  EXPECT_EQ(empty.CreateRgbCopy(), nullptr);
}

TEST(Image, MaskMarksGrayValuesAbove128) {
  CImage gray;
  ASSERT_TRUE(gray.Create(3, 1, 1));
  const uint8_t values[3] = {128, 129, 255};
  for (int x = 0; x < 3; ++x) gray.SetGray(x, 0, &values[x]);
  uint8_t mask[3] = {9, 9, 9};
  ASSERT_TRUE(BuildMaskFromImage(gray, mask));
  EXPECT_EQ(mask[0], 0);
  EXPECT_EQ(mask[1], 1);
  EXPECT_EQ(mask[2], 1);

  CImage rgb;  // 5 pixels wide: padded rows, packed mask
  ASSERT_TRUE(rgb.Create(5, 2, 3));
  std::memset(rgb.pixels, 0, static_cast<size_t>(rgb.stride) * 2);
  const uint8_t yellow[3] = {255, 255, 0};  // gray 170
  rgb.SetRgb(4, 1, yellow);
  uint8_t packed[10];
  ASSERT_TRUE(BuildMaskFromImage(rgb, packed));
  for (int i = 0; i < 10; ++i) EXPECT_EQ(packed[i], i == 9 ? 1 : 0);

  CImage empty;
  EXPECT_FALSE(BuildMaskFromImage(empty, packed));
}

}  // namespace
}  // namespace Common
