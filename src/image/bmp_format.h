// Windows bitmaps (".BMP"): read with 24 or 32 bits per pixel, uncompressed
// or with bit-field masks (which are ignored: pixels are B, G, R(, A));
// written with 24 bits per pixel, rows bottom-up.
#pragma once

#include <cstdio>

#include "image/image.h"
#include "image/load_control.h"

namespace Common {

// flipRows turns the stored bottom-up rows into top-down ones (Load passes
// true); a file with a negative height already stores its rows top-down and
// is read the other way. Info headers longer than 40 bytes (V4, V5) take
// their pixels from the data offset of the file header. False for other
// depths, compressions, headers shorter than 40 bytes, sizes over the
// limits the control admits and files shorter than their pixel rows. The
// rows are read straight into the image.
bool ReadBmp(CImage& image, FILE* stream, bool flipRows, LoadControl& control);

// False when any write fails.
bool WriteBmp(const CImage& image, FILE* stream);

}  // namespace Common
