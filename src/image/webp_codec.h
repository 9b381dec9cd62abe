// WebP through libwebp. Read: a still picture, lossy or lossless, as RGB,
// or RGBA when it has alpha, with its ICC profile, EXIF and XMP chunks;
// animations are refused with the reason in the control. Write: RGB or
// RGBA (a gray image as RGB, 16-bit samples by their high byte), lossless
// or lossy at a quality, with the image's metadata blocks. Library errors
// never end the process.
#pragma once

#include <cstdint>
#include <cstdio>

#include "image/image.h"
#include "image/load_control.h"

namespace Common {

// The largest WebP file read (the format's own limit is 4 GiB).
constexpr int64_t kMaxWebpFileBytes = int64_t{1} << 30;

// Decodes the file straight into the image and records in its metadata
// whether it was lossy. False for a file that is not a WebP, an animation,
// sizes the control does not admit, corrupt or truncated data, and a stop.
bool ReadWebpFile(FILE* stream, CImage& image, LoadControl& control);

// quality < 0: lossless; 1 to 100: lossy at that quality.
bool WriteWebpFile(const CImage& image, FILE* stream, int quality);

}  // namespace Common
