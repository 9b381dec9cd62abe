// Files of every format and variant the readers meet, made in memory with
// libpng and libjpeg or byte by byte, for the unit tests and the seed corpus
// of the fuzz targets. Pixels follow SamplePattern so that a test can tell
// where each one came from.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace samples {

using Bytes = std::vector<uint8_t>;

// Sample c of pixel (x, y).
inline uint8_t SamplePattern(int x, int y, int c) {
  return static_cast<uint8_t>(x * 37 + y * 11 + c * 83 + (x * y) % 7);
}

// BMP with the pattern as R, G, B(, A): bits 24 or 32, rows bottom-up
// unless topDown, an info header of infoBytes (40, 52, 56, 108 for V4, 124
// for V5) and compression 0 or 3. Compression 3 writes the masks (R, G, B
// behind a 40-byte header or in a 52-byte one; R, G, B, A in longer ones)
// and places each 32-bit channel in the byte of its mask (none for a zero
// mask); the bytes no channel uses hold 0xEE, like the row padding.
// Uncompressed 32-bit pixels are B, G, R, A.
using BmpMasks = std::array<uint32_t, 4>;
constexpr BmpMasks kBgraMasks = {0x00FF0000, 0x0000FF00, 0x000000FF,
                                 0xFF000000};
Bytes Bmp(int width, int height, int bits, bool topDown = false,
          int infoBytes = 40, int compression = 0,
          const BmpMasks& masks = kBgraMasks);

// The BMP with `gap` bytes (0x55) between its headers and its pixels, its
// data offset and file size moved on; `colours` goes into the header as the
// colours used, for a gap that is a palette.
Bytes BmpWithGap(Bytes bmp, size_t gap, uint32_t colours = 0);

// A BMP around stored data: an info header of infoBytes (12: the OS/2
// core header, whose palette entries are B, G, R; others B, G, R, 0), then
// `palette` as stored and `pixels`, the data offset behind the palette.
// `colours` goes into the header as the colours used (not in a core one).
Bytes BmpOf(int infoBytes, int width, int height, int bits, int compression,
            const Bytes& palette, const Bytes& pixels, uint32_t colours = 0);

// PPM, "P6" or "P3", with a comment line after the magic word when asked.
// With a maximum value other than 255 the samples are the pattern scaled
// to it (integer division), two big-endian bytes each in P6 above 255.
Bytes Ppm(int width, int height, bool ascii, bool comment = false,
          int maximum = 255);

// PNG through libpng: colour type 0, 2, 3, 4 or 6, bit depth 1 to 16.
// Gray samples follow channel 0 of the pattern (scaled to the depth),
// 16-bit samples hold v in their high byte and 255 - v in the low one.
Bytes Png(int width, int height, int colourType, int bitDepth = 8,
          bool interlaced = false);

// JPEG through libjpeg: 1 (gray), 3 (RGB) or 4 (CMYK) components.
Bytes Jpeg(int width, int height, int components, bool progressive = false,
           int quality = 90);

// An EXIF block (a little-endian TIFF structure): a first IFD with Make,
// a LONG orientation 6, XResolution and the EXIF IFD (ExposureTime); with
// a thumbnail, a second IFD locating an 8 x 8 JPEG whose comment is
// kThumbnailComment.
constexpr char kThumbnailComment[] = "thumbnail of the original";
Bytes ExifBlock(bool thumbnail);

// Jpeg(width, height, 3) with `exif` in an APP1 marker right behind its
// start marker that declares `length` bytes, or its true length when -1.
Bytes JpegWithExifBlock(int width, int height, const Bytes& exif, int length = -1);

// JpegWithExifBlock of ExifBlock(thumbnail).
inline Bytes JpegWithExif(int width, int height, bool thumbnail, int length = -1) {
  return JpegWithExifBlock(width, height, ExifBlock(thumbnail), length);
}

// A progressive gray JPEG of `scans` valid scans: the DC coefficients,
// then the 63 AC coefficients split into scans - 1 bands (2 to 64 scans).
Bytes JpegBands(int width, int height, int scans);

// The shape of a progressive JPEG bomb: the headers of a real progressive
// RGB file declaring width x height, then its first scan header `scans`
// times, each followed by `dataBytes` bytes of scan data, then the end.
Bytes JpegRepeatedScan(int width, int height, int scans, int dataBytes);

// Jpeg(width, height, 3) as libjpeg writes it with `quality` scaled tables
// (16-bit ones above 255 unless forceBaseline) and a restart marker after
// every `restartRows` rows of blocks (none for 0).
Bytes JpegWithSettings(int width, int height, int quality, bool forceBaseline,
                       int restartRows);

// Jpeg(width, height, 3) with entries 10 to 19 of its first quantisation
// table set to 0, which decoders take.
Bytes JpegZeroQuantisation(int width, int height);

// Jpeg(width, height, 3) with a restart marker after every row of blocks,
// the first of them damaged in a way decoders recover from: `junk` bytes
// of scan data before it, or (junk 0) RST3 in place of RST0.
Bytes JpegDamagedRestart(int width, int height, int junk);

// Offset of the first JPEG marker 0xFF `code` at or after `from`, or npos.
size_t FindMarker(const Bytes& jpeg, uint8_t code, size_t from = 0);

// The text format with the pattern's channel 0, separated by tabs.
Bytes Text(int width, int height);

// Helpers for files on disk.
void WriteFile(const std::string& path, const Bytes& bytes);
Bytes ReadFile(const std::string& path);

}  // namespace samples
