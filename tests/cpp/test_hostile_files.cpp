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

#include "image/exif_block.h"
#include "image/exif_ifd.h"
#include "image/orientation.h"
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
  // A PNG is read without its 12-byte end chunk, as Pillow reads it.
  add("png-rgb", ImageFormat::Png, samples::Png(6, 4, 2), 12);
  add("png-interlaced16", ImageFormat::Png, samples::Png(7, 5, 6, 16, true), 12);
  add("png-gray2", ImageFormat::Png, samples::Png(9, 3, 0, 2), 12);
  add("jpeg", ImageFormat::Jpeg, samples::Jpeg(16, 8, 3));
  add("jpeg-progressive", ImageFormat::Jpeg, samples::Jpeg(17, 9, 3, true));
  add("jpeg-exif", ImageFormat::Jpeg, samples::JpegWithExif(16, 8, true));
  return out;
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
  // In any build: some changes are refused, and some (in the pixels) load.
  const uint8_t values[] = {0x00, 0xFF, 0x7F, 0x80, 0x01};
  for (const Sample& s : ValidSamples()) {
    int loaded = 0, refused = 0;
    for (size_t i = 0; i < s.bytes.size(); ++i)
      for (uint8_t v : values) {
        Bytes b = s.bytes;
        b[i] = v;
        CImage image;
        if (LoadBytes(image, b, s.format) && !image.IsEmpty()) {
          uint8_t px[4];
          image.GetRgba(image.width - 1, image.height - 1, px);
          ++loaded;
        } else {
          ++refused;
        }
      }
    EXPECT_GT(loaded, 0) << s.name;
    EXPECT_GT(refused, 0) << s.name;
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
  const size_t sof = samples::FindMarker(jpeg, 0xC0);
  jpeg[sof + 5] = 0xEA, jpeg[sof + 6] = 0x60;  // height 60000
  jpeg[sof + 7] = 0xEA, jpeg[sof + 8] = 0x60;  // width 60000
  EXPECT_FALSE(LoadBytes(image, jpeg, ImageFormat::Jpeg));
}

TEST(HostileFiles, ExifDirectoriesAreReadWithinBounds) {
  // A little-endian TIFF structure: the first IFD at 8 (8 entries), the EXIF
  // IFD at 110 (3 entries), a rational at 152, 65600 bytes of text at 160.
  std::string b(160 + 65600, 'x');
  auto put = [&](size_t at, uint32_t v, int bytes) {
    for (int i = 0; i < bytes; ++i) b[at + i] = static_cast<char>(v >> 8 * i);
  };
  auto entry = [&](size_t at, uint16_t tag, uint16_t type, uint32_t count, uint32_t value) {
    put(at, tag, 2), put(at + 2, type, 2), put(at + 4, count, 4), put(at + 8, value, 4);
  };
  b[0] = b[1] = 'I', put(2, 42, 2), put(4, 8, 4), put(8, 8, 2);
  entry(10, 0x010F, 2, 4, 0x006D6163);         // Make "cam": kept
  entry(22, 0x010F, 2, 4, 0x007A7978);         // Make again: dropped
  entry(34, 0x0100, 3, 1, 5);                  // ImageWidth: not descriptive
  entry(46, 0x0110, 2, 0x40000000, 8);         // a count past the end
  entry(58, 0x0131, 2, 10, 0xFFFFFFF0);        // an offset past the end
  entry(70, 0x010E, 2, 65600, 160);            // more than an EXIF block holds
  entry(82, 0x8769, 4, 1, 110);                // the EXIF IFD
  entry(94, 0x8825, 4, 1, 0xFFFFFF00);         // a GPS IFD past the end
  put(106, 0, 4), put(110, 3, 2);
  entry(112, 0x829A, 5, 1, 152);               // ExposureTime 1/250
  entry(124, 0x9000, 7, 4, 0x32333230);        // ExifVersion "0232"
  entry(136, 0xA005, 4, 1, 110);               // interoperability: itself
  put(148, 0, 4), put(152, 1, 4), put(156, 250, 4);

  const Common::IfdTree tree = Common::ReadIfdTree(b);
  ASSERT_EQ(tree.ifds.size(), 3u);  // the first, EXIF and interoperability IFDs
  ASSERT_EQ(tree.ifds[0].size(), 2u);
  EXPECT_EQ(tree.Find(0, 0x010F)->value, std::string("cam\0", 4));
  EXPECT_EQ(tree.Find(0, 0x8769)->child, 1);
  EXPECT_EQ(tree.Find(1, 0x829A)->value, b.substr(152, 8));
  EXPECT_EQ(tree.Find(2, 0xA005)->child, -1);  // a leaf: copied as a value
  const std::string block = Common::ExifBlock(tree);
  EXPECT_EQ(Common::ExifBlock(Common::ReadIfdTree(block)), block);
  // An entry count past the end loses the whole IFD.
  put(110, 5, 2);
  EXPECT_EQ(Common::ReadIfdTree(b.substr(0, 160)).ifds.size(), 1u);
}

