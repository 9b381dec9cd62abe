// TIFF through libtiff. Read: the first page of a file of 8- or 16-bit
// unsigned samples, gray (black is zero), gray with alpha (read as RGBA),
// RGB or RGBA, in strips or tiles, with the samples of a pixel together,
// uncompressed or compressed with LZW, Deflate or PackBits. Other files (a
// JPEG-compressed one, planes stored apart, palettes, other depths) are
// refused with the reason in the control, and so are damaged ones, with the
// library's message. 16-bit samples are kept when the control asks for it,
// else their high byte is; a gray file marks the image's metadata gray.
// Write: the image's depth and channels; an image marked gray as gray (with
// its alpha). Metadata: the resolution (X/YResolution with
// ResolutionUnit), the ICC profile and XMP packet tags, and EXIF:
// read, the first IFD's descriptive tags (Make, Orientation, Copyright...)
// and its EXIF and GPS IFDs make the image's EXIF block (exif_ifd.h);
// written, the block's descriptive text tags and orientation go into the
// first IFD and its EXIF and GPS IFDs follow byte for byte. Library
// messages are kept for the refusal, never printed.
#pragma once

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>

#include "image/image.h"
#include "image/load_control.h"

namespace Common {

enum class TiffCompression { None, Lzw, Deflate, PackBits };

// "none", "lzw", "deflate" or "packbits"; nothing for another name.
std::optional<TiffCompression> ParseTiffCompression(const std::string& name);

// Decodes the first page straight into the image. The stream must be
// seekable. False for a file that is not a TIFF, one the reader does not
// take (control.refusal() says why), sizes the control does not admit,
// corrupt or truncated data, and a stop.
bool ReadTiffFile(FILE* stream, CImage& image, LoadControl& control);

// The most bytes of decoded strip the reader holds beside the picture.
constexpr uint64_t kTiffStripBufferBytes = uint64_t{1} << 20;

// The rows the reader decodes at once from strips of rowsPerStrip rows of
// rowBytes bytes: a whole strip when it fits kTiffStripBufferBytes, else
// one row (a picture stored as one strip is not held twice).
uint32_t TiffRowsPerRead(uint32_t rowsPerStrip, uint64_t rowBytes);

// Writes one page of the image's depth and channels (an alpha channel as
// unassociated alpha; gray, with its alpha, from the first sample of an
// image whose metadata says gray), with its resolution, its ICC profile, XMP packet and EXIF when it
// has them, in the byte order of its EXIF block (else the machine's); the
// orientation tag only where the EXIF block has one. The stream must be
// seekable. False on a library error.
bool WriteTiffFile(const CImage& image, FILE* stream,
                   TiffCompression compression = TiffCompression::Deflate);

// Writes one page of signed 32-bit samples, one channel, Deflate-compressed
// (a source map).
bool WriteTiffInt32(const int32_t* samples, int32_t width, int32_t height, FILE* stream);

}  // namespace Common
