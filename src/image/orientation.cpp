#include "image/orientation.h"

#include <cstring>

namespace Common {
namespace {

constexpr uint16_t kOrientationTag = 0x0112;
constexpr uint16_t kShortType = 3;

// Where the value of the first IFD's orientation entry lies (with
// tag == kOrientationTag), or where its link to the next IFD lies (with
// tag 0), and the byte order; npos when there is none.
size_t EntryAt(const std::string& exif, bool& little, uint16_t tag) {
  const size_t none = std::string::npos;
  if (exif.size() < 8) return none;
  const auto* b = reinterpret_cast<const uint8_t*>(exif.data());
  if (b[0] == 'I' && b[1] == 'I') little = true;
  else if (b[0] == 'M' && b[1] == 'M') little = false;
  else return none;
  auto u16 = [&](size_t at) -> uint32_t {
    return little ? b[at] | b[at + 1] << 8 : b[at] << 8 | b[at + 1];
  };
  auto u32 = [&](size_t at) -> uint64_t {
    return little ? u16(at) | uint64_t{u16(at + 2)} << 16
                  : uint64_t{u16(at)} << 16 | u16(at + 2);
  };
  if (u16(2) != 42) return none;
  const uint64_t ifd = u32(4);
  if (ifd + 2 > exif.size()) return none;
  const uint32_t entries = u16(ifd);
  if (tag == 0) return ifd + 2 + uint64_t{entries} * 12 + 4 <= exif.size()
                           ? ifd + 2 + uint64_t{entries} * 12 : none;
  for (uint32_t i = 0; i < entries; ++i) {
    const uint64_t e = ifd + 2 + uint64_t{i} * 12;
    if (e + 12 > exif.size()) return none;
    if (u16(e) == tag)
      return u16(e + 2) == kShortType && u32(e + 4) == 1 ? e + 8 : none;
  }
  return none;
}

}  // namespace

int32_t ExifOrientation(const std::string& exif) {
  bool little = true;
  const size_t at = EntryAt(exif, little, kOrientationTag);
  if (at == std::string::npos) return 1;
  const auto* b = reinterpret_cast<const uint8_t*>(exif.data()) + at;
  const int32_t value = little ? b[0] | b[1] << 8 : b[0] << 8 | b[1];
  return value >= 1 && value <= 8 ? value : 1;
}

bool SetExifOrientation(std::string& exif, uint16_t value) {
  bool little = true;
  const size_t at = EntryAt(exif, little, kOrientationTag);
  if (at == std::string::npos) return false;
  exif[at] = static_cast<char>(little ? value & 0xFF : value >> 8);
  exif[at + 1] = static_cast<char>(little ? value >> 8 : value & 0xFF);
  return true;
}

void DropExifThumbnail(std::string& exif) {
  bool little = true;
  const size_t at = EntryAt(exif, little, 0);
  if (at != std::string::npos) exif.replace(at, 4, 4, '\0');
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
