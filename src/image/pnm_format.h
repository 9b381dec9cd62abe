// The PNM family: PPM is read ("P3" ASCII or "P6" binary) and written
// ("P6"); PGM ("P5") and PBM ("P4") are written only.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

#include "image/image.h"
#include "image/load_control.h"

namespace Common {

// Reads the magic word, width, height and maximum value, one or several per
// line; lines holding a '#' are comments. The pixel data start on the line
// after the last of them. False at the end of the stream before all four
// are known, or for a magic word other than "P3" or "P6".
bool ReadPnmHeader(FILE* stream, int32_t& width, int32_t& height,
                   int32_t& maximum, bool& ascii);

// The largest maximum value a PNM file may declare.
constexpr int32_t kMaxPnmValue = 65535;

// Reads a PPM into a 3-channel image. A maximum value up to 255 leaves the
// samples as they are (P3: their low 8 bits); above it the samples (two
// big-endian bytes in P6) are scaled to 0..255, 16-bit values keeping
// their high byte. False for a maximum value of 0 or above 65535, sizes
// the control does not admit, too few pixels and a stop.
bool ReadPpm(CImage& image, FILE* stream, LoadControl& control);

enum class PnmKind { Ppm, Pgm, Pbm };

// P6: R, G, B per pixel; P5: the gray value; P4: one bit per pixel, 1
// (black) where the gray value is 0. False when the stream reports an error.
bool WritePnm(const CImage& image, FILE* stream, PnmKind kind);

}  // namespace Common
