#include "image/image_files.h"

#include <sys/stat.h>

#include <cstdio>
#include <memory>

#include "image/bmp_format.h"
#include "image/c_array_format.h"
#include "image/decoded_block.h"
#include "image/jpeg_codec.h"
#include "image/png_codec.h"
#include "image/pnm_format.h"
#include "image/text_format.h"

namespace Common {
namespace {

struct FileCloser {
  void operator()(FILE* f) const { std::fclose(f); }
};
using FilePtr = std::unique_ptr<FILE, FileCloser>;

// Paths with an embedded NUL would name another file than the caller's.
bool UsablePath(const std::string& path) {
  return !path.empty() && path.find('\0') == std::string::npos;
}

}  // namespace

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

ImageFormat LoadFormatFor(const std::string& path) {
  const std::optional<std::string> ext = FindUpperExtension(path);
  if (!ext) return ImageFormat::None;
  if (*ext == ".TXT" || *ext == ".DAT") return ImageFormat::Text;
  if (*ext == ".BMP") return ImageFormat::Bmp;
  if (*ext == ".PPM") return ImageFormat::Ppm;
  if (*ext == ".PNG") return ImageFormat::Png;
  if (*ext == ".JPG" || *ext == ".JPEG") return ImageFormat::Jpeg;
  return ImageFormat::None;
}

ImageFormat SaveFormatFor(const std::string& path) {
  const std::optional<std::string> ext = FindUpperExtension(path);
  if (!ext) return ImageFormat::None;
  if (*ext == ".TXT" || *ext == ".DAT") return ImageFormat::Text;
  if (*ext == ".BMP") return ImageFormat::Bmp;
  if (*ext == ".PPM") return ImageFormat::Ppm;
  if (*ext == ".PNG") return ImageFormat::Png;
  if (*ext == ".JPG") return ImageFormat::Jpeg;
  if (*ext == ".PGM") return ImageFormat::Pgm;
  if (*ext == ".PBM") return ImageFormat::Pbm;
  if (*ext == ".CPP" || *ext == ".CXX") return ImageFormat::CArray;
  return ImageFormat::None;
}

bool LoadImage(CImage& image, FILE* stream, ImageFormat format) {
  DecodedBlock block;
  switch (format) {
    case ImageFormat::Text:
      return ReadTextImage(image, stream);
    case ImageFormat::Bmp:
      return ReadBmp(image, stream, true);
    case ImageFormat::Ppm:
      return ReadPpm(image, stream);
    case ImageFormat::Png:
      // The codec delivers B, G, R(, A).
      return ReadPngFile(stream, block) &&
             image.SetFromBuffer(block.data.get(), block.width, block.height,
                                 block.stride, block.channels, true, false);
    case ImageFormat::Jpeg:
      return ReadJpegFile(stream, block) &&
             image.SetFromBuffer(block.data.get(), block.width, block.height,
                                 block.stride, 3, false, false);
    default:
      return false;
  }
}

bool SaveImage(const CImage& image, FILE* stream, ImageFormat format) {
  switch (format) {
    case ImageFormat::Text: return WriteTextImage(image, stream);
    case ImageFormat::CArray: return WriteCArray(image, stream);
    case ImageFormat::Bmp: return WriteBmp(image, stream);
    case ImageFormat::Ppm: return WritePnm(image, stream, PnmKind::Ppm);
    case ImageFormat::Pgm: return WritePnm(image, stream, PnmKind::Pgm);
    case ImageFormat::Pbm: return WritePnm(image, stream, PnmKind::Pbm);
    case ImageFormat::Png:
      return WritePngFile(image.pixels, image.width, image.height,
                          image.stride, image.channels, stream);
    case ImageFormat::Jpeg: return WriteJpeg(image, stream);
    default: return false;
  }
}

bool CImage::Load(const std::string& path) {
  const ImageFormat fileFormat = LoadFormatFor(path);
  if (fileFormat == ImageFormat::None || !UsablePath(path)) return false;
  FilePtr file(std::fopen(path.c_str(), "rb"));
  if (!file) return false;
  // Only regular files: a folder, a pipe or a device has no size to check
  // the declared sizes against, and may never end.
  struct stat info;
  if (fstat(fileno(file.get()), &info) != 0 || !S_ISREG(info.st_mode))
    return false;
  return LoadImage(*this, file.get(), fileFormat);
}

bool Save(const CImage& image, const std::string& path) {
  if (image.IsEmpty()) return false;
  const ImageFormat format = SaveFormatFor(path);
  if (format == ImageFormat::None || !UsablePath(path)) return false;
  FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) return false;
  const bool written = SaveImage(image, file, format);
  const bool closed = std::fclose(file) == 0;
  if (written && closed) return true;
  // Leave no truncated picture behind; but never unlink a device or a
  // pipe that the path may name (writing to /dev/full, say).
  struct stat info;
  if (stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode))
    std::remove(path.c_str());
  return false;
}

}  // namespace Common
