#include "image/exif_ifd.h"

#include <sys/types.h>

#include <algorithm>
#include <cstring>

namespace Common {
namespace {

constexpr uint16_t kInteropIfdTag = 0xA005;
constexpr uint64_t kMaxOffset = 0xFFFFFFFFu;

// Bytes of one value of the TIFF types 1 to 13 (BYTE ... IFD); 0 for others.
size_t TypeSize(uint16_t type) {
  static const uint8_t sizes[] = {0, 1, 1, 2, 4, 8, 1, 1, 2, 4, 8, 4, 8, 4};
  return type < sizeof sizes ? sizes[type] : 0;
}

// The tags of a first IFD that describe the picture rather than its pixels.
bool Descriptive(uint16_t tag) {
  switch (tag) {
    case 0x010E:  // ImageDescription
    case 0x010F:  // Make
    case 0x0110:  // Model
    case 0x0112:  // Orientation
    case 0x0131:  // Software
    case 0x0132:  // DateTime
    case 0x013B:  // Artist
    case 0x013C:  // HostComputer
    case 0x8298:  // Copyright
      return true;
    default:
      return false;
  }
}

// The tags whose values are offsets of data in the file, other than the
// EXIF and GPS links: they would point nowhere once the IFD is laid out.
bool LocatesData(uint16_t tag) {
  switch (tag) {
    case 0x0111:  // StripOffsets
    case 0x0117:  // StripByteCounts
    case 0x0120:  // FreeOffsets
    case 0x0121:  // FreeByteCounts
    case 0x0144:  // TileOffsets
    case 0x0145:  // TileByteCounts
    case 0x014A:  // SubIFDs
    case 0x0201:  // JPEGInterchangeFormat
    case 0x0202:  // JPEGInterchangeFormatLength
      return true;
    default:
      return false;
  }
}

// Where the bytes come from: `size` bytes at `at`, false past the end.
class Source {
 public:
  virtual ~Source() = default;
  virtual bool Read(uint64_t at, size_t size, void* out) = 0;
};

class FileSource : public Source {
 public:
  explicit FileSource(FILE* file) : file_(file) {
    if (fseeko(file, 0, SEEK_END) == 0) {
      const off_t end = ftello(file);
      size_ = end < 0 ? 0 : static_cast<uint64_t>(end);
    }
  }
  bool Read(uint64_t at, size_t size, void* out) override {
    if (at > size_ || size > size_ - at) return false;
    return fseeko(file_, static_cast<off_t>(at), SEEK_SET) == 0 &&
           std::fread(out, 1, size, file_) == size;
  }

 private:
  FILE* file_;
  uint64_t size_ = 0;
};

class BlockSource : public Source {
 public:
  explicit BlockSource(const std::string& block) : block_(block) {}
  bool Read(uint64_t at, size_t size, void* out) override {
    if (at > block_.size() || size > block_.size() - at) return false;
    std::memcpy(out, block_.data() + at, size);
    return true;
  }

 private:
  const std::string& block_;
};

class Reader {
 public:
  Reader(Source& source, FirstIfdTags tags) : source_(source), tags_(tags) {}

  IfdTree Read() {
    IfdTree tree;
    uint8_t head[8];
    if (!source_.Read(0, 8, head)) return tree;
    if (head[0] == 'I' && head[1] == 'I') little_ = true;
    else if (head[0] == 'M' && head[1] == 'M') little_ = false;
    else return tree;
    if (U16(head + 2) != 42) return tree;
    tree.little = little_;
    tree_ = &tree;
    used_ = 8;  // the header
    if (ReadIfd(U32(head + 4), Kind::First) < 0) tree.ifds.clear();
    return tree;
  }

 private:
  enum class Kind { First, Exif, Leaf };  // a leaf links to no other IFD

  struct Raw {
    uint16_t tag, type;
    uint32_t count;
    uint8_t field[4];  // the value, or its offset
  };

  uint32_t U16(const uint8_t* b) const {
    return little_ ? b[0] | b[1] << 8 : b[0] << 8 | b[1];
  }
  uint32_t U32(const uint8_t* b) const {
    return little_ ? U16(b) | U16(b + 2) << 16 : U16(b) << 16 | U16(b + 2);
  }