// Readies an input's metadata for an output as a run does, turning it to
// its shown orientation: what goes out is no EXIF or a block that other
// readers parse, without a thumbnail.
void ExpectReadyForOutput(Common::ImageMetadata meta, const std::string& what) {
  Common::ReadyExifForOutput(meta.exif);
  if (!meta.exif.empty()) {
    const Common::FirstIfd ifd = Common::FindFirstIfd(meta.exif);
    ASSERT_EQ(ifd.problem, nullptr) << what;
    EXPECT_EQ(ifd.U32(meta.exif, ifd.Link()), 0u) << what;
  }
  const int32_t orientation = Common::ShownOrientation(meta);
  EXPECT_TRUE(orientation >= 1 && orientation <= 8) << what;
  Common::MarkShownAsStored(meta);
  EXPECT_EQ(Common::ShownOrientation(meta), 1) << what;
}

TEST(HostileFiles, ExifBlocksGoOutParseableAndWithoutThumbnail) {
  const Bytes bytes = samples::ExifBlock(true);
  const std::string block(bytes.begin(), bytes.end());
  Common::ImageMetadata meta;
  meta.xmp = "<x tiff:Orientation='8'/><tiff:Orientation>3</tiff:Orientation>";
  for (size_t n = 0; n < block.size(); ++n) {
    meta.exif = block.substr(0, n);
    ExpectReadyForOutput(meta, "EXIF cut at " + std::to_string(n));
  }
  for (size_t i = 0; i < block.size(); ++i)
    for (uint8_t v : {0x00, 0xFF, 0x7F, 0x80, 0x01}) {
      meta.exif = block;
      meta.exif[i] = static_cast<char>(v);
      ExpectReadyForOutput(meta, "EXIF byte " + std::to_string(i) + " = " + std::to_string(v));
    }
  meta.exif.clear();
  for (size_t n = 0; n < meta.xmp.size(); ++n) {
    Common::ImageMetadata xmp;
    xmp.xmp = meta.xmp.substr(0, n);
    ExpectReadyForOutput(xmp, "XMP cut at " + std::to_string(n));
  }

  // Intact, the block loses the thumbnail and keeps the rest; a leading
  // "Exif\0\0" goes, and a block without a thumbnail stays as it is.
  const Bytes plain = samples::ExifBlock(false);
  const std::string head("Exif\0\0", 6);
  for (const std::string& in : {block, head + block, std::string(plain.begin(), plain.end())}) {
    meta.exif = in;
    EXPECT_EQ(Common::ReadyExifForOutput(meta.exif), nullptr);
    EXPECT_EQ(meta.exif, std::string(plain.begin(), plain.end()));
    EXPECT_EQ(Common::ShownOrientation(meta), 6);  // EXIF's, not XMP's
  }
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
      if (loaded) ExpectReadyForOutput(image.metadata, folder + "/" + name);
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
