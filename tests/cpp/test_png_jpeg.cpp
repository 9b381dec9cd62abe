// PNG and JPEG through the libraries: colour types, bit depths, encoder
// settings, and errors that come back as false instead of ending the
// process.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "image_test_util.h"

namespace imagetest {
namespace {

using Common::CImage;
using Common::ImageFormat;
using samples::FindMarker;
using samples::SamplePattern;

// Pixel (3, 2) of each colour type: R, G, B in order, alpha kept, gray
// alone or (when RGB is preferred) straight to R = G = B, a palette (entry
// i is (i, 255 - i, i / 2)) expanded to RGB, gray with alpha to RGBA.
TEST(Png, ColourTypesLoadWithTheirChannels) {
  const int v0 = SamplePattern(3, 2, 0), v1 = SamplePattern(3, 2, 1),
            v2 = SamplePattern(3, 2, 2), v3 = SamplePattern(3, 2, 3);
  const struct {
    int colourType;
    bool preferRgb;
    std::vector<int> pixel;
  } cases[] = {{2, false, {v0, v1, v2}},          {6, false, {v0, v1, v2, v3}},
               {0, false, {v0}},                  {0, true, {v0, v0, v0}},
               {3, false, {v0, 255 - v0, v0 / 2}}, {4, false, {v0, v0, v0, v1}}};
  for (const auto& c : cases) {
    CImage image;
    Common::LoadControl control;
    control.prefer_rgb = c.preferRgb;
    ASSERT_TRUE(LoadBytes(image, samples::Png(7, 3, c.colourType), ImageFormat::Png,
                          &control));
    ASSERT_EQ(image.channels, static_cast<int>(c.pixel.size())) << c.colourType;
    for (int k = 0; k < image.channels; ++k)
      EXPECT_EQ(image.PixelAt(3, 2)[k], c.pixel[k]) << c.colourType << " " << k;
  }
}

TEST(Png, InterlacedAndOtherBitDepthsBecome8Bits) {
  CImage plain, interlaced;
  ASSERT_TRUE(LoadBytes(plain, samples::Png(9, 9, 2), ImageFormat::Png));
  ASSERT_TRUE(LoadBytes(interlaced, samples::Png(9, 9, 2, 8, true),
                        ImageFormat::Png));
  for (int y = 0; y < 9; ++y)
    EXPECT_EQ(std::memcmp(plain.PixelAt(0, y), interlaced.PixelAt(0, y), 27), 0);

  CImage image;
  ASSERT_TRUE(LoadBytes(image, samples::Png(3, 3, 2, 16), ImageFormat::Png));
  uint8_t px[4];
  image.GetRgba(2, 1, px);  // the high byte
  EXPECT_EQ(px[0], SamplePattern(2, 1, 0));
  EXPECT_EQ(px[2], SamplePattern(2, 1, 2));

  for (int depth : {1, 2, 4}) {
    ASSERT_TRUE(LoadBytes(image, samples::Png(9, 2, 0, depth), ImageFormat::Png))
        << depth;
    EXPECT_EQ(image.channels, 1);
    EXPECT_EQ(image.width, 9);
    const int levels = (1 << depth) - 1;
    for (int x = 0; x < 9; ++x) {
      const int level = SamplePattern(x, 1, 0) * levels / 255;
      EXPECT_EQ(image.GetGray(x, 1), level * 255 / levels) << depth << " " << x;
    }
  }
}

TEST(Png, RefusesOtherSignaturesAndCorruptDataWithTheReason) {
  CImage image;
  EXPECT_FALSE(LoadBytes(image, AsBytes("GIF89a...."), ImageFormat::Png));
  const Bytes good = samples::Png(6, 4, 2);
  Bytes png = good;
  const size_t idat = AsText(good).find("IDAT");
  ASSERT_NE(idat, std::string::npos);
  const size_t length = size_t{good[idat - 2]} << 8 | good[idat - 1];
  png[idat + 4 + length] ^= 0x55;  // the IDAT checksum
  Common::LoadControl crc;
  EXPECT_FALSE(LoadBytes(image, png, ImageFormat::Png, &crc));
  EXPECT_EQ(crc.refusal(), "IDAT: CRC error");
  Common::LoadControl cut;
  EXPECT_FALSE(LoadBytes(image, Bytes(good.begin(), good.begin() + 60), ImageFormat::Png, &cut));
  EXPECT_EQ(cut.refusal(), "the file is truncated");
  // Without its end chunk the file is read, as Pillow reads it.
  CImage whole, noEnd;
  ASSERT_TRUE(LoadBytes(whole, good, ImageFormat::Png));
  ASSERT_TRUE(LoadBytes(noEnd, Bytes(good.begin(), good.end() - 12), ImageFormat::Png));
  for (int y = 0; y < 4; ++y)
    EXPECT_EQ(std::memcmp(whole.PixelAt(0, y), noEnd.PixelAt(0, y), 6 * 3), 0);
}

TEST(Png, WritesEightBitColourTypesAndReadsThemBack) {
  // A picture marked gray goes out as gray (with its alpha) from its first
  // sample; gray with alpha comes back as RGBA.
  struct Case {
    int channels;
    bool gray;
    int colourType;
  } cases[] = {{1, false, 0}, {3, false, 2}, {4, false, 6}, {3, true, 0}, {4, true, 4}};
  for (const Case& c : cases) {
    CImage image;
    FillPattern(image, 7, 5, c.channels);
    image.metadata.gray = c.gray;
    bool ok = false;
    const Bytes png = SaveBytes(image, ImageFormat::Png, &ok);
    ASSERT_TRUE(ok);
    EXPECT_EQ(png[24], 8);             // bit depth
    EXPECT_EQ(png[25], c.colourType);  // colour type
    EXPECT_EQ(png[28], 0);             // not interlaced
    CImage back;
    ASSERT_TRUE(LoadBytes(back, png, ImageFormat::Png));
    EXPECT_EQ(back.metadata.gray, c.gray || c.channels == 1);
    ASSERT_EQ(back.channels, c.gray && c.channels == 3 ? 1 : c.channels);
    for (int y = 0; y < 5; ++y)
      for (int x = 0; x < 7; ++x)
        for (int k = 0; k < back.channels; ++k) {
          const int from = !c.gray ? k : k == 3 ? 3 : 0;
          EXPECT_EQ(back.PixelAt(x, y)[k], image.PixelAt(x, y)[from]) << c.channels;
        }
  }
}

TEST(Png, ResolutionGoesOutInPixelsPerMetre) {
  CImage image;
  FillPattern(image, 3, 2, 3);
  using Unit = Common::Resolution::Unit;
  struct Case {
    Common::Resolution given;
    double x, y;  // read back
    Unit unit;
  } cases[] = {{{600, 300, Unit::Inch}, 236.22, 118.11, Unit::Centimetre},
               {{100, 50, Unit::Centimetre}, 100, 50, Unit::Centimetre},
               {{2, 1, Unit::None}, 2, 1, Unit::None}};
  for (const Case& c : cases) {
    image.metadata.resolution = c.given;
    const Bytes png = SaveBytes(image, ImageFormat::Png);
    CImage back;
    ASSERT_TRUE(LoadBytes(back, png, ImageFormat::Png));
    EXPECT_DOUBLE_EQ(back.metadata.resolution.x, c.x);
    EXPECT_DOUBLE_EQ(back.metadata.resolution.y, c.y);
    EXPECT_EQ(back.metadata.resolution.unit, c.unit);
  }
  // 23622 pixels per metre, as every writer rounds 600 per inch.
  image.metadata.resolution = {600, 600, Unit::Inch};
  const std::string png = AsText(SaveBytes(image, ImageFormat::Png));
  const size_t at = png.find("pHYs");
  ASSERT_NE(at, std::string::npos);
  EXPECT_EQ(png.substr(at + 4, 9), std::string("\0\0\x5c\x46\0\0\x5c\x46\1", 9));
}

TEST(Jpeg, ReadsRgbGrayAndCmyk) {
  CImage image;
  ASSERT_TRUE(LoadBytes(image, samples::Jpeg(16, 8, 3, false, 100),
                        ImageFormat::Jpeg));
  EXPECT_EQ(image.channels, 3);
  EXPECT_EQ(image.width, 16);
  uint8_t px[4];
  image.GetRgba(3, 3, px);
  for (int c = 0; c < 3; ++c)
    EXPECT_NEAR(px[c], SamplePattern(3, 3, c), 40);
  ASSERT_TRUE(LoadBytes(image, samples::Jpeg(9, 7, 3, true), ImageFormat::Jpeg));
  EXPECT_EQ(image.height, 7);

  ASSERT_TRUE(LoadBytes(image, samples::Jpeg(8, 8, 1, false, 100), ImageFormat::Jpeg));
  EXPECT_EQ(image.channels, 1);
  EXPECT_NEAR(image.GetGray(5, 6), SamplePattern(5, 6, 0), 4);

  // libjpeg marks CMYK files as Adobe's, whose inks are stored inverted:
  // a stored C and K let through C x K / 255 of the red.
  ASSERT_TRUE(LoadBytes(image, samples::Jpeg(8, 8, 4, false, 100),
                        ImageFormat::Jpeg));
  EXPECT_EQ(image.channels, 3);
  for (int c = 0; c < 3; ++c)
    EXPECT_NEAR(image.PixelAt(5, 6)[c],
                SamplePattern(5, 6, c) * SamplePattern(5, 6, 3) / 255, 6) << c;
}

// The standard error manager would end the process here. The file is
// refused with the library's message; one cut short is refused too.
TEST(Jpeg, FatalLibraryErrorsComeBackAsFalse) {
  CImage image;
  Bytes cut = samples::Jpeg(16, 8, 3);
  cut.resize(cut.size() / 2);  // cut short in the scan data
  const std::pair<Bytes, std::string> refused[] = {
      {samples::Png(4, 4, 2), "Not a JPEG file: starts with 0x89 0x50"},
      {AsBytes("\xFF\xD8\xFF\xD9"), "JPEG datastream contains no image"},
      {cut, "Premature end of JPEG file"}};
  for (const auto& [bytes, reason] : refused) {
    Common::LoadControl control;
    EXPECT_FALSE(LoadBytes(image, bytes, ImageFormat::Jpeg, &control)) << reason;
    EXPECT_EQ(control.failure(), Common::LoadFailure::Refused);
    EXPECT_EQ(control.refusal(), reason);
  }
  // Writing 2 channels is refused; writing to a stream that fails is an
  // error of the library's destination manager.
  CImage two;
  FillPattern(two, 4, 4, 3);
  two.channels = 2;
  bool ok = true;
  SaveBytes(two, ImageFormat::Jpeg, &ok);
  EXPECT_FALSE(ok);
  FILE* full = std::fopen("/dev/full", "wb");
  if (full != nullptr) {
    CImage big;
    FillPattern(big, 300, 300, 3);
    EXPECT_FALSE(Common::SaveImage(big, full, ImageFormat::Jpeg));
    std::fclose(full);
  }
}

TEST(Jpeg, WritesBaselineQuality80WithDefaultSubsampling) {
  CImage image;
  FillPattern(image, 24, 16, 4);  // alpha is dropped
  bool ok = false;
  const Bytes jpeg = SaveBytes(image, ImageFormat::Jpeg, &ok);
  ASSERT_TRUE(ok);
  const size_t sof0 = FindMarker(jpeg, 0xC0);  // baseline
  ASSERT_NE(sof0, std::string::npos);
  EXPECT_EQ(FindMarker(jpeg, 0xC2), std::string::npos);
  EXPECT_EQ(jpeg[sof0 + 9], 3);        // components
  EXPECT_EQ(jpeg[sof0 + 11], 0x22);    // luma sampled 2 x 2
  EXPECT_EQ(jpeg[sof0 + 14], 0x11);
  // Quality 80 scales the standard tables by 40 %: 16 -> 6, 17 -> 7.
  const size_t dqt = FindMarker(jpeg, 0xDB);
  ASSERT_NE(dqt, std::string::npos);
  EXPECT_EQ(jpeg[dqt + 5], 6);
  const size_t chroma = FindMarker(jpeg, 0xDB, dqt + 2);
  const uint8_t first_chroma = chroma != std::string::npos ? jpeg[chroma + 5] : jpeg[dqt + 5 + 65];
  EXPECT_EQ(first_chroma, 7);

  CImage back;
  ASSERT_TRUE(LoadBytes(back, jpeg, ImageFormat::Jpeg));
  EXPECT_EQ(back.width, 24);
  EXPECT_EQ(back.channels, 3);

  CImage gray;
  FillPattern(gray, 8, 8, 1);
  const Bytes g = SaveBytes(gray, ImageFormat::Jpeg, &ok);
  ASSERT_TRUE(ok);
  EXPECT_EQ(g[FindMarker(g, 0xC0) + 9], 1);

  // Another quality scales the tables by another factor: 50 keeps them.
  Common::SaveOptions options;
  options.quality = 50;
  const Bytes q50 = SaveBytes(image, ImageFormat::Jpeg, &ok, options);
  ASSERT_TRUE(ok);
  EXPECT_EQ(q50[FindMarker(q50, 0xDB) + 5], 16);
  options.quality = 0;
  SaveBytes(image, ImageFormat::Jpeg, &ok, options);
  EXPECT_FALSE(ok);
}

// A metadata block that declares a wrong length is dropped and the picture
// decoded as without it: a length too short (with a thumbnail behind it,
// whose frame must not be taken for the picture's), one too long (over the
// tables and the frame), one past the end of the file.
TEST(Jpeg, MetadataBlocksOfWrongLengthAreDropped) {
  CImage plain, image;
  ASSERT_TRUE(LoadBytes(plain, samples::Jpeg(16, 8, 3), ImageFormat::Jpeg));
  for (bool thumbnail : {false, true})
    for (int length : {-1, 0, 1, 2, 20, 200, 65535}) {
      ASSERT_TRUE(LoadBytes(image, samples::JpegWithExif(16, 8, thumbnail, length),
                            ImageFormat::Jpeg))
          << thumbnail << " " << length;
      ASSERT_EQ(image.width, 16);
      ASSERT_EQ(image.height, 8);
      for (int y = 0; y < 8; ++y)
        EXPECT_EQ(std::memcmp(image.PixelAt(0, y), plain.PixelAt(0, y), 16 * 3), 0)
            << thumbnail << " " << length << " row " << y;
    }
}

// Progressive files decode every scan over the whole picture before the
// first row comes out: scans without data and more scans than encoders
// write are refused, not decoded.
TEST(Jpeg, ScanBombsAreRefused) {
  CImage image;
  ASSERT_TRUE(LoadBytes(image, samples::JpegBands(32, 16, 33), ImageFormat::Jpeg));
  EXPECT_NEAR(image.GetGray(20, 9), SamplePattern(20, 9, 0), 8);
  EXPECT_FALSE(LoadBytes(image, samples::JpegBands(32, 16, 64), ImageFormat::Jpeg));
  for (int dataBytes : {0, 1}) {
    Common::LoadControl control;
    EXPECT_FALSE(LoadBytes(image, samples::JpegRepeatedScan(4000, 4000, 999, dataBytes),
                           ImageFormat::Jpeg, &control))
        << dataBytes << " bytes";
    EXPECT_EQ(control.refusal(), "progressive JPEG of more than 50 scans");
  }
}

// Damage that libjpeg recovers from, as every viewer does: the picture is
// read, and the library's first warning comes back for the caller to show.
// Junk before a restart marker and a wrong restart marker lose nothing.
TEST(Jpeg, RecoverableDamageIsReadWithTheLibrarysWarning) {
  CImage intact, image;
  ASSERT_TRUE(LoadBytes(intact, samples::JpegWithSettings(32, 48, 90, true, 1),
                        ImageFormat::Jpeg));
  const std::pair<Bytes, std::string> damaged[] = {
      {samples::JpegDamagedRestart(32, 48, 40), "extraneous bytes before marker 0xd0"},
      {samples::JpegDamagedRestart(32, 48, 0), "found marker 0xd3 instead of RST0"},
      {samples::JpegRepeatedScan(64, 64, 2, 0), "premature end of data segment"}};
  for (const auto& [bytes, warning] : damaged) {
    Common::LoadControl control;
    ASSERT_TRUE(LoadBytes(image, bytes, ImageFormat::Jpeg, &control)) << warning;
    ASSERT_EQ(control.warnings().size(), 1u) << warning;
    EXPECT_EQ(control.warnings()[0].rfind("Corrupt JPEG data: ", 0), 0u);
    EXPECT_NE(control.warnings()[0].find(warning), std::string::npos)
        << control.warnings()[0];
    if (image.width != intact.width) continue;
    for (int y = 0; y < 48; ++y)
      ASSERT_EQ(std::memcmp(image.PixelAt(0, y), intact.PixelAt(0, y), 32 * 3), 0)
          << warning << ", row " << y;
  }
  Common::LoadControl quiet;
  ASSERT_TRUE(LoadBytes(image, samples::Jpeg(16, 8, 3), ImageFormat::Jpeg, &quiet));
  EXPECT_TRUE(quiet.warnings().empty());
}

// Tables read from a file are written back as baseline tables: entries of
// 0 (which the encoder would divide by) become 1 and 16-bit entries above
// 255 become 255.
TEST(Jpeg, KeptTablesAreWrittenAsBaseline) {
  const Bytes wide = samples::JpegWithSettings(16, 16, 1, false, 0);
  ASSERT_NE(FindMarker(wide, 0xC1), std::string::npos);  // extended sequential
  const std::pair<Bytes, std::pair<int, uint8_t>> inputs[] = {
      {samples::JpegZeroQuantisation(16, 16), {32, 1}},  // zigzag 10
      {wide, {63, 255}}};
  for (const auto& [input, entry] : inputs) {
    CImage image;
    ASSERT_TRUE(LoadBytes(image, input, ImageFormat::Jpeg));
    Common::SaveOptions keep;
    keep.keep_jpeg_quality = true;
    bool ok = false;
    const Bytes out = SaveBytes(image, ImageFormat::Jpeg, &ok, keep);
    ASSERT_TRUE(ok);
    ASSERT_NE(FindMarker(out, 0xC0), std::string::npos);
    EXPECT_EQ(FindMarker(out, 0xC1), std::string::npos);
    CImage back;
    ASSERT_TRUE(LoadBytes(back, out, ImageFormat::Jpeg));
    EXPECT_EQ(back.metadata.jpeg.tables[0][entry.first], entry.second);
  }
}

// A gray file is marked gray however it is decoded, and a picture marked
// gray is written as a one-component file from its first sample, with the
// input's tables when they are kept.
TEST(Jpeg, GrayStaysGray) {
  CImage image;
  ASSERT_TRUE(LoadBytes(image, samples::Jpeg(16, 16, 3), ImageFormat::Jpeg));
  EXPECT_FALSE(image.metadata.gray);
  Common::LoadControl rgb;
  rgb.prefer_rgb = true;
  const Bytes gray = samples::Jpeg(16, 16, 1, false, 100);
  ASSERT_TRUE(LoadBytes(image, gray, ImageFormat::Jpeg, &rgb));
  EXPECT_EQ(image.channels, 3);
  EXPECT_TRUE(image.metadata.gray);
  for (int c = 0; c < 3; ++c)  // gray straight to R = G = B
    EXPECT_NEAR(image.PixelAt(5, 6)[c], SamplePattern(5, 6, 0), 4) << c;
  EXPECT_EQ(image.PixelAt(5, 6)[0], image.PixelAt(5, 6)[2]);
  Common::SaveOptions keep;
  keep.keep_jpeg_quality = true;
  bool ok = false;
  const Bytes out = SaveBytes(image, ImageFormat::Jpeg, &ok, keep);
  ASSERT_TRUE(ok);
  EXPECT_EQ(out[FindMarker(out, 0xC0) + 9], 1);
  const size_t dqt = FindMarker(out, 0xDB);
  EXPECT_EQ(Bytes(out.begin() + dqt, out.begin() + dqt + 69),
            Bytes(gray.begin() + FindMarker(gray, 0xDB),
                  gray.begin() + FindMarker(gray, 0xDB) + 69));

  CImage rgba;
  FillPattern(rgba, 8, 8, 4);
  rgba.metadata.gray = true;
  const Bytes g = SaveBytes(rgba, ImageFormat::Jpeg, &ok);
  ASSERT_TRUE(ok);
  ASSERT_TRUE(LoadBytes(image, g, ImageFormat::Jpeg));
  EXPECT_EQ(image.channels, 1);
  EXPECT_NEAR(image.GetGray(5, 6), SamplePattern(5, 6, 0), 8);
}

// The resolution goes into the JFIF density: in the unit that stores it
// closer, the aspect ratio alone in the smallest whole numbers.
TEST(Jpeg, ResolutionIsKeptInTheJfifDensity) {
  using Unit = Common::Resolution::Unit;
  struct Case {
    Common::Resolution given;
    int unit, x, y;
  };
  const Case cases[] = {{{600, 600, Unit::Inch}, 1, 600, 600},
                        {{118.11, 118.11, Unit::Centimetre}, 1, 300, 300},
                        {{40, 20, Unit::Centimetre}, 2, 40, 20},
                        {{100000, 100000, Unit::Inch}, 2, 39370, 39370},
                        {{1.5, 1, Unit::None}, 0, 3, 2},
                        {{}, 0, 1, 1}};
  for (const Case& c : cases) {
    CImage image;
    FillPattern(image, 8, 8, 3);
    image.metadata.resolution = c.given;
    bool ok = false;
    const Bytes out = SaveBytes(image, ImageFormat::Jpeg, &ok);
    ASSERT_TRUE(ok);
    const size_t app0 = FindMarker(out, 0xE0);
    ASSERT_EQ(app0, 2u);
    EXPECT_EQ(out[app0 + 11], c.unit) << c.given.x;
    EXPECT_EQ(out[app0 + 12] << 8 | out[app0 + 13], c.x) << c.given.x;
    EXPECT_EQ(out[app0 + 14] << 8 | out[app0 + 15], c.y) << c.given.x;
    // Read back as written; square pixels without a unit state nothing.
    CImage back;
    ASSERT_TRUE(LoadBytes(back, out, ImageFormat::Jpeg));
    const Common::Resolution& res = back.metadata.resolution;
    EXPECT_EQ(res.Given(), c.given.Given());
    if (!res.Given()) continue;
    EXPECT_EQ(res.x, c.x);
    EXPECT_EQ(res.y, c.y);
    EXPECT_EQ(static_cast<int>(res.unit), c.unit);
  }
}

}  // namespace
}  // namespace imagetest
