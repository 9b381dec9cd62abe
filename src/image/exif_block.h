// An EXIF block as other readers take it, and what is done to one that
// goes from an input file into an output: one that they cannot parse is
// not carried, and its thumbnail (the picture as it was) is cut out.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace Common {

// Where the first IFD of an EXIF block (a TIFF structure) lies. Other
// readers refuse a block whose header is not "II*\0" or "MM\0*", and fail
// on one whose first IFD (its entries and the link to the next IFD
// included) does not lie within it.
struct FirstIfd {
  const char* problem = nullptr;  // why the block cannot be parsed; null when it can
  bool little = true;
  size_t at = 0;         // the entry count
  uint32_t entries = 0;

  size_t Entry(uint32_t i) const { return at + 2 + size_t{12} * i; }
  size_t Link() const { return Entry(entries); }  // the next IFD's offset
  uint32_t U16(const std::string& exif, size_t pos) const;
  uint32_t U32(const std::string& exif, size_t pos) const;
};

FirstIfd FindFirstIfd(const std::string& exif);

// Cuts the second IFD (the thumbnail) out of the block: the block is laid
// out again without it, the other tags of the first IFD and its EXIF and
// GPS IFDs kept. Nothing changes in a block that links no second IFD.
void DropExifThumbnail(std::string& exif);

// Readies an input's EXIF block for an output: a leading "Exif\0\0" (which
// some WebP files keep) removed, the thumbnail cut out. A block that
// cannot be parsed is cleared; returns why, or null.
const char* ReadyExifForOutput(std::string& exif);

}  // namespace Common
