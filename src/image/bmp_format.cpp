#include "image/bmp_format.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "image/bmp_rle.h"
#include "image/image_limits.h"
#include "image/stream_io.h"

namespace Common {
namespace {

constexpr int64_t kFileHeaderBytes = 14;
// OS/2 1.x core header; Windows info headers of 40 bytes and longer (the
// 64-byte OS/2 2.x header lays out its first 40 bytes alike).
constexpr uint32_t kCoreHeaderBytes = 12;
constexpr uint32_t kInfoHeaderBytes = 40;
constexpr uint32_t kOs2HeaderBytes = 64;
// Bit-field masks: R, G, B behind a 40-byte info header; inside the longer
// headers, R, G, B from 52 bytes on (V2) and A as well from 56 bytes (V3,
// V4, V5).
constexpr int64_t kBitFieldBytes = 12;
constexpr uint32_t kRgbMaskHeaderBytes = 52;
constexpr uint32_t kRgbaMaskHeaderBytes = 56;

enum Compression : uint32_t { kRaw = 0, kRle8 = 1, kRle4 = 2, kBitFields = 3 };

const char kEndsEarly[] = "BMP data ends before the picture does";

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

bool Refuse(LoadControl& control, const std::string& why) {
  control.Refuse(why);
  return false;
}

std::string CompressionName(uint32_t compression, bool os2) {
  const std::string number = std::to_string(compression);
  if (os2 && compression == 3) return number + " (Huffman 1D)";
  if (os2 && compression == 4) return number + " (RLE24)";
  static const char* const kNames[] = {"none", "RLE8", "RLE4", "bit fields",
                                       "JPEG", "PNG"};
  return compression < 6 ? number + " (" + kNames[compression] + ")" : number;
}

// What the headers say about the pixels.
struct BmpLayout {
  int64_t width = 0, height = 0;
  bool topDown = false;
  int bits = 0;
  uint32_t compression = kRaw;
  bool os2 = false;          // a 64-byte OS/2 2.x header
  uint32_t colours = 0;      // palette entries (8 bits per pixel or fewer)
  int entryBytes = 4;        // B, G, R(, unused) per palette entry
  uint32_t masks[4] = {};    // R, G, B, A of bit-field pixels
  int maskCount = 0;         // masks the file holds
  int64_t headersEnd = 0;    // behind the headers and the masks behind them
  int64_t dataOffset = 0;
  int32_t perMetre[2] = {};  // pixels per metre along x and y
};

// Reads the headers from the stream's position `start`; false, with the
// reason given to control, for files this reader does not take.
bool ReadHeaders(FILE* stream, long start, int64_t fileBytes, BmpLayout& l,
                 LoadControl& control) {
  uint8_t fileHeader[kFileHeaderBytes];
  uint8_t info[kRgbaMaskHeaderBytes] = {};
  if (!ReadExact(stream, fileHeader, sizeof fileHeader) ||
      !ReadExact(stream, info, 4))
    return Refuse(control, kEndsEarly);
  if (fileHeader[0] != 'B' || fileHeader[1] != 'M')
    return Refuse(control, "not a BMP file: it does not start with \"BM\"");
  const uint32_t infoBytes = U32(info);
  if (infoBytes != kCoreHeaderBytes && infoBytes < kInfoHeaderBytes)
    return Refuse(control,
                  "unsupported BMP header size " + std::to_string(infoBytes));
  const uint32_t kept = std::min(infoBytes, kRgbaMaskHeaderBytes);
  if (!ReadExact(stream, info + 4, kept - 4)) return Refuse(control, kEndsEarly);

  l.headersEnd = kFileHeaderBytes + infoBytes;
  if (infoBytes == kCoreHeaderBytes) {
    l.width = U16(info + 4);
    l.height = U16(info + 6);
    l.bits = U16(info + 10);
    l.entryBytes = 3;
  } else {
    const int32_t storedHeight = I32(info + 8);
    l.width = I32(info + 4);
    l.topDown = storedHeight < 0;
    l.height = std::abs(int64_t{storedHeight});
    l.bits = U16(info + 14);
    l.compression = U32(info + 16);
    l.perMetre[0] = I32(info + 24);
    l.perMetre[1] = I32(info + 28);
    l.colours = U32(info + 32);
    l.os2 = infoBytes == kOs2HeaderBytes;
  }
  if (l.width < 0)
    return Refuse(control, "BMP width " + std::to_string(l.width) + " is negative");

  if (l.compression == kBitFields && !l.os2) {
    if (infoBytes >= kRgbMaskHeaderBytes) {
      l.maskCount = infoBytes >= kRgbaMaskHeaderBytes ? 4 : 3;
    } else {
      const long masksAt = start + static_cast<long>(l.headersEnd);
      l.headersEnd += kBitFieldBytes;
      l.maskCount = 3;
      if (l.headersEnd > fileBytes ||
          std::fseek(stream, masksAt, SEEK_SET) != 0 ||
          !ReadExact(stream, info + kInfoHeaderBytes, kBitFieldBytes))
        return Refuse(control, kEndsEarly);
    }
    for (int c = 0; c < l.maskCount; ++c)
      l.masks[c] = U32(info + kInfoHeaderBytes + 4 * c);
  }

  if (l.bits != 1 && l.bits != 4 && l.bits != 8 && l.bits != 16 &&
      l.bits != 24 && l.bits != 32)
    return Refuse(control, "unsupported BMP pixel depth " + std::to_string(l.bits));
  l.dataOffset = U32(fileHeader + 10);
  if (l.bits <= 8) {
    if (l.colours == 0) l.colours = 1u << l.bits;
    if (l.colours > 256)
      return Refuse(control, "unsupported BMP palette size " +
                                 std::to_string(l.colours));
    // A data offset right behind the headers leaves out the palette.
    if (l.dataOffset == kFileHeaderBytes + infoBytes)
      l.dataOffset += int64_t{l.colours} * l.entryBytes;
  }
  if (l.dataOffset < l.headersEnd)
    return Refuse(control, "BMP pixel data said to start inside its headers");
  if (l.dataOffset > fileBytes) return Refuse(control, kEndsEarly);
  return true;
}

// How the stored pixels become image pixels.
struct PixelFormat {
  int bits = 24;
  int channels = 3;
  int source[4] = {2, 1, 0, -1};  // 24, 32 bits: the byte of R, G, B, A
  int shift[3] = {10, 5, 0};      // 16 bits: where R, G, B lie
  uint32_t maximum[3] = {31, 31, 31};
  uint8_t palette[256][3] = {};   // 8 bits or fewer: R, G, B per index
  bool gray = false;              // every palette entry is gray
};

// The byte of a little-endian pixel that a colour mask selects, -1 for a
// zero mask (no such channel); false for a mask that is not one whole byte
// of the pixel.
bool MaskedByte(uint32_t mask, int pixelBytes, int& byte) {
  byte = -1;
  for (int b = 0; b < pixelBytes && mask != 0; ++b)
    if (mask == 0xFFu << 8 * b) byte = b;
  return mask == 0 || byte >= 0;
}

// A mask of one run of bits within the low 16, or none; false otherwise.
bool MaskedBits(uint32_t mask, int& shift, uint32_t& maximum) {
  shift = 0;
  maximum = 0;
  if (mask == 0) return true;
  while ((mask >> shift & 1) == 0) ++shift;
  maximum = mask >> shift;
  return mask <= 0xFFFF && (maximum & (maximum + 1)) == 0;
}

std::string MaskText(const BmpLayout& l) {
  std::string text;
  for (int c = 0; c < l.maskCount; ++c) {
    char hex[16];
    std::snprintf(hex, sizeof hex, " 0x%X", l.masks[c]);
    text += hex;
  }
  return "unsupported BMP bit-field masks" + text;
}

// Bit-field masks place the channels: whole bytes of 24- and 32-bit
// pixels (none at all: the plain layout, with alpha in 32 bits), runs of
// bits that do not overlap in 16-bit ones, where a mask of alpha is not
// read.
bool ApplyMasks(const BmpLayout& l, PixelFormat& f, LoadControl& control) {
  uint32_t any = 0;
  for (int c = 0; c < l.maskCount; ++c) any |= l.masks[c];
  if (l.bits == 16) {
    uint32_t seen = 0;
    for (int c = 0; c < 3; ++c) {
      if (!MaskedBits(l.masks[c], f.shift[c], f.maximum[c]) ||
          (seen & l.masks[c]) != 0)
        return Refuse(control, MaskText(l));
      seen |= l.masks[c];
    }
    return true;
  }
  if (any == 0) return true;
  for (int c = 0; c < 4; ++c)
    if (!MaskedByte(l.masks[c], l.bits / 8, f.source[c]))
      return Refuse(control, MaskText(l));
  f.channels = f.source[3] < 0 ? 3 : 4;
  return true;
}

// The palette, behind the headers: B, G, R(, unused) per entry. Indices
// past its end are black, except where the palette is gray i at index i
// (Pillow then takes the pixels as gray levels).
bool ReadPalette(FILE* stream, long start, const BmpLayout& l, PixelFormat& f,
                 LoadControl& control) {
  const size_t bytes = size_t{l.colours} * l.entryBytes;
  std::vector<uint8_t> entries(bytes);
  if (std::fseek(stream, start + static_cast<long>(l.headersEnd), SEEK_SET) != 0 ||
      !ReadExact(stream, entries.data(), bytes))
    return Refuse(control, kEndsEarly);
  const uint32_t reachable = 1u << l.bits;
  const uint32_t given = std::min(l.colours, reachable);
  bool levels = l.colours != 2;
  for (uint32_t i = 0; i < given; ++i) {
    const uint8_t* e = entries.data() + i * l.entryBytes;
    f.palette[i][0] = e[2];
    f.palette[i][1] = e[1];
    f.palette[i][2] = e[0];
    levels = levels && e[0] == i && e[1] == i && e[2] == i;
  }
  for (uint32_t i = given; i < reachable && levels; ++i)
    f.palette[i][0] = f.palette[i][1] = f.palette[i][2] = static_cast<uint8_t>(i);
  f.gray = true;
  for (uint32_t i = 0; i < reachable; ++i)
    f.gray = f.gray && f.palette[i][0] == f.palette[i][1] &&
             f.palette[i][1] == f.palette[i][2];
  f.channels = f.gray && !control.prefer_rgb ? 1 : 3;
  return true;
}

// Checks the compression against the depth and sets up the pixel format.
bool PixelFormatOf(FILE* stream, long start, const BmpLayout& l,
                   PixelFormat& f, LoadControl& control) {
  f.bits = l.bits;
  // OS/2 2.x numbers its own compressions from 3 on.
  const bool taken = l.compression == kRaw ||
                     (l.compression == kRle8 && l.bits == 8) ||
                     (l.compression == kRle4 && l.bits == 4) ||
                     (l.compression == kBitFields && l.bits >= 16 && !l.os2);
  if (!taken) {
    std::string why = "unsupported BMP compression " + CompressionName(l.compression, l.os2);
    if (l.compression <= kBitFields && !(l.os2 && l.compression == kBitFields))
      why += " with " + std::to_string(l.bits) + " bits per pixel";
    return Refuse(control, why);
  }
  if (l.bits == 32) f.source[3] = 3, f.channels = 4;
  if (l.compression == kBitFields) return ApplyMasks(l, f, control);
  if (l.bits <= 8) return ReadPalette(stream, start, l, f, control);
  return true;
}

// One stored row into an image row.
void DecodeRow(const PixelFormat& f, const uint8_t* in, uint8_t* out,
               int32_t width) {
  const int channels = f.channels;
  for (int32_t x = 0; x < width; ++x, out += channels) {
    if (f.bits <= 8) {
      const int index = f.bits == 8   ? in[x]
                        : f.bits == 4 ? in[x >> 1] >> (x & 1 ? 0 : 4) & 0x0F
                                      : in[x >> 3] >> (7 - (x & 7)) & 1;
      for (int c = 0; c < channels; ++c) out[c] = f.palette[index][c];
    } else if (f.bits == 16) {
      const uint32_t pixel = U16(in + 2 * x);
      for (int c = 0; c < 3; ++c)
        out[c] = f.maximum[c] == 0 ? 0
                 : static_cast<uint8_t>((pixel >> f.shift[c] & f.maximum[c]) *
                                        255 / f.maximum[c]);
    } else {
      const uint8_t* p = in + x * (f.bits / 8);
      for (int c = 0; c < channels; ++c)
        out[c] = f.source[c] < 0 ? 0 : p[f.source[c]];
    }
  }
}

// Palette indices left in the first sample of every pixel become colours.
void ApplyPalette(const PixelFormat& f, CImage& image) {
  for (int32_t y = 0; y < image.height; ++y) {
    uint8_t* p = image.PixelAt(0, y);
    for (int32_t x = 0; x < image.width; ++x, p += f.channels) {
      const uint8_t* colour = f.palette[p[0]];
      for (int c = 0; c < f.channels; ++c) p[c] = colour[c];
    }
  }
}

bool ReadRows(FILE* stream, const BmpLayout& l, const PixelFormat& f,
              bool bottomUp, CImage& image, LoadControl& control) {
  const int64_t rowBytes = (l.width * l.bits + 31) / 32 * 4;
  std::vector<uint8_t> fileRow(static_cast<size_t>(rowBytes));
  for (int32_t r = 0; r < image.height; ++r) {
    if (control.Stopped()) return false;
    if (!ReadExact(stream, fileRow.data(), fileRow.size()))
      return Refuse(control, kEndsEarly);
    DecodeRow(f, fileRow.data(),
              image.PixelAt(0, bottomUp ? image.height - 1 - r : r),
              image.width);
  }
  return true;
}

// The density the image states, in pixels per metre; 3780 (96 per inch)
// where it states none, 0 for a ratio without a unit.
uint32_t PixelsPerMetre(const Resolution& r, bool alongX) {
  if (!r.Given()) return 3780;
  const double perInch = alongX ? r.XPerInch() : r.YPerInch();
  return static_cast<uint32_t>(std::min(std::round(perInch / 0.0254), double{INT32_MAX}));
}

}  // namespace

bool ReadBmp(CImage& image, FILE* stream, bool flipRows,
             LoadControl& control) {
  const long start = std::ftell(stream);
  const int64_t fileBytes = RemainingBytes(stream);
  if (start < 0 || fileBytes < 0) return false;
  BmpLayout l;
  PixelFormat f;
  if (!ReadHeaders(stream, start, fileBytes, l, control) ||
      !PixelFormatOf(stream, start, l, f, control))
    return false;
  if (control.Admit(l.width, l.height, f.channels) < 0) return false;
  const bool rle = l.compression == kRle8 || l.compression == kRle4;
  // Stored rows must all be there before the picture is allocated.
  if (!rle && fileBytes - l.dataOffset < (l.width * l.bits + 31) / 32 * 4 * l.height)
    return Refuse(control, kEndsEarly);
  if (std::fseek(stream, start + static_cast<long>(l.dataOffset), SEEK_SET) != 0)
    return false;
  if (!image.Create(static_cast<int32_t>(l.width), static_cast<int32_t>(l.height),
                    f.channels, true, false))
    return false;

  const bool bottomUp = l.topDown ? !flipRows : flipRows;
  if (rle) {
    if (!DecodeBmpRle(stream, l.dataOffset, l.compression == kRle4, bottomUp,
                      image, control))
      return false;
    ApplyPalette(f, image);
  } else if (!ReadRows(stream, l, f, bottomUp, image, control)) {
    return false;
  }
  image.metadata.gray = l.bits <= 8 && f.gray;
  if (l.perMetre[0] != 0 || l.perMetre[1] != 0) {
    Resolution& r = image.metadata.resolution;
    r.x = std::max(0, l.perMetre[0]) / 100.0;
    r.y = std::max(0, l.perMetre[1]) / 100.0;
    r.unit = Resolution::Unit::Centimetre;
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
  PutU32(info + 24, PixelsPerMetre(image.metadata.resolution, true));
  PutU32(info + 28, PixelsPerMetre(image.metadata.resolution, false));

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
