// Writes the seed corpus of the fuzz targets: small valid files of every
// variant the readers accept or refuse, into <folder>/<format>/seed-*.
// Run by hand (build/cpp/patchwell_make_corpus tests/corpus); the files are kept in
// tests/corpus, next to every input that ever made a reader fail.
#include <cstdio>
#include <string>
#include <sys/stat.h>

#include "sample_files.h"

using samples::Bytes;

int main(int argc, char** argv) {
  const std::string root = argc > 1 ? argv[1] : "tests/corpus";
  auto put = [&](const std::string& format, const std::string& name,
                 const Bytes& bytes) {
    const std::string dir = root + "/" + format;
    mkdir(root.c_str(), 0755);
    mkdir(dir.c_str(), 0755);
    samples::WriteFile(dir + "/seed-" + name, bytes);
  };
  put("text", "5x3.txt", samples::Text(5, 3));
  static const char utf16[] =
      "\xFF\xFEN\0H\0O\0R\0Z\0 \0001\0\r\0\n\0N\0V\0E\0R\0T\0 \0001\0"
      "\r\0\n\0007\0\t\0";
  put("text", "utf16.txt", Bytes(utf16, utf16 + sizeof utf16 - 1));
  const std::string separators = "NHORZ 4\nNVERT 2\n1,2;3.4\n(5) [6] {7} \"8\"\n";
  put("text", "separators.txt", Bytes(separators.begin(), separators.end()));
  const std::string badHeader = "NHORZ\nNVERT 2\n1 2\n3 4\n";
  put("text", "bad-header-refused.txt", Bytes(badHeader.begin(), badHeader.end()));
  const std::string longRow = "NHORZ 2\nNVERT 1\n1" + std::string(2000, ' ') + "2\n";
  put("text", "long-row-refused.txt", Bytes(longRow.begin(), longRow.end()));

  put("bmp", "24bit-5x3.bmp", samples::Bmp(5, 3, 24));
  put("bmp", "32bit-4x2.bmp", samples::Bmp(4, 2, 32));
  put("bmp", "topdown-3x3.bmp", samples::Bmp(3, 3, 24, true));
  put("bmp", "v5-bitfields-3x2.bmp", samples::Bmp(3, 2, 32, false, 124, 3));
  put("bmp", "bitfields-2x2.bmp", samples::Bmp(2, 2, 32, false, 40, 3));
  put("bmp", "24bit-palette-3x2.bmp",
      samples::BmpWithGap(samples::Bmp(3, 2, 24), 16 * 4, 16));
  put("bmp", "gap-16-3x2.bmp", samples::BmpWithGap(samples::Bmp(3, 2, 24), 16));
  const samples::BmpMasks rgba = {0xFF, 0xFF00, 0xFF0000, 0xFF000000};
  const samples::BmpMasks xbgr = {0xFF000000, 0xFF0000, 0xFF00, 0};
  put("bmp", "rgba-masks-3x2.bmp", samples::Bmp(3, 2, 32, false, 124, 3, rgba));
  put("bmp", "xbgr-masks-3x2.bmp", samples::Bmp(3, 2, 32, false, 108, 3, xbgr));
  put("bmp", "v2-header-3x2.bmp", samples::Bmp(3, 2, 32, false, 52, 3, xbgr));
  put("bmp", "v3-header-3x2.bmp", samples::Bmp(3, 2, 32, false, 56, 3, rgba));
  put("bmp", "10bit-masks-refused.bmp",
      samples::Bmp(2, 2, 32, false, 124, 3, {0x3FF00000, 0xFFC00, 0x3FF, 0}));
  Bytes inside = samples::Bmp(2, 2, 24);
  inside[10] = 50;  // pixels said to start inside the info header
  put("bmp", "offset-in-headers-refused.bmp", inside);
  // Palette pictures (entries B, G, R, 0), RLE, 16-bit pixels, OS/2 headers.
  Bytes palette;
  for (int i = 0; i < 16; ++i)
    palette.insert(palette.end(), {uint8_t(i * 16), uint8_t(255 - i * 9), uint8_t(i * 5), 0});
  const Bytes palette2(palette.begin(), palette.begin() + 8);
  put("bmp", "pal1-9x2.bmp",
      samples::BmpOf(40, 9, 2, 1, 0, palette2, {0xA5, 0x80, 0, 0, 0x5A, 0, 0, 0}));
  const Bytes rows4 = {0x01, 0x23, 0xF0, 0, 0x32, 0x10, 0xE0, 0};
  put("bmp", "pal4-5x2.bmp", samples::BmpOf(40, 5, 2, 4, 0, palette, rows4));
  put("bmp", "pal8-gray-levels-4x2.bmp",
      samples::BmpOf(40, 4, 2, 8, 0, {0, 0, 0, 0, 1, 1, 1, 0, 2, 2, 2, 0},
                     {0, 1, 2, 200, 2, 1, 0, 255}, 3));
  // Runs, an absolute run, an end of line, a delta and an end of bitmap.
  put("bmp", "rle8-6x4.bmp",
      samples::BmpOf(40, 6, 4, 8, 1, palette,
                     {3, 1, 0, 3, 1, 2, 1, 0, 0, 0, 0, 2, 2, 1, 2, 2, 0, 0, 0, 1}, 16));
  put("bmp", "rle4-6x2.bmp",
      samples::BmpOf(40, 6, 2, 4, 2, palette,
                     {4, 0x12, 0, 3, 0x31, 0x20, 0, 0, 0, 1}));
  const Bytes rows16 = {0x1F, 0x00, 0xE0, 0x03, 0x00, 0x7C, 0, 0,
                        0xFF, 0x7F, 0x00, 0x00, 0x10, 0x42, 0, 0};
  put("bmp", "rgb555-3x2.bmp", samples::BmpOf(40, 3, 2, 16, 0, {}, rows16));
  put("bmp", "rgb565-masks-3x2.bmp",
      samples::BmpOf(40, 3, 2, 16, 3, {0, 0xF8, 0, 0, 0xE0, 0x07, 0, 0, 0x1F, 0, 0, 0},
                     rows16));
  Bytes palette3;
  for (size_t i = 0; i < palette.size(); i += 4)
    palette3.insert(palette3.end(), palette.begin() + i, palette.begin() + i + 3);
  put("bmp", "os2-core-pal4-5x2.bmp", samples::BmpOf(12, 5, 2, 4, 0, palette3, rows4));
  put("bmp", "os2-v2-pal4-5x2.bmp", samples::BmpOf(64, 5, 2, 4, 0, palette, rows4));
  put("bmp", "rle8-truncated-refused.bmp",
      samples::BmpOf(40, 4, 2, 8, 1, palette, {2, 1}, 16));
  Bytes jpeg = samples::Bmp(2, 2, 24);
  jpeg[30] = 4;  // JPEG compression
  put("bmp", "jpeg-compression-refused.bmp", jpeg);

  put("ppm", "p6-4x2.ppm", samples::Ppm(4, 2, false));
  put("ppm", "p3-3x2-comment.ppm", samples::Ppm(3, 2, true, true));
  put("ppm", "p6-16bit-5x3.ppm", samples::Ppm(5, 3, false, false, 65535));
  put("ppm", "p3-16bit-3x2.ppm", samples::Ppm(3, 2, true, false, 65535));
  put("ppm", "p6-maxval-1023-4x2.ppm", samples::Ppm(4, 2, false, false, 1023));
  put("ppm", "maxval-0-refused.ppm", samples::Ppm(2, 2, false, false, 0));
  put("ppm", "maxval-65536-refused.ppm", samples::Ppm(2, 2, false, false, 65536));

  put("png", "rgb-6x4.png", samples::Png(6, 4, 2));
  put("png", "rgba-5x3.png", samples::Png(5, 3, 6));
  put("png", "gray-7x3.png", samples::Png(7, 3, 0));
  put("png", "gray1-9x2.png", samples::Png(9, 2, 0, 1));
  put("png", "gray4-5x2.png", samples::Png(5, 2, 0, 4));
  put("png", "rgb16-3x3.png", samples::Png(3, 3, 2, 16));
  put("png", "interlaced-9x9.png", samples::Png(9, 9, 2, 8, true));
  put("png", "palette-4x4.png", samples::Png(4, 4, 3, 8));
  put("png", "gray-alpha-4x3.png", samples::Png(4, 3, 4, 8));
  const Bytes png = samples::Png(6, 4, 2);
  put("png", "no-end-chunk-6x4.png", Bytes(png.begin(), png.end() - 12));

  put("jpeg", "rgb-16x8.jpg", samples::Jpeg(16, 8, 3));
  put("jpeg", "progressive-9x7.jpg", samples::Jpeg(9, 7, 3, true));
  put("jpeg", "gray-8x8.jpg", samples::Jpeg(8, 8, 1));
  put("jpeg", "cmyk-8x8.jpg", samples::Jpeg(8, 8, 4));
  put("jpeg", "bands-33-scans-16x8.jpg", samples::JpegBands(16, 8, 33));
  put("jpeg", "bands-64-scans-refused.jpg", samples::JpegBands(16, 8, 64));
  put("jpeg", "empty-scans-64x64.jpg", samples::JpegRepeatedScan(64, 64, 2, 0));
  put("jpeg", "one-byte-scans-refused.jpg", samples::JpegRepeatedScan(64, 64, 60, 1));
  put("jpeg", "exif-thumbnail-16x8.jpg", samples::JpegWithExif(16, 8, true));
  put("jpeg", "exif-length-0-16x8.jpg", samples::JpegWithExif(16, 8, false, 0));
  put("jpeg", "exif-too-short-16x8.jpg", samples::JpegWithExif(16, 8, true, 20));
  put("jpeg", "exif-too-long-16x8.jpg", samples::JpegWithExif(16, 8, false, 200));
  put("jpeg", "zero-quantisation-16x16.jpg", samples::JpegZeroQuantisation(16, 16));
  put("jpeg", "wide-tables-16x16.jpg", samples::JpegWithSettings(16, 16, 1, false, 0));
  put("jpeg", "restart-junk-32x48.jpg", samples::JpegDamagedRestart(32, 48, 40));
  put("jpeg", "restart-wrong-32x48.jpg", samples::JpegDamagedRestart(32, 48, 0));
  // EXIF blocks that other readers cannot parse, and one with a LONG
  // orientation and a thumbnail.
  put("jpeg", "exif-long-orientation-16x8.jpg",
      samples::JpegWithExifBlock(16, 8, samples::ExifBlock(true)));
  Bytes exif = samples::ExifBlock(false);
  exif[0] = 'X';
  put("jpeg", "exif-no-tiff-header-16x8.jpg", samples::JpegWithExifBlock(16, 8, exif));
  exif = samples::ExifBlock(false);
  exif[5] = 0x7F;  // the first IFD far past the end
  put("jpeg", "exif-ifd-outside-16x8.jpg", samples::JpegWithExifBlock(16, 8, exif));
  exif = samples::ExifBlock(false);
  exif.resize(40);
  put("jpeg", "exif-ifd-cut-short-16x8.jpg", samples::JpegWithExifBlock(16, 8, exif));
  std::printf("seed corpus written to %s\n", root.c_str());
  return 0;
}
