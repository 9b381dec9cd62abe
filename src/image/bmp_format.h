// Windows and OS/2 bitmaps (".BMP"): read with 1 to 32 bits per pixel,
// palettes, RLE and bit-field masks; written with 24 bits per pixel, rows
// bottom-up.
#pragma once

#include <cstdio>

#include "image/image.h"
#include "image/load_control.h"

namespace Common {

// flipRows turns the stored bottom-up rows into top-down ones (Load passes
// true); a file with a negative height already stores its rows top-down and
// is read the other way. Taken as Pillow takes them: OS/2 1.x core headers
// (12 bytes, 3-byte palette entries), info headers of 40 bytes and longer
// (the 64-byte OS/2 2.x one among them); 1-, 4- and 8-bit palette pixels,
// also RLE8 and RLE4 (bmp_rle.h); 16-bit pixels, 5-5-5 or as masks of runs
// of bits place R, G and B (scaled to 8 bits as v * 255 / max; alpha is not
// read); 24-bit B, G, R and 32-bit B, G, R, A pixels, or whole bytes of
// them as masks say (a zero mask gives 0, no alpha mask no alpha; all
// masks zero the plain layout). The masks lie behind a 40-byte header
// (R, G, B), in a 52-byte one (R, G, B), in 56-byte and longer ones (R, G,
// B, A). The pixels are read from the data offset of the file header,
// behind the palette where it points right behind the headers. A gray
// palette gives a gray image (RGB under control.prefer_rgb) with
// metadata.gray set; others give RGB. Pixels per metre become the
// resolution (per centimetre). Other files are refused with the reason
// given to control: other depths and compressions, palettes of more than
// 256 colours, a data offset inside the headers, data that ends early.
// Sizes are admitted before the image is allocated.
bool ReadBmp(CImage& image, FILE* stream, bool flipRows, LoadControl& control);

// The stated resolution is written as pixels per metre (0 for unit None,
// 3780 where none is stated). False when any write fails.
bool WriteBmp(const CImage& image, FILE* stream);

}  // namespace Common
