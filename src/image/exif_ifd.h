// The image file directories (IFDs) that EXIF metadata lives in, read from
// a TIFF file or an EXIF block and laid out again: how a TIFF's own tags
// become an EXIF block, and how an EXIF block's sub-IFDs go into a TIFF.
// Entries keep their tag, type, count and value bytes; only the offsets
// that link the directories are rewritten. Reading is bounded: a classic
// TIFF structure only (not BigTIFF), at most kMaxExifBytes laid out, the
// entries that do not fit or are malformed skipped.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace Common {

// The largest EXIF block read: what one JPEG APP1 marker holds after its
// "Exif\0\0".
constexpr size_t kMaxExifBytes = 65527;

constexpr uint16_t kExifIfdTag = 0x8769;
constexpr uint16_t kGpsIfdTag = 0x8825;

// One directory entry: the value's bytes as stored (in the byte order of
// the structure it came from), or, for a link to a sub-IFD, its index.
struct IfdEntry {
  uint16_t tag = 0;
  uint16_t type = 0;
  uint32_t count = 0;
  std::string value;
  int child = -1;
};

struct IfdTree {
  bool little = true;
  // [0] the first IFD; the sub-IFDs after it. Entries in ascending tag
  // order, each tag once.
  std::vector<std::vector<IfdEntry>> ifds;
  bool Empty() const { return ifds.empty() || ifds[0].empty(); }
  const IfdEntry* Find(int ifd, uint16_t tag) const;
};

// Which tags of the first IFD are read: its descriptive ones
// (ImageDescription, Make, Model, Orientation, Software, DateTime, Artist,
// HostComputer, Copyright), or all but those that locate data in the file
// (strips, tiles, sub-IFDs other than EXIF and GPS, a thumbnail).
enum class FirstIfdTags { Descriptive, All };

// Reads the first IFD of a classic TIFF structure, of a file (the stream
// must be seekable; its position is left anywhere) or of an EXIF block:
// of the first IFD the tags asked for and the links to the EXIF and GPS
// IFDs, which are read whole (the EXIF one with its interoperability IFD).
// Returns an empty tree when there is nothing of that.
IfdTree ReadIfdTree(FILE* stream);
IfdTree ReadIfdTree(const std::string& block,
                    FirstIfdTags tags = FirstIfdTags::Descriptive);

// The tree as an EXIF block: a TIFF header of its byte order with the first
// IFD at 8, the sub-IFDs and values after it. Empty for an empty tree.
std::string ExifBlock(const IfdTree& tree);

// Appends IFD `ifd` of the tree, with its values and sub-IFDs, to `out` at
// an even offset, as if `out` began at file offset `base`; returns where
// it lies. 0 (and `out` unchanged) when it would reach past 4 GiB.
uint32_t PlaceIfd(const IfdTree& tree, int ifd, uint64_t base, std::string& out);

}  // namespace Common
