// PNG through libpng. Every colour type is read as libpng converts it:
// gray stays one channel (three when the caller prefers RGB), RGB three,
// and anything with transparency (an alpha channel or a tRNS chunk) RGBA;
// palettes are expanded, 1-, 2- and 4-bit gray is scaled up, and 16-bit
// samples are kept when the control asks for it, else keep their high
// byte. A gray file (with or without alpha) marks the image's metadata
// gray, and pHYs gives its resolution. Library errors and warnings are
// never printed; an error becomes the control's refusal.
#pragma once

#include <cstdint>
#include <cstdio>

#include "image/image.h"
#include "image/load_control.h"

namespace Common {

// Decodes straight into the image (R, G, B(, A) or gray). False for another
// signature, sizes the control does not admit, a stop, and every error the
// library raises (corrupt or truncated data, checksum errors), whose
// message the control keeps as the refusal. A file that ends after its
// pixels, without its end chunk, is read.
bool ReadPngFile(FILE* stream, CImage& image, LoadControl& control);

// Writes 8- or 16-bit gray, RGB or RGBA (1, 3 or 4 channels; 16-bit
// samples in the machine's order; with metadata that says gray, 3 or 4
// channels as gray or gray with alpha from the first sample), not
// interlaced, zlib level 1, with the metadata's resolution (pHYs), EXIF
// (eXIf), ICC profile (iCCP; left out when libpng finds it unsound) and XMP
// (iTXt "XML:com.adobe.xmp"). False for another channel
// count or depth, or a library error.
bool WritePngFile(const uint8_t* pixels, int32_t width, int32_t height,
                  int32_t stride, int32_t channels, FILE* stream,
                  int32_t depth = 8, const ImageMetadata* meta = nullptr);

}  // namespace Common
