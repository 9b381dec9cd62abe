#include "image/bmp_format.h"

#include <cstdint>
#include <memory>
#include <vector>

#include "image/image_limits.h"
#include "image/stream_io.h"

namespace Common {
namespace {

constexpr int64_t kFileHeaderBytes = 14;
constexpr int64_t kInfoHeaderBytes = 40;
// Bit-field masks: R, G, B behind a 40-byte info header; inside the longer
// headers, R, G, B from 52 bytes on (V2) and A as well from 56 bytes (V3,
// V4, V5).
constexpr int64_t kBitFieldBytes = 12;
constexpr int64_t kRgbMaskHeaderBytes = 52;
constexpr int64_t kRgbaMaskHeaderBytes = 56;

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

// The byte of a little-endian 32-bit pixel that a colour mask selects, -1
// for a zero mask (no such channel); false for a mask that is not one
// whole byte.
bool MaskedByte(uint32_t mask, int& byte) {
  byte = -1;
  for (int b = 0; b < 4 && mask != 0; ++b)
    if (mask == 0xFFu << 8 * b) byte = b;
  return mask == 0 || byte >= 0;
}

}  // namespace

bool ReadBmp(CImage& image, FILE* stream, bool flipRows,
             LoadControl& control) {
  const long start = std::ftell(stream);
  const int64_t fileBytes = RemainingBytes(stream);
  if (start < 0 || fileBytes < 0) return false;
  uint8_t fileHeader[kFileHeaderBytes];
  // The 40-byte header, then room for the four masks.
  uint8_t info[kRgbaMaskHeaderBytes] = {};
  if (!ReadExact(stream, fileHeader, sizeof fileHeader) ||
      !ReadExact(stream, info, kInfoHeaderBytes))
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
  if (bitsPerPixel != 24 && bitsPerPixel != 32) return false;
  if (width < 0 || storedHeight == INT32_MIN) return false;
  const bool topDown = storedHeight < 0;
  const int32_t height = topDown ? -storedHeight : storedHeight;

  // Where the headers (and the masks behind a short one) end.
  int64_t headersEnd = kFileHeaderBytes + infoBytes;
  if (compression == 3) {
    if (infoBytes >= kRgbMaskHeaderBytes) {
      const int64_t inHeader = infoBytes >= kRgbaMaskHeaderBytes
                                   ? kRgbaMaskHeaderBytes
                                   : kRgbMaskHeaderBytes;
      if (!ReadExact(stream, info + kInfoHeaderBytes,
                     static_cast<size_t>(inHeader - kInfoHeaderBytes)))
        return false;
    } else {
      const long masksAt = start + static_cast<long>(headersEnd);
      headersEnd += kBitFieldBytes;
      if (headersEnd > fileBytes ||
          std::fseek(stream, masksAt, SEEK_SET) != 0 ||
          !ReadExact(stream, info + kInfoHeaderBytes, kBitFieldBytes))
        return false;
    }
  }
  // The pixels start where the file header says, which may leave a gap
  // (or a palette) behind the headers, but never inside them.
  const int64_t dataOffset = U32(fileHeader + 10);
  if (dataOffset < headersEnd || dataOffset > fileBytes) return false;

  // The byte of a file pixel that R, G, B and A come from. 24-bit pixels
  // are B, G, R; 32-bit ones B, G, R, A unless masks place the channels,
  // where a zero alpha mask means there is no alpha.
  int source[4] = {2, 1, 0, -1};
  int32_t channels = 3;
  if (bitsPerPixel == 32) {
    source[3] = 3;
    channels = 4;
    if (compression == 3) {
      for (int c = 0; c < 4; ++c)
        if (!MaskedByte(U32(info + kInfoHeaderBytes + 4 * c), source[c]))
          return false;
      if (source[3] < 0) channels = 3;
    }
  }

  // 24-bit rows are padded to 4 bytes, 32-bit rows are that already.
  const int64_t rowBytes = PaddedRowBytes(width, bitsPerPixel / 8);
  if (rowBytes < 0 || control.Admit(width, height, channels) < 0)
    return false;
  const int64_t dataBytes = rowBytes * height;
  if (fileBytes - dataOffset < dataBytes) return false;
  if (std::fseek(stream, start + static_cast<long>(dataOffset), SEEK_SET) != 0)
    return false;

  if (!image.Create(width, height, channels, true, false)) return false;
  // One file row at a time, its pixels spread into the image row.
  const bool bottomUp = topDown ? !flipRows : flipRows;
  const int filePixelBytes = bitsPerPixel / 8;
  std::vector<uint8_t> fileRow(static_cast<size_t>(rowBytes));
  for (int32_t r = 0; r < height; ++r) {
    if (control.Stopped()) return false;
    if (!ReadExact(stream, fileRow.data(), fileRow.size())) return false;
    uint8_t* out = image.PixelAt(0, bottomUp ? height - 1 - r : r);
    const uint8_t* in = fileRow.data();
    for (int32_t x = 0; x < width; ++x, in += filePixelBytes, out += channels)
      for (int c = 0; c < channels; ++c)
        out[c] = source[c] < 0 ? 0 : in[source[c]];
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
