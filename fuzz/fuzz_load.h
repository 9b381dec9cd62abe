// The body shared by the fuzz targets: the input is read as a file of one
// format through the same stream readers that Load uses, and every pixel of
// an image that loads is read back, so that a block smaller than its
// declared size shows up under AddressSanitizer; its metadata then goes
// through what a run does to it before an output. Inputs of odd length are
// read as the working image is (gray decoded as RGB), with the stop check
// polled as in a run; inputs whose length is a multiple of 3 keep 16-bit
// samples.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "image/exif_block.h"
#include "image/image.h"
#include "image/image_files.h"
#include "image/orientation.h"

inline int FuzzLoad(const uint8_t* data, size_t size,
                    Common::ImageFormat format) {
  if (size == 0) return 0;  // fmemopen refuses empty buffers
  FILE* stream = fmemopen(const_cast<uint8_t*>(data), size, "rb");
  if (stream == nullptr) return 0;
  Common::CImage image;
  Common::LoadControl control;
  control.prefer_rgb = size % 2 == 1;
  control.keep_wide = size % 3 == 0;
  control.stop = [] { return false; };
  if (Common::LoadImage(image, stream, format, &control) && !image.IsEmpty()) {
    unsigned sum = 0;
    uint8_t rgba[4];
    for (int32_t y = 0; y < image.height; ++y)
      for (int32_t x = 0; x < image.width; ++x) {
        image.GetRgba(x, y, rgba);
        sum += rgba[0] + rgba[1] + rgba[2] + rgba[3];
      }
    volatile unsigned sink = sum;
    (void)sink;
    Common::ReadyExifForOutput(image.metadata.exif);
    if (Common::ShownOrientation(image.metadata) != 1) Common::MarkShownAsStored(image.metadata);
  }
  std::fclose(stream);
  return 0;
}
