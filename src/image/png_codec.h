// PNG through libpng. Gray (colour type 0), RGB (2) and RGBA (6) images of
// any bit depth are read as 8-bit samples (1-, 2- and 4-bit gray is scaled
// up, 16-bit samples keep their high byte); palette and gray-with-alpha
// images are refused. Library errors and warnings are never printed.
#pragma once

#include <cstdint>
#include <cstdio>

#include "image/decoded_block.h"

namespace Common {

// Decodes into a block of B, G, R(, A) or gray samples. False for another
// signature, a refused colour type, sizes over the limits, and every error
// the library raises (corrupt or truncated data, checksum errors).
bool ReadPngFile(FILE* stream, DecodedBlock& block);

// Writes 8-bit gray, RGB or RGBA (1, 3 or 4 channels), not interlaced,
// zlib level 1. False for another channel count or a library error.
bool WritePngFile(const uint8_t* pixels, int32_t width, int32_t height,
                  int32_t stride, int32_t channels, FILE* stream);

}  // namespace Common
