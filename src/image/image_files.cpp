// Image files by extension: the one table of extensions and the readers
// and writers it picks. Saving whole or not at all is image/atomic_save.cpp.
#include "image/image_files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "image/bmp_format.h"
#include "image/c_array_format.h"
#include "image/jpeg_codec.h"
#include "image/png_codec.h"
#include "image/pnm_format.h"
#include "image/stream_io.h"
#include "image/text_format.h"
#include "image/tiff_codec.h"
#include "image/webp_codec.h"

namespace Common {

std::optional<std::string> FindExtension(const std::string& path) {
  for (size_t i = path.size(); i-- > 0;) {
    const char c = path[i];
    if (c == '/' || c == '\\') return std::nullopt;
    if (c != '.') continue;
    if (i == 0) return std::nullopt;
    return path.substr(i);
  }
  return std::nullopt;
}

std::optional<std::string> FindUpperExtension(const std::string& path) {
  std::optional<std::string> extension = FindExtension(path);
  if (extension)
    for (char& e : *extension)
      if (e >= 'a' && e <= 'z') e = static_cast<char>(e - 'a' + 'A');
  return extension;
}

namespace {

// The one table of file extensions: what each is read as and written as
// (None: not in that direction), and whether it holds a picture rather
// than numbers in text or C source.
struct FormatEntry {
  const char* extension;
  ImageFormat load;
  ImageFormat save;
  bool picture;
};
constexpr FormatEntry kFormats[] = {
    {".png", ImageFormat::Png, ImageFormat::Png, true},
    {".jpg", ImageFormat::Jpeg, ImageFormat::Jpeg, true},
    {".jpeg", ImageFormat::Jpeg, ImageFormat::Jpeg, true},
    {".tif", ImageFormat::Tiff, ImageFormat::Tiff, true},
    {".tiff", ImageFormat::Tiff, ImageFormat::Tiff, true},
    {".webp", ImageFormat::Webp, ImageFormat::Webp, true},
    {".bmp", ImageFormat::Bmp, ImageFormat::Bmp, true},
    {".ppm", ImageFormat::Ppm, ImageFormat::Ppm, true},
    {".pgm", ImageFormat::None, ImageFormat::Pgm, true},
    {".pbm", ImageFormat::None, ImageFormat::Pbm, true},
    {".txt", ImageFormat::Text, ImageFormat::Text, false},
    {".dat", ImageFormat::Text, ImageFormat::Text, false},
    {".cpp", ImageFormat::None, ImageFormat::CArray, false},
    {".cxx", ImageFormat::None, ImageFormat::CArray, false},
};

const FormatEntry* FindFormat(const std::string& path) {
  std::optional<std::string> ext = FindExtension(path);
  if (!ext) return nullptr;
  for (char& e : *ext)
    if (e >= 'A' && e <= 'Z') e = static_cast<char>(e - 'A' + 'a');
  for (const FormatEntry& entry : kFormats)
    if (*ext == entry.extension) return &entry;
  return nullptr;
}

}  // namespace

ImageFormat LoadFormatFor(const std::string& path) {
  const FormatEntry* entry = FindFormat(path);
  return entry != nullptr ? entry->load : ImageFormat::None;
}

bool HoldsWideSamples(ImageFormat format) {
  return format == ImageFormat::Png || format == ImageFormat::Tiff ||
         format == ImageFormat::Ppm;
}

ImageFormat SaveFormatFor(const std::string& path) {
  const FormatEntry* entry = FindFormat(path);
  return entry != nullptr ? entry->save : ImageFormat::None;
}

std::vector<std::string> FileExtensions(bool for_saving, bool pictures_only) {
  std::vector<std::string> found;
  for (const FormatEntry& entry : kFormats)
    if ((for_saving ? entry.save : entry.load) != ImageFormat::None &&
        (entry.picture || !pictures_only))
      found.emplace_back(entry.extension);
  return found;
}

bool LoadImage(CImage& image, FILE* stream, ImageFormat format,
               LoadControl* control) {
  LoadControl fallback;
  LoadControl& c = control != nullptr ? *control : fallback;
  image.metadata.Clear();
  switch (format) {
    case ImageFormat::Text: return ReadTextImage(image, stream, c);
    case ImageFormat::Bmp: return ReadBmp(image, stream, true, c);
    case ImageFormat::Ppm: return ReadPpm(image, stream, c);
    case ImageFormat::Png: return ReadPngFile(stream, image, c);
    case ImageFormat::Jpeg: return ReadJpegFile(stream, image, c);
    case ImageFormat::Tiff: return ReadTiffFile(stream, image, c);
    case ImageFormat::Webp: return ReadWebpFile(stream, image, c);
    default: return false;
  }
}

bool SaveImage(const CImage& image, FILE* stream, ImageFormat format,
               const SaveOptions& options) {
  if (image.depth == 16 && !HoldsWideSamples(format)) {
    CImage narrow;
    if (!ConvertToDepth8(image, narrow)) return false;
    narrow.metadata = image.metadata;
    return SaveImage(narrow, stream, format, options);
  }
  switch (format) {
    case ImageFormat::Text: return WriteTextImage(image, stream);
    case ImageFormat::CArray: return WriteCArray(image, stream);
    case ImageFormat::Bmp: return WriteBmp(image, stream);
    case ImageFormat::Ppm: return WritePnm(image, stream, PnmKind::Ppm);
    case ImageFormat::Pgm: return WritePnm(image, stream, PnmKind::Pgm);
    case ImageFormat::Pbm: return WritePnm(image, stream, PnmKind::Pbm);
    case ImageFormat::Png:
      return WritePngFile(image.pixels, image.width, image.height,
                          image.stride, image.channels, stream, image.depth,
                          &image.metadata);
    case ImageFormat::Jpeg:
      return WriteJpeg(image, stream,
                       options.keep_jpeg_quality ? kKeepJpegQuality : options.quality);
    case ImageFormat::Tiff: return WriteTiffFile(image, stream, options.tiff_compression);
    case ImageFormat::Webp:
      return WriteWebpFile(image, stream,
                           options.quality_given || image.metadata.lossy ? options.quality : -1);
    default: return false;
  }
}

namespace {

bool RefusedBySystem(LoadControl& control, int error) {
  control.Refuse(std::strerror(error != 0 ? error : EIO));
  return false;
}

}  // namespace

bool LoadFile(CImage& image, const std::string& path, LoadControl& control) {
  const ImageFormat fileFormat = LoadFormatFor(path);
  if (fileFormat == ImageFormat::None || !UsablePath(path)) return false;
  // Opened without blocking, so that a pipe without a writer cannot hold
  // the open; only regular files go on: a folder, a pipe or a device has
  // no size to check the declared sizes against, and may never end.
  // A file that cannot be opened or is no regular file is refused with
  // the system's reason.
  const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return RefusedBySystem(control, errno);
  struct stat info;
  const int flags = fcntl(fd, F_GETFL);
  if (fstat(fd, &info) != 0 || flags < 0 ||
      fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
    const int error = errno;
    close(fd);
    return RefusedBySystem(control, error);
  }
  if (!S_ISREG(info.st_mode)) {
    close(fd);
    if (S_ISDIR(info.st_mode)) return RefusedBySystem(control, EISDIR);
    control.Refuse("not a regular file");
    return false;
  }
  FilePtr file(fdopen(fd, "rb"));
  if (!file) {
    const int error = errno;
    close(fd);
    return RefusedBySystem(control, error);
  }
  return LoadImage(image, file.get(), fileFormat, &control);
}

bool CImage::Load(const std::string& path) {
  LoadControl control;
  return LoadFile(*this, path, control);
}

bool Save(const CImage& image, const std::string& path,
          const SaveOptions& options) {
  ResetSaveError();
  if (image.IsEmpty()) return false;
  const ImageFormat format = SaveFormatFor(path);
  if (format == ImageFormat::None || !UsablePath(path)) return false;
  return WriteAtomically(path, options, [&](FILE* file) {
    return SaveImage(image, file, format, options);
  });
}

OutputProblem CheckOutputPath(const std::string& path, bool follow_links) {
  if (SaveFormatFor(path) == ImageFormat::None) {
    ResetSaveError();
    return OutputProblem::UnknownExtension;
  }
  return CheckSaveTarget(path, follow_links);
}

}  // namespace Common
