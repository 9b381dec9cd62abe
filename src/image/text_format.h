// The text image format (".TXT", ".DAT"): "NHORZ w" and "NVERT h" lines,
// then the samples as decimal numbers, one line per row, one plane per
// channel. Reading keeps the first plane only (a gray image).
#pragma once

#include <cstdio>
#include <string>

#include "image/image.h"
#include "image/load_control.h"

namespace Common {

// Parses a text image into a 1-channel image; false on any format error.
// The header is read first and the body as it comes, so that a file that
// does not start like a text image, or holds more than the rows its
// header announces can take, is refused without reading it whole. A
// UTF-8 byte-order mark is dropped; text that starts with a UTF-16 mark
// (either order) is read as UTF-16 little-endian.
bool ReadTextImage(CImage& image, FILE* stream, LoadControl& control);

// Writes every channel as a plane. False when the stream reports an error.
bool WriteTextImage(const CImage& image, FILE* stream);

}  // namespace Common
