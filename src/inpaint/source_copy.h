// Copying more than the search sees. The search compares 8-bit RGB; a
// picture with more (16-bit samples, an alpha channel, extra channels) is
// searched on its 8-bit RGB rendition with a source map kept, and every
// sample of each filled pixel is then copied from its source here, in one
// place, after the run.
#pragma once

#include <cstddef>
#include <cstdint>

namespace pw {

// Turns a source map (see InpaintOptions::sources) into one whose entries
// name pixels that were not filled: a filled pixel copied from a pixel
// filled before it gets that pixel's own source, and so on back to a
// pixel the run never changed. The value each filled pixel ends with is
// the value of that pixel, so the copy below needs no fill order. -1
// entries stay. Linear time (paths are shortened as they are walked).
void ResolveSources(int32_t* sources, int64_t pixels);

// Copies pixel_bytes bytes of every pixel whose resolved source is set from
// that source. Rows are `stride` bytes apart; width * height pixels.
void CopyFromResolvedSources(uint8_t* image, int32_t width, int32_t height,
                             size_t stride, size_t pixel_bytes,
                             const int32_t* resolved);

}  // namespace pw
