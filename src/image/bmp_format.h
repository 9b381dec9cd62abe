// Windows bitmaps (".BMP"): read with 24 or 32 bits per pixel, uncompressed
// or with bit-field masks; written with 24 bits per pixel, rows bottom-up.
#pragma once

#include <cstdio>

#include "image/image.h"
#include "image/load_control.h"

namespace Common {

// flipRows turns the stored bottom-up rows into top-down ones (Load passes
// true); a file with a negative height already stores its rows top-down and
// is read the other way. The pixels are read from the data offset of the
// file header, which may leave a gap (a palette, say) behind the headers.
// 24-bit pixels are B, G, R, uncompressed 32-bit ones B, G, R, A. The masks
// of a 32-bit bit-field file (behind a 40-byte info header: R, G, B; in a
// 52-byte one: R, G, B; in 56-byte and longer ones: R, G, B, A) place the
// channels in the pixel, one whole byte each; a zero mask gives 0 for its
// colour, and a zero alpha mask an image without alpha. False for other
// depths and compressions, headers shorter than 40 bytes, masks that are
// not whole bytes, a data offset inside the headers and masks or past the
// end of the file, sizes over the limits the control admits and files
// shorter than their pixel rows. The rows are read one at a time into the
// image.
bool ReadBmp(CImage& image, FILE* stream, bool flipRows, LoadControl& control);

// False when any write fails.
bool WriteBmp(const CImage& image, FILE* stream);

}  // namespace Common
