#include "image/bmp_rle.h"

#include <algorithm>

namespace Common {
namespace {

// Bytes of the stream, read in blocks, with the file offset of the next.
class ByteSource {
 public:
  ByteSource(FILE* stream, int64_t offset) : stream_(stream), offset_(offset) {}
  bool Next(uint8_t& byte) {
    if (at_ == end_) {
      end_ = std::fread(block_, 1, sizeof block_, stream_);
      at_ = 0;
      if (end_ == 0) return false;
    }
    byte = block_[at_++];
    ++offset_;
    return true;
  }
  int64_t offset() const { return offset_; }

 private:
  FILE* stream_;
  int64_t offset_;
  uint8_t block_[4096];
  size_t at_ = 0, end_ = 0;
};

// The image's pixels in the order the file stores them.
class PixelSink {
 public:
  PixelSink(CImage& image, bool bottomUp)
      : image_(image), bottomUp_(bottomUp),
        left_(int64_t{image.width} * image.height) {
    SeekRow();
  }
  int64_t left() const { return left_; }
  int32_t column() const { return column_; }
  void Put(uint8_t index) {
    row_[column_ * image_.channels] = index;
    --left_;
    if (++column_ == image_.width) {
      column_ = 0;
      ++fileRow_;
      SeekRow();
    }
  }
  void Fill(int64_t count) {
    for (count = std::min(count, left_); count > 0; --count) Put(0);
  }

 private:
  void SeekRow() {
    if (left_ > 0)
      row_ = image_.PixelAt(0, bottomUp_ ? image_.height - 1 - fileRow_ : fileRow_);
  }
  CImage& image_;
  const bool bottomUp_;
  int64_t left_;
  int32_t column_ = 0, fileRow_ = 0;
  uint8_t* row_ = nullptr;
};

enum Escape : uint8_t { kEndOfLine = 0, kEndOfBitmap = 1, kDelta = 2 };

// An absolute run of `count` indices (two to a byte in RLE4), padded to an
// even file offset; false when the data ends inside it.
bool CopyAbsolute(ByteSource& in, PixelSink& out, int64_t count, bool rle4) {
  count = std::min(count, out.left());
  const int64_t bytes = rle4 ? (count + 1) / 2 : count;
  for (int64_t i = 0; i < bytes; ++i) {
    uint8_t byte;
    if (!in.Next(byte)) return false;
    if (!rle4) {
      out.Put(byte);
      continue;
    }
    out.Put(byte >> 4);
    if (2 * i + 1 < count) out.Put(byte & 0x0F);
  }
  uint8_t pad;
  if (in.offset() % 2 != 0 && out.left() > 0) in.Next(pad);
  return true;
}

}  // namespace

bool DecodeBmpRle(FILE* stream, int64_t fileOffset, bool rle4, bool bottomUp,
                  CImage& image, LoadControl& control) {
  ByteSource in(stream, fileOffset);
  PixelSink out(image, bottomUp);
  const int64_t width = image.width;
  // The column as the runs count it: past the width after an absolute run
  // that went on into the next row, where encoded runs then add nothing.
  int64_t x = 0;
  bool ended = false;
  while (out.left() > 0 && !ended) {
    if (control.Stopped()) return false;
    uint8_t count, code;
    if (!in.Next(count) || !in.Next(code)) break;
    if (count > 0) {
      const int64_t n = std::max<int64_t>(0, std::min<int64_t>(count, width - x));
      for (int64_t i = 0; i < n; ++i)
        out.Put(!rle4 ? code : i % 2 == 0 ? code >> 4 : code & 0x0F);
      x += n;
    } else if (code == kEndOfLine) {
      if (out.column() != 0) out.Fill(width - out.column());
      x = 0;
    } else if (code == kEndOfBitmap) {
      ended = true;
    } else if (code == kDelta) {
      uint8_t right, up;
      if (!in.Next(right) || !in.Next(up)) break;
      out.Fill(right + int64_t{up} * width);
      x = out.column();
    } else {
      if (!CopyAbsolute(in, out, code, rle4)) break;
      x += code;
    }
  }
  if (control.Stopped()) return false;
  if (out.left() > 0 && !ended) {
    control.Refuse("BMP data ends before the picture does");
    return false;
  }
  out.Fill(out.left());
  return true;
}

}  // namespace Common
