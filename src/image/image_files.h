// Image files by extension: the extension of a path (never the content)
// picks the format, for reading and for writing.
#pragma once

#include <cstdio>
#include <optional>
#include <string>

#include "image/image.h"

namespace Common {

// The extension of a path with its '.', as written, or none: the path is
// scanned backwards from its end, the first '.' ends the scan, and a '/' or
// '\' before any '.', or a '.' that starts the path, means there is none.
std::optional<std::string> FindExtension(const std::string& path);

// The extension upper-cased (a-z only), as the format tables compare it.
std::optional<std::string> FindUpperExtension(const std::string& path);

enum class ImageFormat { None, Text, CArray, Bmp, Ppm, Pgm, Pbm, Png, Jpeg };

// The format an extension is read in / written in; None when the extension
// is missing or not accepted in that direction (".JPEG" is read only,
// ".PGM", ".PBM", ".CPP" and ".CXX" are written only).
ImageFormat LoadFormatFor(const std::string& path);
ImageFormat SaveFormatFor(const std::string& path);

// Reads an open stream in the given format into an image.
bool LoadImage(CImage& image, FILE* stream, ImageFormat format);

// Writes an image to an open stream in the given format.
bool SaveImage(const CImage& image, FILE* stream, ImageFormat format);

// Writes an image to a file in the format of its extension. False for an
// empty image, an extension that is not written, a file that cannot be
// created, and any failed write; a file that was only partly written is
// removed.
bool Save(const CImage& image, const std::string& path);

}  // namespace Common
