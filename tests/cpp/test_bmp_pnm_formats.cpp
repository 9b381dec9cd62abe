// BMP and the PNM family: what is read, what is written, byte for byte.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <iterator>
#include <string>

#include "image_test_util.h"

namespace imagetest {
namespace {

using Common::CImage;
using Common::ImageFormat;
using samples::SamplePattern;

// True when every pixel of the image holds the pattern (channels < 4 of it
// when alpha is false).
::testing::AssertionResult HoldsPattern(const CImage& image, int channels) {
  for (int y = 0; y < image.height; ++y)
    for (int x = 0; x < image.width; ++x) {
      uint8_t px[4];
      image.GetRgba(x, y, px);
      for (int c = 0; c < channels; ++c)
        if (px[c] != SamplePattern(x, y, c))
          return ::testing::AssertionFailure()
                 << "pixel (" << x << ", " << y << ") channel " << c << " is "
                 << int(px[c]) << ", expected " << int(SamplePattern(x, y, c));
    }
  return ::testing::AssertionSuccess();
}

uint32_t U32At(const Bytes& b, size_t at) {
  return b[at] | b[at + 1] << 8 | b[at + 2] << 16 | uint32_t(b[at + 3]) << 24;
}

// Files the reader takes, each holding the pattern (the padding and unused
// bytes, 0xEE, never show): 24 and 32 bits (the fourth byte alpha), bottom-up
// and top-down, info headers up to V5, and pixels at the data offset behind
// a palette a 24-bit file may carry, or a gap. Masks of whole bytes place
// the channels of 32-bit pixels in any order; without an alpha mask (a 40-
// or 52-byte header, or a zero one) the picture has no alpha.
TEST(BmpFormat, ReadsThePatternOfEveryVariant) {
  const samples::BmpMasks bgra = samples::kBgraMasks;
  const samples::BmpMasks rgba = {0xFF, 0xFF00, 0xFF0000, 0xFF000000};
  const samples::BmpMasks xbgr = {0xFF000000, 0xFF0000, 0xFF00, 0};
  const struct {
    Bytes bmp;
    int channels;
  } cases[] = {
      {samples::Bmp(3, 2, 24), 3},
      {samples::Bmp(5, 3, 32), 4},
      {samples::Bmp(3, 3, 24, true), 3},
      {samples::Bmp(3, 2, 32, false, 108, 3), 4},
      {samples::Bmp(5, 4, 24, true, 108, 0), 3},
      {samples::Bmp(5, 4, 24, true, 124, 0), 3},
      {samples::BmpWithGap(samples::Bmp(3, 2, 24), 16 * 4, 16), 3},
      {samples::BmpWithGap(samples::Bmp(3, 2, 24, true), 16), 3},
      {samples::BmpWithGap(samples::Bmp(3, 2, 32, false, 40, 3), 16), 3},
      {samples::BmpWithGap(samples::Bmp(3, 2, 32, false, 124, 3), 4), 4},
      {samples::Bmp(3, 2, 32, false, 40, 3, bgra), 3},
      {samples::Bmp(3, 2, 32, false, 40, 3, rgba), 3},
      {samples::Bmp(3, 2, 32, false, 52, 3, xbgr), 3},
      {samples::Bmp(3, 2, 32, false, 56, 3, rgba), 4},
      {samples::Bmp(3, 2, 32, false, 56, 3, xbgr), 3},
      {samples::Bmp(3, 2, 32, false, 108, 3, xbgr), 3},
      {samples::Bmp(3, 2, 32, false, 124, 3, rgba), 4},
      {samples::Bmp(3, 2, 32, false, 124, 3, bgra), 4}};
  for (size_t i = 0; i < std::size(cases); ++i) {
    CImage image;
    ASSERT_TRUE(LoadBytes(image, cases[i].bmp, ImageFormat::Bmp)) << i;
    EXPECT_EQ(image.width, cases[i].bmp[18]) << i;  // sizes below 128
    EXPECT_EQ(image.height, std::abs(int8_t(cases[i].bmp[22]))) << i;
    EXPECT_EQ(image.channels, cases[i].channels) << i;
    EXPECT_TRUE(HoldsPattern(image, cases[i].channels)) << i;
  }
}

// What the reader turns down, and the reason it gives.
TEST(BmpFormat, RefusesOtherVariantsSayingWhy) {
  const auto refusal = [](const Bytes& bmp) {
    CImage image;
    Common::LoadControl control;
    return LoadBytes(image, bmp, ImageFormat::Bmp, &control) ? "loaded"
                                                              : control.refusal();
  };
  const std::string endsEarly = "BMP data ends before the picture does";
  Bytes bmp = samples::Bmp(2, 2, 24);
  bmp[30] = 4;
  EXPECT_EQ(refusal(bmp), "unsupported BMP compression 4 (JPEG)");
  bmp[30] = 1;
  EXPECT_EQ(refusal(bmp),
            "unsupported BMP compression 1 (RLE8) with 24 bits per pixel");
  bmp = samples::Bmp(2, 2, 24);
  bmp[28] = 2;
  EXPECT_EQ(refusal(bmp), "unsupported BMP pixel depth 2");
  bmp = samples::Bmp(2, 2, 24);
  bmp[14] = 20;  // neither a core header nor an info header
  EXPECT_EQ(refusal(bmp), "unsupported BMP header size 20");
  bmp = samples::Bmp(2, 2, 24, false, 124);
  bmp[10] = 100;
  EXPECT_EQ(refusal(bmp), "BMP pixel data said to start inside its headers");
  bmp = samples::Bmp(2, 2, 24, false, 124);
  bmp[12] = 1;  // data offset past the end of the file
  EXPECT_EQ(refusal(bmp), endsEarly);
  bmp = samples::Bmp(2, 2, 24);
  bmp.pop_back();
  EXPECT_EQ(refusal(bmp), endsEarly);
  for (int header : {40, 52, 56}) {
    for (int compression : {0, 3}) {
      bmp = samples::Bmp(2, 2, 32, false, header, compression);
      bmp[10] -= 1;  // data offset on the last byte of the headers or masks
      EXPECT_EQ(refusal(bmp), "BMP pixel data said to start inside its headers");
    }
  }
  // 32-bit masks that are not whole bytes: 10-bit colours, 4 bits of alpha.
  EXPECT_EQ(refusal(samples::Bmp(2, 2, 32, false, 124, 3,
                                 {0x3FF00000, 0xFFC00, 0x3FF, 0})),
            "unsupported BMP bit-field masks 0x3FF00000 0xFFC00 0x3FF 0x0");
  EXPECT_NE(refusal(samples::Bmp(2, 2, 32, false, 124, 3,
                                 {0xFF0000, 0xFF00, 0xFF, 0xF0000000})),
            "loaded");
  // 16-bit masks that overlap or are not one run of bits.
  const Bytes pixels16(8, 0x5A);
  for (const Bytes& masks : {Bytes{0, 0xF8, 0, 0, 0xE0, 0xFF, 0, 0, 0x1F, 0, 0, 0},
                             Bytes{0x0F, 0xF0, 0, 0, 0xE0, 0x07, 0, 0, 0x1F, 0, 0, 0}})
    EXPECT_EQ(refusal(samples::BmpOf(40, 2, 2, 16, 3, masks, pixels16))
                  .rfind("unsupported BMP bit-field masks", 0),
              0u);
  EXPECT_EQ(refusal(samples::BmpOf(40, 2, 1, 8, 0, Bytes(4000), Bytes(4), 1000)),
            "unsupported BMP palette size 1000");
}

// Hostile palette pictures: indices past the palette are black, runs are
// cut at the end of their row or of the picture, data that ends early is
// refused. Palette entry i has red 10 + 30 i.
TEST(BmpFormat, HostileRunsAndIndicesStayInsideThePicture) {
  const Bytes palette = {30, 20, 10, 0, 60, 50, 40, 0, 90, 80, 70, 0};
  const struct {
    int bits, compression;
    Bytes data;
    const char* reds;  // 4 x 2, top row first; "" for a refusal
  } cases[] = {
      {8, 0, {0, 2, 200, 1, 1, 3, 255, 0}, "40 0 0 10 10 70 0 40"},
      {4, 0, {0x2F, 0x10, 0, 0, 0x01, 0x20, 0, 0}, "10 40 70 10 70 0 40 10"},
      {8, 1, {6, 1, 0, 0, 9, 2}, "70 70 70 70 40 40 40 40"},   // runs past the row
      {8, 1, {0, 20, 1, 2, 1, 2, 1, 2, 1, 2}, "40 70 40 70 40 70 40 70"},  // absolute past the end
      {8, 1, {1, 1, 0, 2, 255, 255}, "10 10 10 10 40 10 10 10"},  // delta past the end
      {8, 1, {1, 2, 0, 1}, "10 10 10 10 70 10 10 10"},            // early end of bitmap
      {4, 2, {3, 0x2F, 0, 3, 0x12, 0x40, 0, 0}, "70 0 10 10 70 0 70 40"},
      {8, 1, {2, 1}, ""},            // data ends inside the picture
      {8, 1, {0, 5, 1, 1}, ""},      // inside an absolute run
      {8, 1, {0, 2, 1}, ""},         // inside a delta
  };
  for (const auto& c : cases) {
    CImage image;
    Common::LoadControl control;
    const Bytes bmp = samples::BmpOf(40, 4, 2, c.bits, c.compression, palette,
                                     c.data, 3);
    const bool loaded = LoadBytes(image, bmp, ImageFormat::Bmp, &control);
    std::string reds;
    for (int y = 0; loaded && y < 2; ++y)
      for (int x = 0; x < 4; ++x)
        reds += (reds.empty() ? "" : " ") + std::to_string(image.PixelAt(x, y)[0]);
    if (c.reds[0] == '\0')
      EXPECT_EQ(control.refusal(), "BMP data ends before the picture does");
    else
      EXPECT_EQ(reds, c.reds) << c.bits << " " << c.compression;
  }
}

TEST(BmpFormat, WritesA24BitFileWithPaddedRows) {
  CImage image;
  FillPattern(image, 3, 2, 4);  // alpha is dropped
  const Bytes bmp = SaveBytes(image, ImageFormat::Bmp);
  // File size 78, data at 54, a 40-byte header, 3 x 2, 1 plane, 24 bits,
  // no compression, 24 bytes of pixels, 3780 pixels per metre both ways.
  const Bytes header = {'B', 'M', 78, 0, 0, 0, 0, 0, 0, 0, 54, 0, 0, 0, 40, 0, 0, 0,
                        3, 0, 0, 0, 2, 0, 0, 0, 1, 0, 24, 0, 0, 0, 0, 0, 24, 0, 0, 0,
                        0xC4, 0x0E, 0, 0, 0xC4, 0x0E, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
  ASSERT_EQ(bmp.size(), 54u + 24);
  EXPECT_EQ(Bytes(bmp.begin(), bmp.begin() + 54), header);
  // File row 0 is image row 1, pixels B, G, R, then 3 pad bytes.
  EXPECT_EQ(bmp[54], SamplePattern(0, 1, 2));
  EXPECT_EQ(bmp[56], SamplePattern(0, 1, 0));
  EXPECT_EQ(bmp[54 + 12 + 3 * 2 + 2], SamplePattern(2, 0, 0));
  EXPECT_EQ(bmp[54 + 9] | bmp[54 + 10] | bmp[54 + 11], 0);

  CImage back;
  ASSERT_TRUE(LoadBytes(back, bmp, ImageFormat::Bmp));
  EXPECT_EQ(back.channels, 3);
  EXPECT_TRUE(HoldsPattern(back, 3));

  CImage gray;  // a gray image is written as v, v, v
  ASSERT_TRUE(gray.Create(1, 1, 1));
  const uint8_t v = 77;
  gray.SetGray(0, 0, &v);
  const Bytes g = SaveBytes(gray, ImageFormat::Bmp);
  EXPECT_EQ(Bytes(g.begin() + 54, g.begin() + 57), Bytes(3, 77));
}

// Pixels per metre are the resolution per centimetre, and go back as they
// came; a resolution in inches is converted, one without a unit is 0.
TEST(BmpFormat, ResolutionIsKeptAsPixelsPerMetre) {
  CImage image;
  Bytes bmp = samples::Bmp(2, 2, 24);
  bmp[38] = 0x13, bmp[39] = 0x0B;  // 2835 along x
  bmp[42] = 0x26, bmp[43] = 0x16;  // 5670 along y
  ASSERT_TRUE(LoadBytes(image, bmp, ImageFormat::Bmp));
  EXPECT_EQ(image.metadata.resolution.unit, Common::Resolution::Unit::Centimetre);
  EXPECT_DOUBLE_EQ(image.metadata.resolution.x, 28.35);
  EXPECT_DOUBLE_EQ(image.metadata.resolution.y, 56.7);
  Bytes back = SaveBytes(image, ImageFormat::Bmp);
  EXPECT_EQ(U32At(back, 38), 2835u);
  EXPECT_EQ(U32At(back, 42), 5670u);
  image.metadata.resolution = {300, 72, Common::Resolution::Unit::Inch};
  back = SaveBytes(image, ImageFormat::Bmp);
  EXPECT_EQ(U32At(back, 38), 11811u);
  EXPECT_EQ(U32At(back, 42), 2835u);
  image.metadata.resolution.unit = Common::Resolution::Unit::None;
  back = SaveBytes(image, ImageFormat::Bmp);
  EXPECT_EQ(U32At(back, 38) | U32At(back, 42), 0u);
}

TEST(PpmFormat, HeaderFormsReadAlike) {
  Bytes pixels;
  for (int i = 0; i < 4 * 2 * 3; ++i) pixels.push_back(uint8_t(i * 9));
  const std::string headers[] = {
      "P6 4 2 255\n",
      "P6\n# a comment\n4 2\n255\n",
      "P6\n4\n2\n255\n",
      "P6 4\n  2 255 # comments drop the whole line\n2 15\n",  // max 15
  };
  for (const std::string& header : headers) {
    Bytes file = AsBytes(header);
    file.insert(file.end(), pixels.begin(), pixels.end());
    CImage image;
    ASSERT_TRUE(LoadBytes(image, file, ImageFormat::Ppm)) << header;
    EXPECT_EQ(image.width, 4);
    EXPECT_EQ(image.height, 2);
    uint8_t r, g, b;
    image.GetRgb(3, 1, r, g, b);  // samples are never rescaled
    EXPECT_EQ(r, 21 * 9);
    EXPECT_EQ(b, 23 * 9);
  }
}

TEST(PpmFormat, AsciiSamplesKeepTheirLowBits) {
  CImage image;
  ASSERT_TRUE(LoadBytes(image, AsBytes("P3\n2 1\n255\n1 2 3\n300 -1 +7\n"),
                        ImageFormat::Ppm));
  uint8_t r, g, b;
  image.GetRgb(1, 0, r, g, b);
  EXPECT_EQ(r, 44);
  EXPECT_EQ(g, 255);
  EXPECT_EQ(b, 7);
  ASSERT_TRUE(LoadBytes(image, samples::Ppm(3, 2, true, true), ImageFormat::Ppm));
  EXPECT_TRUE(HoldsPattern(image, 3));
}

// Above 255 a sample takes two big-endian bytes in P6 and is scaled to
// 0..255 as a 16-bit PNG sample is: to 16 bits, then its high byte.
TEST(PpmFormat, WideSamplesAreScaled) {
  CImage image;
  for (bool ascii : {false, true}) {
    ASSERT_TRUE(LoadBytes(image, samples::Ppm(5, 3, ascii, false, 65535),
                          ImageFormat::Ppm));
    EXPECT_TRUE(HoldsPattern(image, 3)) << ascii;  // v * 257 >> 8 == v
    ASSERT_TRUE(LoadBytes(image, samples::Ppm(5, 3, ascii, false, 1023),
                          ImageFormat::Ppm));
    for (int c = 0; c < 3; ++c) {
      const uint32_t v = SamplePattern(4, 2, c) * 1023u / 255;
      EXPECT_EQ(image.PixelAt(4, 2)[c], (v * 65535 + 511) / 1023 >> 8);
    }
  }
  // Samples above the maximum count as the maximum.
  const std::string over("P6 1 1 1000\n\x03\xE8\xFF\xFF\x00\x01", 18);
  ASSERT_TRUE(LoadBytes(image, AsBytes(over), ImageFormat::Ppm));
  EXPECT_EQ(image.PixelAt(0, 0)[0], 255);
  EXPECT_EQ(image.PixelAt(0, 0)[1], 255);
  EXPECT_EQ(image.PixelAt(0, 0)[2], 0);
}

TEST(PpmFormat, RefusesOtherMagicWordsAndShortData) {
  CImage image;
  const char* bad[] = {"P5 1 1 255\nx", "P6 2 1 255\nabc", "P3 1 1 255\n1 2",
                       "P3 1 1 255\n1 2 x", "P6 1 1\n", "P6 -1 1 255\n",
                       "P6 100000 100000 255\n",
                       "P6 1 1 0\nabc", "P6 1 1 65536\nabcdef", "P6 1 1 -255\nabc",
                       "P6 2 1 256\nabcdef"};  // two bytes per sample
  for (const char* text : bad)
    EXPECT_FALSE(LoadBytes(image, AsBytes(text), ImageFormat::Ppm)) << text;
}

TEST(PnmFormat, WritesP6P5AndPackedP4) {
  CImage image;
  ASSERT_TRUE(image.Create(10, 1, 3));
  for (int x = 0; x < 10; ++x) {
    // Gray 0 at x = 0, 8 and 9; gray 1 (white in PBM) at x = 1.
    const uint8_t v = (x == 0 || x >= 8) ? 0 : x == 1 ? 1 : 200;
    image.SetGray(x, 0, &v);
  }
  const Bytes pbm = SaveBytes(image, ImageFormat::Pbm);
  EXPECT_EQ(AsText(pbm), std::string("P4\n10 1\n") + '\x80' + '\xC0');

  const Bytes pgm = SaveBytes(image, ImageFormat::Pgm);
  EXPECT_EQ(AsText(pgm).substr(0, 12), "P5\n10 1\n255\n");
  ASSERT_EQ(pgm.size(), 12u + 10);
  EXPECT_EQ(pgm[12], 0);
  EXPECT_EQ(pgm[12 + 2], 200);

  CImage rgb;
  FillPattern(rgb, 2, 2, 3);
  const Bytes ppm = SaveBytes(rgb, ImageFormat::Ppm);
  EXPECT_EQ(AsText(ppm).substr(0, 11), "P6\n2 2\n255\n");
  ASSERT_EQ(ppm.size(), 11u + 12);
  EXPECT_EQ(ppm[11 + 9 + 2], SamplePattern(1, 1, 2));
  CImage back;
  ASSERT_TRUE(LoadBytes(back, ppm, ImageFormat::Ppm));
  EXPECT_TRUE(HoldsPattern(back, 3));
}

}  // namespace
}  // namespace imagetest
