// JPEG through libjpeg. Only images that decode to 3 components (RGB) are
// read. Library errors never end the process: they come back to the
// reader or writer, which releases everything and gives false. Library
// messages are never printed.
#pragma once

#include <cstdint>
#include <cstdio>

#include "image/decoded_block.h"
#include "image/image.h"

namespace Common {

// Decodes into a block of R, G, B samples. False for a file that is not a
// JPEG, decodes to another number of components, is cut short, exceeds the
// size limits, or makes the library raise an error.
bool ReadJpegFile(FILE* stream, DecodedBlock& block);

// Writes baseline JPEG at quality 80 with the library's default chroma
// subsampling: 1 channel as grayscale, 3 as RGB. False on a library error.
bool WriteJpegFile(const uint8_t* pixels, int32_t width, int32_t height,
                   int32_t stride, int32_t channels, FILE* stream);

// Writes an image; an RGBA image is written from an RGB copy (alpha
// dropped).
bool WriteJpeg(const CImage& image, FILE* stream);

}  // namespace Common
