// Image files by extension: the extension of a path (never the content)
// picks the format, for reading and for writing.
#pragma once

#include <cstdio>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "image/image.h"
#include "image/jpeg_codec.h"
#include "image/load_control.h"
#include "image/tiff_codec.h"

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

// Writes a file as Save does (whole or not at all), its bytes from
// `write`; false when `write` does or a step of the save fails.
bool WriteAtomically(const std::string& path, const SaveOptions& options,
                     const std::function<bool(FILE*)>& write);

// Copies the bytes of a regular file to `path` as Save writes a picture.
bool CopyFileAtomically(const std::string& source, const std::string& path,
                        const SaveOptions& options = SaveOptions());

// The errno of this thread's last failed Save, CopyFileAtomically or
// CheckOutputPath: 0 when the failure had none (an empty picture, an
// extension that is not written, an encoder that gave up).
int LastSaveError();

// Why a picture could not be saved under a name, checked before any work.
enum class OutputProblem {
  None,
  UnknownExtension,  // no extension that is written
  NoFolder,          // the folder does not exist (or is not a folder)
  NotWritable,       // the folder (or the device) cannot be written
  IsFolder,          // the name is a folder
};
// follow_links: as SaveOptions::follow_links.
OutputProblem CheckOutputPath(const std::string& path, bool follow_links = true);

// The file a save to `path` replaces: the path with any symbolic links at
// its end followed (dangling ones too).
std::string ResolveSaveTarget(const std::string& path);

// Removes the temporary file of a save in progress, if any. Safe to call
// from a signal handler, for a process that is about to end.
void RemovePendingSaveFile() noexcept;

}  // namespace Common