  // Reads the IFD at `at` into a new directory of the tree, as far as the
  // budget goes; its index, or -1 when nothing of it was kept.
  int ReadIfd(uint32_t at, Kind kind) {
    const size_t before = used_;
    if (kMaxExifBytes - used_ < 6) return -1;
    used_ += 6;  // the entry count and the link to the next IFD
    auto fail = [&] {
      used_ = before;
      return -1;
    };
    uint8_t countBytes[2];
    if (!source_.Read(at, 2, countBytes)) return fail();
    const size_t count = std::min<size_t>(U16(countBytes), kMaxExifBytes / 12);
    std::vector<uint8_t> table(count * 12);
    if (count == 0 || !source_.Read(uint64_t{at} + 2, table.size(), table.data()))
      return fail();
    std::vector<Raw> raws(count);
    for (size_t i = 0; i < count; ++i) {
      const uint8_t* e = table.data() + i * 12;
      raws[i] = {static_cast<uint16_t>(U16(e)), static_cast<uint16_t>(U16(e + 2)),
                 U32(e + 4), {e[8], e[9], e[10], e[11]}};
    }
    // Tags in ascending order, each once (the first of a repeated one).
    std::stable_sort(raws.begin(), raws.end(),
                     [](const Raw& a, const Raw& b) { return a.tag < b.tag; });
    raws.erase(std::unique(raws.begin(), raws.end(),
                           [](const Raw& a, const Raw& b) { return a.tag == b.tag; }),
               raws.end());

    const int index = static_cast<int>(tree_->ifds.size());
    tree_->ifds.emplace_back();
    std::vector<IfdEntry> entries;
    for (const Raw& r : raws) {
      if (kind == Kind::First && r.tag != kExifIfdTag && r.tag != kGpsIfdTag &&
          (tags_ == FirstIfdTags::All ? LocatesData(r.tag) : !Descriptive(r.tag)))
        continue;
      const bool link = (kind == Kind::First && (r.tag == kExifIfdTag || r.tag == kGpsIfdTag)) ||
                        (kind == Kind::Exif && r.tag == kInteropIfdTag);
      if (link) {
        if ((r.type != 4 && r.type != 13) || r.count != 1 || kMaxExifBytes - used_ < 12)
          continue;
        used_ += 12;
        const int child = ReadIfd(U32(r.field), r.tag == kExifIfdTag ? Kind::Exif : Kind::Leaf);
        if (child < 0) {
          used_ -= 12;
          continue;
        }
        entries.push_back({r.tag, r.type, 1, std::string(), child});
        continue;
      }
      const uint64_t bytes = uint64_t{r.count} * TypeSize(r.type);
      if (bytes == 0) continue;  // an unknown type, or no value
      const uint64_t cost = 12 + (bytes > 4 ? bytes + (bytes & 1) : 0);
      if (cost > kMaxExifBytes - used_) continue;
      std::string value(static_cast<size_t>(bytes), '\0');
      if (bytes <= 4)
        std::memcpy(&value[0], r.field, value.size());
      else if (!source_.Read(U32(r.field), value.size(), &value[0]))
        continue;
      used_ += cost;
      entries.push_back({r.tag, r.type, r.count, std::move(value), -1});
    }
    if (entries.empty()) {
      tree_->ifds.pop_back();  // nothing was added after it
      return fail();
    }
    tree_->ifds[index] = std::move(entries);
    return index;
  }

  Source& source_;
  FirstIfdTags tags_;
  IfdTree* tree_ = nullptr;
  bool little_ = true;
  size_t used_ = 0;  // the bytes the kept entries take laid out
};

class Writer {
 public:
  Writer(const IfdTree& tree, uint64_t base, std::string& out)
      : tree_(tree), base_(base), out_(out) {}

  void U16(size_t at, uint32_t v) {
    out_[at] = static_cast<char>(tree_.little ? v : v >> 8);
    out_[at + 1] = static_cast<char>(tree_.little ? v >> 8 : v);
  }
  void U32(size_t at, uint32_t v) {
    U16(at + (tree_.little ? 0 : 2), v & 0xFFFF);
    U16(at + (tree_.little ? 2 : 0), v >> 16);
  }

  // Appends IFD `ifd` at an even offset; false past 4 GiB.
  bool Put(int ifd, uint32_t& where) {
    if (!Align(where)) return false;
    const size_t at = out_.size();
    const std::vector<IfdEntry>& entries = tree_.ifds[static_cast<size_t>(ifd)];
    out_.append(2 + 12 * entries.size() + 4, '\0');
    U16(at, static_cast<uint32_t>(entries.size()));
    for (size_t i = 0; i < entries.size(); ++i) {
      const IfdEntry& e = entries[i];
      const size_t p = at + 2 + 12 * i;
      U16(p, e.tag);
      U16(p + 2, e.type);
      U32(p + 4, e.count);
      uint32_t offset = 0;
      if (e.child >= 0) {
        // Sub-IFDs come later in the tree than their parent: no cycles.
        if (e.child <= ifd || static_cast<size_t>(e.child) >= tree_.ifds.size() ||
            !Put(e.child, offset))
          return false;
        U32(p + 8, offset);
      } else if (e.value.size() <= 4) {
        out_.replace(p + 8, e.value.size(), e.value);
      } else {
        if (!Align(offset)) return false;
        out_ += e.value;
        U32(p + 8, offset);
      }
    }
    return base_ + out_.size() <= kMaxOffset + 1;
  }

 private:
  // Pads `out` to an even offset, which it sets; false past 4 GiB.
  bool Align(uint32_t& where) {
    if ((base_ + out_.size()) & 1) out_.push_back('\0');
    if (base_ + out_.size() > kMaxOffset) return false;
    where = static_cast<uint32_t>(base_ + out_.size());
    return true;
  }

  const IfdTree& tree_;
  uint64_t base_;
  std::string& out_;
};

}  // namespace

const IfdEntry* IfdTree::Find(int ifd, uint16_t tag) const {
  if (ifd < 0 || static_cast<size_t>(ifd) >= ifds.size()) return nullptr;
  for (const IfdEntry& e : ifds[static_cast<size_t>(ifd)])
    if (e.tag == tag) return &e;
  return nullptr;
}

IfdTree ReadIfdTree(FILE* stream) {
  FileSource source(stream);
  return Reader(source, FirstIfdTags::Descriptive).Read();
}

IfdTree ReadIfdTree(const std::string& block, FirstIfdTags tags) {
  BlockSource source(block);
  return Reader(source, tags).Read();
}

uint32_t PlaceIfd(const IfdTree& tree, int ifd, uint64_t base, std::string& out) {
  if (ifd < 0 || static_cast<size_t>(ifd) >= tree.ifds.size()) return 0;
  const size_t kept = out.size();
  uint32_t where = 0;
  if (!Writer(tree, base, out).Put(ifd, where)) {
    out.resize(kept);
    return 0;
  }
  return where;
}

std::string ExifBlock(const IfdTree& tree) {
  if (tree.Empty()) return std::string();
  std::string out = tree.little ? std::string("II*\0\x08\0\0\0", 8)
                                : std::string("MM\0*\0\0\0\x08", 8);
  return PlaceIfd(tree, 0, 0, out) == 8 ? out : std::string();
}

}  // namespace Common
