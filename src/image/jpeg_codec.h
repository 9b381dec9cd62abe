// JPEG through libjpeg. RGB (YCbCr) files are read as RGB, grayscale files
// as one gray channel (as RGB when the caller prefers it), and CMYK / YCCK
// files are converted to RGB (Adobe's inverted CMYK included). Library
// errors never end the process and library messages are never printed:
// errors, and the warnings that mean lost or corrupt picture data (empty
// or truncated scans, bad codes, a broken progression), come back to the
// reader or writer, which releases everything and gives false. Metadata
// blocks the decoder does not need (EXIF, XMP, comments) that declare a
// wrong length are dropped before the library reads the headers; the EXIF,
// XMP and ICC blocks left are kept in the image's metadata, with the
// file's quantisation.
#pragma once

#include <cstdint>
#include <cstdio>

#include "image/image.h"
#include "image/load_control.h"

namespace Common {

// The quality files are written with unless the caller asks for another.
constexpr int kDefaultJpegQuality = 80;
// Asks the writer for the quantisation tables and chroma subsampling the
// image was read with (ImageMetadata::jpeg); without them, or when its
// components do not map onto the output's, kDefaultJpegQuality.
constexpr int kKeepJpegQuality = -1;

// Progressive files can ask for any number of scans, each a pass over the
// whole picture; encoders write about ten (at most 18 for CMYK).
constexpr int kMaxJpegScans = 50;

// Decodes straight into the image. False for a file that is not a JPEG, a
// colour space other than gray, RGB, YCbCr, CMYK or YCCK, sizes the control
// does not admit, more than kMaxJpegScans scans, a library working set
// larger than such a picture needs, corrupt data, a file cut short, and a
// stop.
bool ReadJpegFile(FILE* stream, CImage& image, LoadControl& control);

// Writes baseline JPEG at the given quality (1 to 100, or kKeepJpegQuality)
// with the library's default chroma subsampling: 1 channel as grayscale, 3
// as RGB. The metadata's EXIF (APP1 "Exif"), XMP (APP1) and ICC profile
// (APP2 chunks) go behind the frame's headers; a block too large for its
// marker is left out. False for another channel count, a quality out of
// range or a library error.
bool WriteJpegFile(const uint8_t* pixels, int32_t width, int32_t height,
                   int32_t stride, int32_t channels, FILE* stream,
                   int quality = kDefaultJpegQuality,
                   const ImageMetadata* meta = nullptr);

// Writes an image; an RGBA image is written from an RGB copy (alpha
// dropped).
bool WriteJpeg(const CImage& image, FILE* stream,
               int quality = kDefaultJpegQuality);

}  // namespace Common
