// Window comparisons on packed pixels: one 32-bit word per pixel, its three
// channel bytes in the low bytes and, in the top byte, 0xFF while the pixel
// is still to fill (0 once known). A sum of absolute differences then takes
// one byte-SIMD instruction per pixel on the device. These give exactly what
// const_window_distance / general_distance and patch_distance give for a
// 0/1 mask, given the facing range of the target (its in-image window
// positions).
#pragma once

#include <cstdint>

#include "fill/kernels/exhaustive.h"
#include "fill/kernels/fast.h"
#include "fill/kernels/hd.h"

namespace pw::kernels {

constexpr uint32_t kUnknownFlag = 0xFF000000u;

PW_HD uint32_t pack_pixel(const uint8_t* rgb, bool unknown) {
  return uint32_t{rgb[0]} | (uint32_t{rgb[1]} << 8) | (uint32_t{rgb[2]} << 16) |
         (unknown ? kUnknownFlag : 0u);
}

PW_HD bool packed_unknown(uint32_t p) { return p >= 0x01000000u; }

// Sum of the absolute differences of the four bytes.
PW_HD int packed_sad(uint32_t a, uint32_t b) {
#if defined(__CUDA_ARCH__)
  return static_cast<int>(__vsadu4(a, b));
#else
  int s = 0;
  for (int k = 0; k < 32; k += 8) {
    const int d = static_cast<int>((a >> k) & 0xFFu) - static_cast<int>((b >> k) & 0xFFu);
    s += d < 0 ? -d : d;
  }
  return s;
#endif
}

// The window positions of target (x, y) that lie inside the image: rows
// k0..k1 and columns j0..j1 of the window (0 .. 2r). A candidate is compared,
// and tested for pixels still to fill, over these positions only.
struct FacingRange {
  int j0, j1, k0, k1;
  PW_HD bool whole(int radius) const {
    return j0 == 0 && k0 == 0 && j1 == 2 * radius && k1 == 2 * radius;
  }
};

PW_HD FacingRange facing_range(int x, int y, int width, int height,
                               int radius) {
  FacingRange f;
  f.j0 = radius - x > 0 ? radius - x : 0;
  f.k0 = radius - y > 0 ? radius - y : 0;
  f.j1 = width - 1 - x + radius < 2 * radius ? width - 1 - x + radius : 2 * radius;
  f.k1 = height - 1 - y + radius < 2 * radius ? height - 1 - y + radius : 2 * radius;
  return f;
}

// The target window as packed pixels: Window(k, j) is window row k, column
// j (within the facing range), read from the image or from a staged copy.
struct PackedImageWindow {
  const uint32_t* packed;
  int width, x0, y0;  // image position of window pixel (0, 0)
  PW_HD uint32_t operator()(int k, int j) const {
    return packed[(y0 + k) * width + x0 + j];
  }
};

// Unrolls a window row's loop on the device.
#if defined(__CUDA_ARCH__)
#define PW_UNROLL_ROW _Pragma("unroll 4")
#else
#define PW_UNROLL_ROW
#endif

// The exhaustive method's sum for the candidate centred at (cx, cy), whose
// window lies inside the image: over the facing range, the absolute
// differences against the target's known pixels. With `check`, a candidate
// pixel still to fill anywhere in the facing range rejects the candidate
// (-1), as the constant-window distance rejects it; without, the caller
// knows that there is none.
template <bool check, class Window>
PW_HD int32_t packed_window_sum(const uint32_t* packed, int width,
                                const Window& target, int cx, int cy,
                                int radius, const FacingRange& f) {
  int32_t sum = 0;
  for (int k = f.k0; k <= f.k1; ++k) {
    const uint32_t* row = packed + (cy - radius + k) * width + (cx - radius);
    PW_UNROLL_ROW
    for (int j = f.j0; j <= f.j1; ++j) {
      const uint32_t c = row[j];
      if (check && packed_unknown(c)) return -1;
      const uint32_t t = target(k, j);
      if (!packed_unknown(t)) sum += packed_sad(t, c);
    }
  }
  return sum;
}

// The pruned method's patch distance of a candidate (its whole window
// inside the image and known): the mean, over the target's known pixels in
// the facing range, of the summed channel difference divided by 3.
template <class Window>
PW_HD float packed_patch_distance(const uint32_t* packed, int width,
                                  const Window& target, int cx, int cy,
                                  int radius, const FacingRange& f) {
  int sum = 0;
  int m = 0;
  for (int k = f.k0; k <= f.k1; ++k) {
    const uint32_t* row = packed + (cy - radius + k) * width + (cx - radius);
    PW_UNROLL_ROW
    for (int j = f.j0; j <= f.j1; ++j) {
      const uint32_t t = target(k, j);
      if (packed_unknown(t)) continue;
      sum += packed_sad(t, row[j]) / 3;
      ++m;
    }
  }
  if (m == 0) return kNotScored;
  return fdiv_rn(static_cast<float>(sum), static_cast<float>(m));
}

}  // namespace pw::kernels
