// JPEG through libjpeg. RGB (YCbCr) files are read as RGB, grayscale files
// as one gray channel (as RGB when the caller prefers it; marked gray
// either way), and CMYK / YCCK files are converted to RGB (Adobe's inverted
// CMYK included). Library errors never end the process and library
// messages are never printed: an error (and the end of the data before the
// end marker) refuses the file with the library's message; a warning about
// corrupt data the library recovers from leaves the picture read, with the
// first warning handed to the caller. Metadata blocks the decoder does not
// need (EXIF, XMP, comments) that declare a wrong length are dropped before
// the library reads the headers; the EXIF, XMP and ICC blocks left are kept
// in the image's metadata, with the file's quantisation and JFIF density.
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
// larger than such a picture needs, data the library cannot decode, a file
// cut short, and a stop; the control says why.
bool ReadJpegFile(FILE* stream, CImage& image, LoadControl& control);

// Writes baseline JPEG at the given quality (1 to 100, or kKeepJpegQuality)
// with the library's default chroma subsampling: 1 channel as grayscale, 3
// as RGB, or as grayscale from the first sample when the metadata says
// gray. The metadata's resolution goes into the JFIF density, its EXIF
// (APP1 "Exif"), XMP (APP1) and ICC profile (APP2 chunks) behind the
// frame's headers; a block too large for its marker is left out. False for
// another channel count, a quality out of range or a library error.
bool WriteJpegFile(const uint8_t* pixels, int32_t width, int32_t height,
                   int32_t stride, int32_t channels, FILE* stream,
                   int quality = kDefaultJpegQuality,
                   const ImageMetadata* meta = nullptr);

// Writes an 8-bit image as WriteJpegFile does; an RGBA image without its
// alpha.
bool WriteJpeg(const CImage& image, FILE* stream,
               int quality = kDefaultJpegQuality);

}  // namespace Common
