#include "image/bmp_format.h"

#include <cstdint>
#include <memory>
#include <utility>

#include "image/image_limits.h"
#include "image/stream_io.h"

namespace Common {
namespace {

constexpr int64_t kFileHeaderBytes = 14;
constexpr int64_t kInfoHeaderBytes = 40;
constexpr int64_t kBitFieldBytes = 12;

uint32_t U32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
         static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}
int32_t I32(const uint8_t* p) { return static_cast<int32_t>(U32(p)); }
uint16_t U16(const uint8_t* p) {
  return static_cast<uint16_t>(p[0] | p[1] << 8);
}

void PutU32(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
  p[2] = static_cast<uint8_t>(v >> 16);
  p[3] = static_cast<uint8_t>(v >> 24);
}
void PutU16(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}

}  // namespace

bool ReadBmp(CImage& image, FILE* stream, bool flipRows,
             LoadControl& control) {
  const int64_t fileBytes = RemainingBytes(stream);
  if (fileBytes < 0) return false;
  uint8_t fileHeader[kFileHeaderBytes];
  uint8_t info[kInfoHeaderBytes];
  if (!ReadExact(stream, fileHeader, sizeof fileHeader) ||
      !ReadExact(stream, info, sizeof info))
    return false;

  const uint32_t infoBytes = U32(info + 0);
  const int32_t width = I32(info + 4);
  const int32_t storedHeight = I32(info + 8);
  const uint16_t bitsPerPixel = U16(info + 14);
  const uint32_t compression = U32(info + 16);

  // Headers shorter than 40 bytes (OS/2 core headers) lay out their fields
  // differently.
  if (infoBytes < kInfoHeaderBytes) return false;
  if (compression != 0 && compression != 3) return false;
  int32_t channels;
  if (bitsPerPixel == 24)
    channels = 3;
  else if (bitsPerPixel == 32)
    channels = 4;
  else
    return false;
  if (width < 0 || storedHeight == INT32_MIN) return false;
  const bool topDown = storedHeight < 0;
  const int32_t height = topDown ? -storedHeight : storedHeight;

  // 24-bit rows are padded to 4 bytes, 32-bit rows are that already.
  const int64_t rowBytes = PaddedRowBytes(width, channels);
  if (rowBytes < 0 || control.Admit(width, height, channels) < 0)
    return false;
  const int64_t dataBytes = rowBytes * height;

  int64_t dataOffset;
  if (infoBytes == kInfoHeaderBytes) {
    // Pixels follow the headers, after the three colour masks of a
    // bit-field file.
    dataOffset = kFileHeaderBytes + kInfoHeaderBytes +
                 (compression == 3 ? kBitFieldBytes : 0);
  } else {
    // Longer headers carry their masks inside; the file header says where
    // the pixels start, which must lie behind the info header.
    dataOffset = U32(fileHeader + 10);
    if (dataOffset < kFileHeaderBytes + static_cast<int64_t>(infoBytes))
      return false;
  }
  if (dataOffset > fileBytes || fileBytes - dataOffset < dataBytes)
    return false;
  if (std::fseek(stream, static_cast<long>(dataOffset), SEEK_SET) != 0)
    return false;

  if (!image.Create(width, height, channels, true, false)) return false;
  // One file row at a time, straight into its image row, with B and R
  // exchanged; the 0 to 3 bytes that pad a file row are skipped.
  const bool bottomUp = topDown ? !flipRows : flipRows;
  const size_t pixelBytes = static_cast<size_t>(width) * channels;
  uint8_t pad[4];
  for (int32_t r = 0; r < height; ++r) {
    if (control.Stopped()) return false;
    uint8_t* row = image.PixelAt(0, bottomUp ? height - 1 - r : r);
    if (!ReadExact(stream, row, pixelBytes) ||
        !ReadExact(stream, pad, static_cast<size_t>(rowBytes) - pixelBytes))
      return false;
    for (int32_t x = 0; x < width; ++x, row += channels) std::swap(row[0], row[2]);
  }
  return true;
}

bool WriteBmp(const CImage& image, FILE* stream) {
  const int64_t rowBytes = PaddedRowBytes(image.width, 3);
  const int64_t imageSize64 = rowBytes * image.height;
  if (rowBytes < 0 || imageSize64 > INT32_MAX - 54) return false;
  const uint32_t imageSize = static_cast<uint32_t>(imageSize64);

  uint8_t fileHeader[kFileHeaderBytes] = {'B', 'M'};
  PutU32(fileHeader + 2, imageSize + 54);
  PutU32(fileHeader + 10, 54);
  uint8_t info[kInfoHeaderBytes] = {};
  PutU32(info + 0, 40);
  PutU32(info + 4, static_cast<uint32_t>(image.width));
  PutU32(info + 8, static_cast<uint32_t>(image.height));
  PutU16(info + 12, 1);
  PutU16(info + 14, 24);
  PutU32(info + 16, 0);
  PutU32(info + 20, imageSize);
  PutU32(info + 24, 3780);
  PutU32(info + 28, 3780);

  // Pad bytes are written as zero.
  std::unique_ptr<uint8_t[]> block(new uint8_t[imageSize + 1]());
  for (int32_t r = 0; r < image.height; ++r) {
    uint8_t* out = block.get() + static_cast<size_t>(rowBytes) * r;
    const int32_t y = image.height - 1 - r;
    for (int32_t x = 0; x < image.width; ++x, out += 3)
      image.GetRgb(x, y, out[2], out[1], out[0]);
  }
  return WriteExact(stream, fileHeader, sizeof fileHeader) &&
         WriteExact(stream, info, sizeof info) &&
         WriteExact(stream, block.get(), imageSize);
}

}  // namespace Common
