#include "image/exif_block.h"

#include "image/exif_ifd.h"

namespace Common {
namespace {

constexpr char kExifHead[] = "Exif\0";  // and the terminating NUL
constexpr size_t kExifHeadSize = 6;

}  // namespace

uint32_t FirstIfd::U16(const std::string& exif, size_t pos) const {
  const auto* b = reinterpret_cast<const uint8_t*>(exif.data()) + pos;
  return little ? b[0] | b[1] << 8 : b[0] << 8 | b[1];
}

uint32_t FirstIfd::U32(const std::string& exif, size_t pos) const {
  return little ? U16(exif, pos) | U16(exif, pos + 2) << 16
                : U16(exif, pos) << 16 | U16(exif, pos + 2);
}

FirstIfd FindFirstIfd(const std::string& exif) {
  FirstIfd ifd;
  if (exif.compare(0, 4, "II*\0", 4) == 0) {
    ifd.little = true;
  } else if (exif.compare(0, 4, "MM\0*", 4) == 0) {
    ifd.little = false;
  } else {
    ifd.problem = "no TIFF header";
    return ifd;
  }
  if (exif.size() < 8) {
    ifd.problem = "TIFF header cut short";
    return ifd;
  }
  const uint32_t at = ifd.U32(exif, 4);
  if (at < 8 || at > exif.size() - 2) {
    ifd.problem = "first IFD outside the block";
    return ifd;
  }
  ifd.at = at;
  ifd.entries = ifd.U16(exif, at);
  if (ifd.Link() + 4 > exif.size()) ifd.problem = "first IFD cut short";
  return ifd;
}

void DropExifThumbnail(std::string& exif) {
  const FirstIfd ifd = FindFirstIfd(exif);
  if (ifd.problem != nullptr || ifd.U32(exif, ifd.Link()) == 0) return;
  exif = ExifBlock(ReadIfdTree(exif, FirstIfdTags::All));
}

const char* ReadyExifForOutput(std::string& exif) {
  while (exif.compare(0, kExifHeadSize, kExifHead, kExifHeadSize) == 0)
    exif.erase(0, kExifHeadSize);
  if (exif.empty()) return nullptr;
  if (const char* problem = FindFirstIfd(exif).problem) {
    exif.clear();
    return problem;
  }
  DropExifThumbnail(exif);
  return nullptr;
}

}  // namespace Common
