// The PNM family: PPM is read ("P3" ASCII or "P6" binary) and written
// ("P6"); PGM ("P5") and PBM ("P4") are written only.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

#include "image/image.h"

namespace Common {

// Reads the magic word, width, height and maximum value, one or several per
// line; lines holding a '#' are comments. The pixel data start on the line
// after the last of them. False at the end of the stream before all four
// are known, or for a magic word other than "P3" or "P6".
bool ReadPnmHeader(FILE* stream, int32_t& width, int32_t& height,
                   int32_t& maximum, bool& ascii);

// Reads a PPM into a 3-channel image. The maximum value is not used:
// samples are stored as they are (P3: their low 8 bits).
bool ReadPpm(CImage& image, FILE* stream);

enum class PnmKind { Ppm, Pgm, Pbm };

// P6: R, G, B per pixel; P5: the gray value; P4: one bit per pixel, 1
// (black) where the gray value is 0. False when the stream reports an error.
bool WritePnm(const CImage& image, FILE* stream, PnmKind kind);

}  // namespace Common
