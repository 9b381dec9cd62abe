// Image files by extension: the extension of a path (never the content)
// picks the format, for reading and for writing.
#pragma once

#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "image/atomic_save.h"
#include "image/image.h"
#include "image/load_control.h"
#include "image/save_options.h"

namespace Common {

// The extension of a path with its '.', as written, or none: the path is
// scanned backwards from its end, the first '.' ends the scan, and a '/' or
// '\' before any '.', or a '.' that starts the path, means there is none.
std::optional<std::string> FindExtension(const std::string& path);

// The extension upper-cased (a-z only), as the format tables compare it.
std::optional<std::string> FindUpperExtension(const std::string& path);

enum class ImageFormat { None, Text, CArray, Bmp, Ppm, Pgm, Pbm, Png, Jpeg, Tiff, Webp };

// Whether a format keeps 16-bit samples (PNG, TIFF, PPM); the others are
// written from the high bytes.
bool HoldsWideSamples(ImageFormat format);

// The format an extension is read in / written in; None when the extension
// is missing or not accepted in that direction (".PGM", ".PBM", ".CPP" and
// ".CXX" are written only).
ImageFormat LoadFormatFor(const std::string& path);
ImageFormat SaveFormatFor(const std::string& path);

// The extensions (lower case, with the dot) that files are read from, or
// written to, in the order of the format table; `pictures_only` leaves out
// the numbers-in-text formats (.txt, .dat) and C source (.cpp, .cxx).
std::vector<std::string> FileExtensions(bool for_saving, bool pictures_only);

// Reads an open stream in the given format into an image, within what the
// control admits (a default control when none is given).
bool LoadImage(CImage& image, FILE* stream, ImageFormat format,
               LoadControl* control = nullptr);

// Reads a file in the format of its extension. Only regular files are
// read: a folder, a pipe or a device is refused without waiting on it.
bool LoadFile(CImage& image, const std::string& path, LoadControl& control);

// Writes an image to an open stream in the given format.
bool SaveImage(const CImage& image, FILE* stream, ImageFormat format,
               const SaveOptions& options = SaveOptions());

// Writes an image to a file in the format of its extension. The picture
// goes into a temporary file in the folder of the final file (the target
// of a symbolic link, when the path names one), which is flushed to disk
// and then renamed over it: an existing file is replaced whole or left as
// it was, never truncated, whatever stops the save (a full disk, a file
// size limit, a signal). On failure only the temporary file is removed. A
// device or a pipe that the path names is written directly (with
// follow_links false: left alone, EEXIST). False for an empty image, an
// extension that is not written, and any failed step.
// The replaced file keeps its owner, group and mode as far as the caller
// may; a new file gets the mode the umask leaves. Every temporary file is
// named ".NAME.PID-N.tmp" beside NAME (NAME shortened to a prefix, "~" and
// a digest where the whole would pass NAME_MAX) and holds an fcntl write
// lock while it is open: a file of that form that can be locked is a
// leftover. While it exists, the ending signals that are at their default
// action remove it before the process ends.
bool Save(const CImage& image, const std::string& path,
          const SaveOptions& options = SaveOptions());

// Why a picture could not be saved under `path`, checked before any work:
// an extension that is not written, then CheckSaveTarget.
// follow_links: as SaveOptions::follow_links.
OutputProblem CheckOutputPath(const std::string& path, bool follow_links = true);

}  // namespace Common
