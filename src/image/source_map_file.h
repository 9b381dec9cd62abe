// The source map of a run as a file: for each pixel the flat index of the
// pixel it was copied from, -1 where nothing was copied. Written as a NumPy
// array (.npy, int32, shape (height, width)) or as a one-channel TIFF of
// signed 32-bit samples (.tif, .tiff).
#pragma once

#include <cstdint>
#include <string>

#include "image/image_files.h"

namespace Common {

// Whether the name's extension is one a source map is written in.
bool IsSourceMapName(const std::string& path);

// Writes the map (width * height words, rows top-down) as Save writes a
// picture: whole or not at all. False when the extension is not one of the
// above or a step fails (LastSaveError tells why).
bool SaveSourceMap(const int32_t* sources, int32_t width, int32_t height,
                   const std::string& path,
                   const SaveOptions& options = SaveOptions());

}  // namespace Common
