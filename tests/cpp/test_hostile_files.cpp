// Broken and hostile files: every truncation and many corruptions of valid
// files of each format, declared sizes that do not fit, and the regression
// corpus (the fuzz seeds and every input that ever made a reader fail).
// Run under AddressSanitizer by scripts/sanitize.sh.
#include <gtest/gtest.h>

#include <dirent.h>
#include <zlib.h>

#include <algorithm>
#include <string>
#include <vector>

#include "image_test_util.h"

namespace imagetest {
namespace {

using Common::CImage;
using Common::ImageFormat;

struct Sample {
  const char* name;
  ImageFormat format;
  Bytes bytes;
  // Truncations up to this length must fail; past it a reader may still
  // find all it needs (the text formats can lose trailing digits).
  size_t must_fail_below;
};

std::vector<Sample> ValidSamples() {
  std::vector<Sample> out;
  auto add = [&](const char* name, ImageFormat f, Bytes b, size_t tail = 0) {
    const size_t n = b.size();
    out.push_back({name, f, std::move(b), n - tail});
  };
  add("text", ImageFormat::Text, samples::Text(5, 3), 6);
  add("bmp24", ImageFormat::Bmp, samples::Bmp(5, 3, 24));
  add("bmp32-v5", ImageFormat::Bmp, samples::Bmp(3, 2, 32, true, 124, 3));
  add("bmp32-masks-gap", ImageFormat::Bmp,
      samples::BmpWithGap(samples::Bmp(3, 2, 32, false, 40, 3), 8));
  add("ppm-p6", ImageFormat::Ppm, samples::Ppm(4, 3, false));
  add("ppm-p3", ImageFormat::Ppm, samples::Ppm(3, 2, true), 6);
  add("png-rgb", ImageFormat::Png, samples::Png(6, 4, 2));
  add("png-interlaced16", ImageFormat::Png, samples::Png(7, 5, 6, 16, true));
  add("png-gray2", ImageFormat::Png, samples::Png(9, 3, 0, 2));
  add("jpeg", ImageFormat::Jpeg, samples::Jpeg(16, 8, 3));
  add("jpeg-progressive", ImageFormat::Jpeg, samples::Jpeg(17, 9, 3, true));
  add("jpeg-exif", ImageFormat::Jpeg, samples::JpegWithExif(16, 8, true));
  return out;
}

TEST(HostileFiles, ValidSamplesLoad) {
  for (const Sample& s : ValidSamples()) {
    CImage image;
    EXPECT_TRUE(LoadBytes(image, s.bytes, s.format)) << s.name;
  }
}

TEST(HostileFiles, EveryTruncationIsRefused) {
  for (const Sample& s : ValidSamples()) {
    for (size_t n = 0; n < s.bytes.size(); ++n) {
      CImage image;
      const bool loaded =
          LoadBytes(image, Bytes(s.bytes.begin(), s.bytes.begin() + n), s.format);
      if (n < s.must_fail_below) {
        EXPECT_FALSE(loaded) << s.name << " cut at " << n;
      }
    }
  }
}

TEST(HostileFiles, CorruptedBytesNeverReadOutsideTheBuffers) {
  // Each byte in turn replaced by values that break sizes and offsets; the
  // result may be true or false, but under the sanitizers nothing may be
  // read or written out of bounds, and a loaded image is fully readable.
  const uint8_t values[] = {0x00, 0xFF, 0x7F, 0x80, 0x01};
  for (const Sample& s : ValidSamples()) {
    for (size_t i = 0; i < s.bytes.size(); ++i)
      for (uint8_t v : values) {
        Bytes b = s.bytes;
        b[i] = v;
        CImage image;
        if (LoadBytes(image, b, s.format) && !image.IsEmpty()) {
          uint8_t px[4];
          image.GetRgba(image.width - 1, image.height - 1, px);
        }
      }
  }
}

TEST(HostileFiles, DeclaredSizesBeyondTheDataAreRefusedBeforeAllocating) {
  CImage image;
  // BMP: 30000 x 30000 pixels declared, none present.
  Bytes bmp = samples::Bmp(1, 1, 24);
  bmp[18] = 0x30, bmp[19] = 0x75, bmp[22] = 0x30, bmp[23] = 0x75;
  EXPECT_FALSE(LoadBytes(image, bmp, ImageFormat::Bmp));
  // Width x height x 4 overflows 32 bits.
  bmp = samples::Bmp(1, 1, 32);
  bmp[18] = 0, bmp[19] = 0, bmp[20] = 0, bmp[21] = 0x40;
  EXPECT_FALSE(LoadBytes(image, bmp, ImageFormat::Bmp));
  bmp = samples::Bmp(1, 1, 24);
  bmp[22] = 0, bmp[23] = 0, bmp[24] = 0, bmp[25] = 0x80;  // height INT_MIN
  EXPECT_FALSE(LoadBytes(image, bmp, ImageFormat::Bmp));
  bmp = samples::Bmp(1, 1, 24);
  bmp[21] = 0xFF;  // negative width
  EXPECT_FALSE(LoadBytes(image, bmp, ImageFormat::Bmp));

  EXPECT_FALSE(LoadBytes(image, AsBytes("P6\n20000 20000\n255\nabc"),
                         ImageFormat::Ppm));
  EXPECT_FALSE(LoadBytes(image, AsBytes("P3\n2000 2000\n255\n1 2 3"),
                         ImageFormat::Ppm));
  EXPECT_FALSE(LoadBytes(image, AsBytes("NHORZ 16384\nNVERT 16384\n1 2\n"),
                         ImageFormat::Text));

  // PNG and JPEG headers that claim huge images over a few bytes of data.
  Bytes png = samples::Png(2, 2, 2);
  png[17] = 0x80, png[21] = 0x80;  // 2^23 x 2^23 pixels, with a valid CRC
  const uLong crc = crc32(0, png.data() + 12, 17);
  for (int i = 0; i < 4; ++i) png[29 + i] = static_cast<uint8_t>(crc >> (24 - 8 * i));
  EXPECT_FALSE(LoadBytes(image, png, ImageFormat::Png));
  Bytes jpeg = samples::Jpeg(8, 8, 3);
  size_t sof = 0;
  while (sof + 1 < jpeg.size() && !(jpeg[sof] == 0xFF && jpeg[sof + 1] == 0xC0)) ++sof;
  ASSERT_LT(sof + 8, jpeg.size());
  jpeg[sof + 5] = 0xEA, jpeg[sof + 6] = 0x60;  // height 60000
  jpeg[sof + 7] = 0xEA, jpeg[sof + 8] = 0x60;  // width 60000
  EXPECT_FALSE(LoadBytes(image, jpeg, ImageFormat::Jpeg));
}

ImageFormat FormatOfCorpus(const std::string& folder) {
  if (folder == "text") return ImageFormat::Text;
  if (folder == "bmp") return ImageFormat::Bmp;
  if (folder == "ppm") return ImageFormat::Ppm;
  if (folder == "png") return ImageFormat::Png;
  if (folder == "jpeg") return ImageFormat::Jpeg;
  if (folder == "tiff") return ImageFormat::Tiff;
  if (folder == "webp") return ImageFormat::Webp;
  return ImageFormat::None;
}

std::vector<std::string> FilesIn(const std::string& dir) {
  std::vector<std::string> names;
  if (DIR* d = opendir(dir.c_str())) {
    while (dirent* e = readdir(d))
      if (e->d_name[0] != '.') names.push_back(e->d_name);
    closedir(d);
  }
  std::sort(names.begin(), names.end());
  return names;
}

TEST(HostileFiles, RegressionCorpusReplaysCleanly) {
  const std::string root = PATCHWELL_CORPUS_DIR;
  int files = 0;
  for (const std::string& folder : FilesIn(root)) {
    const ImageFormat format = FormatOfCorpus(folder);
    ASSERT_NE(format, ImageFormat::None) << "unknown corpus folder " << folder;
    for (const std::string& name : FilesIn(root + "/" + folder)) {
      const Bytes bytes = samples::ReadFile(root + "/" + folder + "/" + name);
      CImage image;
      const bool loaded = LoadBytes(image, bytes, format);
      // Seeds load, except those named *-refused: variants the reader
      // turns down. Other inputs only have to pass without a fault.
      if (name.rfind("seed-", 0) == 0) {
        EXPECT_EQ(loaded, name.find("-refused") == std::string::npos)
            << folder << "/" << name;
      }
      ++files;
    }
  }
  EXPECT_GE(files, 20);
}

}  // namespace
}  // namespace imagetest
