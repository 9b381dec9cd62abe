// The text image format (".TXT", ".DAT"): "NHORZ w" and "NVERT h" lines,
// then the samples as decimal numbers, one line per row, one plane per
// channel. Reading keeps the first plane only (a gray image).
#pragma once

#include <cstdio>
#include <string>

#include "image/image.h"

namespace Common {

// The whole stream as bytes. A UTF-8 byte-order mark is dropped; text that
// starts with a UTF-16 mark (either order) is read as UTF-16 little-endian
// and converted to UTF-8.
bool ReadTextFile(FILE* stream, std::string& text);

// Parses a text image into a 1-channel image; false on any format error.
bool ReadTextImage(CImage& image, FILE* stream);

// Writes every channel as a plane. False when the stream reports an error.
bool WriteTextImage(const CImage& image, FILE* stream);

}  // namespace Common
