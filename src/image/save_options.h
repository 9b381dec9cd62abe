// How a picture is written: the encoders' settings, and how the file is
// put in place (see Save and WriteAtomically).
#pragma once

#include "image/jpeg_codec.h"
#include "image/tiff_codec.h"

namespace Common {

struct SaveOptions {
  int quality = kDefaultJpegQuality;  // JPEG and lossy WebP, 1 to 100
  // WebP: true writes lossy at `quality`; false writes lossless unless the
  // image was decoded from lossy data.
  bool quality_given = false;
  // JPEG: the quantisation the image was read with, when it came from a
  // JPEG (see kKeepJpegQuality), instead of `quality`.
  bool keep_jpeg_quality = false;
  TiffCompression tiff_compression = TiffCompression::Deflate;
  // False: a symbolic link at the path is replaced by the file, never
  // followed.
  bool follow_links = true;
  // False: the file is put in place only when nothing is there; a save that
  // finds a file there (before or at its end) fails with EEXIST.
  bool replace = true;
};

}  // namespace Common
