#include "image/orientation.h"

#include <cctype>
#include <cstring>

#include "image/exif_block.h"

namespace Common {
namespace {

constexpr uint16_t kOrientationTag = 0x0112;
constexpr uint16_t kShortType = 3;
constexpr uint16_t kLongType = 4;

// Where the first IFD's orientation entry lies in a block that other
// readers can parse; npos when there is none.
size_t OrientationEntry(const std::string& exif, const FirstIfd& ifd) {
  if (ifd.problem != nullptr) return std::string::npos;
  for (uint32_t i = 0; i < ifd.entries; ++i)
    if (ifd.U16(exif, ifd.Entry(i)) == kOrientationTag) return ifd.Entry(i);
  return std::string::npos;
}

// Where the value of the first tiff:Orientation of an XMP packet lies,
// as an attribute (tiff:Orientation="6") or an element
// (<tiff:Orientation>6</tiff:Orientation>): its digits are
// [at, at + size). False when there is none.
bool XmpOrientation(const std::string& xmp, size_t& at, size_t& size) {
  static const char kName[] = "tiff:Orientation";
  auto blank = [&](size_t i) {
    while (i < xmp.size() && std::isspace(static_cast<unsigned char>(xmp[i]))) ++i;
    return i;
  };
  for (size_t name = xmp.find(kName); name != std::string::npos;
       name = xmp.find(kName, name + 1)) {
    if (name > 0 && xmp[name - 1] == '/') continue;  // a closing tag
    size_t i = blank(name + sizeof kName - 1);
    char end = '<';
    if (i < xmp.size() && xmp[i] == '=') {
      i = blank(i + 1);
      if (i >= xmp.size() || (xmp[i] != '"' && xmp[i] != '\'')) continue;
      end = xmp[i];
    } else if (i >= xmp.size() || xmp[i] != '>') {
      continue;
    }
    at = ++i;
    while (i < xmp.size() && std::isdigit(static_cast<unsigned char>(xmp[i]))) ++i;
    size = i - at;
    if (size > 0 && i < xmp.size() && xmp[i] == end) return true;
  }
  return false;
}

}  // namespace

int32_t ExifOrientation(const std::string& exif) {
  const FirstIfd ifd = FindFirstIfd(exif);
  const size_t entry = OrientationEntry(exif, ifd);
  if (entry == std::string::npos || ifd.U32(exif, entry + 4) != 1) return 1;
  const uint32_t type = ifd.U16(exif, entry + 2);
  const uint32_t value = type == kShortType  ? ifd.U16(exif, entry + 8)
                         : type == kLongType ? ifd.U32(exif, entry + 8)
                                             : 0;
  return value >= 1 && value <= 8 ? static_cast<int32_t>(value) : 1;
}

bool SetExifOrientation(std::string& exif, uint16_t value) {
  const FirstIfd ifd = FindFirstIfd(exif);
  const size_t entry = OrientationEntry(exif, ifd);
  if (entry == std::string::npos || ifd.U32(exif, entry + 4) != 1) return false;
  const uint32_t type = ifd.U16(exif, entry + 2);
  if (type != kShortType && type != kLongType) return false;
  // A SHORT lies in the field's first two bytes, a LONG in all four.
  const uint32_t bytes = type == kShortType ? 2 : 4;
  for (uint32_t i = 0; i < bytes; ++i) {
    const uint32_t shift = 8 * (ifd.little ? i : bytes - 1 - i);
    exif[entry + 8 + i] = static_cast<char>(value >> shift & 0xFF);
  }
  return true;
}

int32_t ShownOrientation(const ImageMetadata& meta) {
  const FirstIfd ifd = FindFirstIfd(meta.exif);
  if (OrientationEntry(meta.exif, ifd) != std::string::npos)
    return ExifOrientation(meta.exif);
  size_t at = 0, size = 0;
  if (!XmpOrientation(meta.xmp, at, size) || size != 1) return 1;
  const int32_t value = meta.xmp[at] - '0';
  return value >= 1 && value <= 8 ? value : 1;
}

void MarkShownAsStored(ImageMetadata& meta) {
  SetExifOrientation(meta.exif, 1);
  size_t at = 0, size = 0;
  if (XmpOrientation(meta.xmp, at, size)) meta.xmp.replace(at, size, "1");
}

bool TurnToShown(CImage& image, int32_t orientation) {
  if (orientation < 2 || orientation > 8 || image.IsEmpty()) return true;
  const int32_t w = image.width, h = image.height;
  const bool swap = SwapsSides(orientation);
  CImage turned;
  turned.rowAlignment = image.rowAlignment;
  if (!turned.Create(swap ? h : w, swap ? w : h, image.channels, true, false, image.depth))
    return false;
  const size_t bytes = static_cast<size_t>(image.PixelBytes());
  for (int32_t y = 0; y < turned.height; ++y) {
    uint8_t* d = turned.PixelAt(0, y);
    for (int32_t x = 0; x < turned.width; ++x, d += bytes) {
      int32_t sx = x, sy = y;  // the stored pixel shown at (x, y)
      switch (orientation) {
        case 2: sx = w - 1 - x; break;
        case 3: sx = w - 1 - x; sy = h - 1 - y; break;
        case 4: sy = h - 1 - y; break;
        case 5: sx = y; sy = x; break;
        case 6: sx = y; sy = h - 1 - x; break;
        case 7: sx = w - 1 - y; sy = h - 1 - x; break;
        case 8: sx = w - 1 - y; sy = x; break;
      }
      std::memcpy(d, image.PixelAt(sx, sy), bytes);
    }
  }
  std::swap(image.pixels, turned.pixels);
  std::swap(image.capacity, turned.capacity);
  return image.Create(turned.width, turned.height, turned.channels, true, false, turned.depth);
}

}  // namespace Common
