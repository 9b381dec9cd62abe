// Size limits of decoded images. Every reader checks the sizes a file
// declares against these before it allocates anything, so that a hostile
// header can neither overflow the 32-bit size arithmetic of CImage nor make
// the process reserve memory for pixels the file does not hold.
#pragma once

#include <cstdint>
#include <limits>

namespace Common {

// Widths and heights above this are refused by every reader.
constexpr int64_t kMaxImageDimension = int64_t{1} << 24;

// Pixel blocks (stride x height) above this are refused. CImage keeps sizes
// in 32-bit signed integers and allocates one spare byte. Fuzzing builds use
// a lower limit so that declared-but-absent pixels cannot exhaust memory.
#if defined(FUZZING_BUILD_MODE_UNSAFE_FOR_PRODUCTION)
constexpr int64_t kMaxImageBytes = int64_t{64} << 20;
#else
constexpr int64_t kMaxImageBytes = 0x7FFFFFFF - 1;
#endif

// Bytes of a row of `width` pixels of `channels` bytes padded to a multiple
// of `alignment`, or -1 when the width is negative or too large.
inline int64_t PaddedRowBytes(int64_t width, int64_t channels,
                              int64_t alignment = 4) {
  if (width < 0 || width > kMaxImageDimension || channels < 1 ||
      channels > 4 || alignment < 1)
    return -1;
  const int64_t row = width * channels;
  return row + (alignment - row % alignment) % alignment;
}

// Bytes of a pixel block of `height` padded rows, or -1 when any size is
// negative, a dimension is above kMaxImageDimension or the block would be
// larger than kMaxImageBytes. All arithmetic is done in 64 bits, where the
// products of the checked operands cannot overflow.
inline int64_t CheckedBlockBytes(int64_t width, int64_t height,
                                 int64_t channels, int64_t alignment = 4) {
  const int64_t row = PaddedRowBytes(width, channels, alignment);
  if (row < 0 || height < 0 || height > kMaxImageDimension) return -1;
  const int64_t total = row * height;
  return total > kMaxImageBytes ? -1 : total;
}

// The most pixels (width x height) a file may declare before any reader
// allocates for it, like Pillow's decompression-bomb limit: a few bytes of
// PNG or JPEG can declare gigapixels. Process-wide; the default allows
// 2^28 pixels (16384 x 16384, 768 MiB as RGB).
constexpr int64_t kDefaultMaxImagePixels = int64_t{1} << 28;
constexpr int64_t kNoPixelLimit = std::numeric_limits<int64_t>::max();
int64_t MaxImagePixels();
// Values below 1 are taken as 1; kNoPixelLimit leaves only the size limits
// above.
void SetMaxImagePixels(int64_t pixels);

}  // namespace Common
