// The working planes of the detectors: a picture's luminance, summed over
// 3 x 3 pixels (grain averaged out) or not, 9 sum units per gray level, kept
// with a border so that neighbours at a fixed offset need no bounds checks;
// and the ordered loop over row bands that every pass runs on.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

#include "detect/find_damage.h"

namespace pw::detect {

struct PaddedPlane {
  int32_t width = 0, height = 0, pad = 0;
  ptrdiff_t stride = 0;
  std::vector<int16_t> data;  // signed: SSE2 has min and max of int16 only
  // The sample at (x, y); x and y may go `pad` beyond the picture.
  const int16_t* Row(int32_t y) const { return data.data() + (y + pad) * stride + pad; }
  int16_t* Row(int32_t y) { return data.data() + (y + pad) * stride + pad; }
};

// A function of plain loops over rows, compiled also for AVX2, the better
// version picked when the library loads. Integer work only: both give the
// same values.
#if defined(__GNUC__) && defined(__x86_64__) && defined(__linux__) && \
    !defined(__SANITIZE_ADDRESS__) && !defined(__CUDACC__)
#define PW_ROW_LOOPS __attribute__((target_clones("avx2", "default")))
#else
#define PW_ROW_LOOPS
#endif

// 9 sum units make one gray level of the smoothed plane.
constexpr int kSumUnits = 9;

// What a plane holds of each pixel: its luminance (Rec. 601 weights), or
// its brightest or darkest colour channel (a neutral speck on a coloured
// ground changes one channel far more than the luminance).
enum class Sample { Luma, Brightest, Darkest };

// How the border continues the picture: its edge pixels repeated, or the
// picture mirrored about them (a speck cut by the edge then looks whole).
enum class Border { Replicate, Mirror };

// The picture's 8-bit luminance (or other `which`) summed over 3 x 3
// (`smoothed`) or times 9, with `pad` pixels of border around it.
PaddedPlane LumaPlane(const PictureView& picture, int32_t pad, bool smoothed,
                      Sample which = Sample::Luma, Border border = Border::Replicate);

// Runs body(first_row, end_row) over bands of rows, in parallel; the bands
// do not depend on the thread count, so neither does the result.
void ForRowBands(int32_t height, const std::function<void(int32_t, int32_t)>& body);

}  // namespace pw::detect
