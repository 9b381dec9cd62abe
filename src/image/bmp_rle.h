// The run-length encodings of BMP palette pictures (RLE8, RLE4), decoded as
// Pillow decodes them.
#pragma once

#include <cstdint>
#include <cstdio>

#include "image/image.h"
#include "image/load_control.h"

namespace Common {

// Decodes the RLE data at the stream's position, `fileOffset` bytes into
// the file, into `image` (created at the picture's size): the palette
// index of each pixel goes into the first sample of its pixel. The pixels
// are one stream, row after row as stored (the last image row first when
// bottomUp). A run never passes the end of its row, an absolute run may
// go on into the next rows, a delta or an end of line leaves index 0 in
// the pixels it skips, and an absolute run ends on an even offset from the
// start of the file. An end of bitmap before the last pixel leaves index 0
// in the rest. False, with the reason given to control, when the data ends
// before the picture does; false when control says stop.
bool DecodeBmpRle(FILE* stream, int64_t fileOffset, bool rle4, bool bottomUp,
                  CImage& image, LoadControl& control);

}  // namespace Common
