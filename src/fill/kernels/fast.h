// Per-item logic of the pruned ("GPU Fast") method: the window sums and
// their update, the ranking key, the patch distance, the carry-over of the
// best distance across passes, the fill and the host's stop rule. Every
// function does the work of one GPU thread (or of the host between
// launches) with the exact single-precision arithmetic the result depends
// on; the backends only decide how the items are spread over threads.
#pragma once

#include <cmath>
#include <cstdint>

#include "fill/kernels/exhaustive.h"
#include "fill/kernels/hd.h"
#include "fill/kernels/numeric.h"

namespace pw::kernels {

// Marks a key or distance that does not exist: every real key and every
// real distance is a whole number or mean of at most 255.
constexpr float kNotScored = 256.0f;

// Candidates are scored in buckets of this many key levels, at most
// kMaxFastPasses buckets (keys are at most 255).
constexpr int kBucketWidth = 8;
constexpr int kMaxFastPasses = 32;

// Correctly rounded single-precision division on both sides, whatever
// flags the device code is built with.
PW_HD float fdiv_rn(float a, float b) {
#if defined(__CUDA_ARCH__)
  return __fdiv_rn(a, b);
#else
  return a / b;
#endif
}

// Single additions and subtractions, never merged or reordered.
PW_HD float fadd_rn(float a, float b) {
#if defined(__CUDA_ARCH__)
  return __fadd_rn(a, b);
#else
  return a + b;
#endif
}

PW_HD float fsub_rn(float a, float b) {
#if defined(__CUDA_ARCH__)
  return __fsub_rn(a, b);
#else
  return a - b;
#endif
}

// Sums of channel bytes 0, 1, 2 and the count of the known pixels in the
// window of pixel i, clipped to the image. The float sums hold whole
// numbers and are exact while 255 * (2r + 1)^2 < 2^24 (radius <= 127).
PW_HD void window_sums(const uint8_t* image, const uint8_t* mask, int width,
                       int height, int stride, int radius, float* sums,
                       int* counts, int i) {
  const int x = i % width;
  const int y = i / width;
  float s0 = 0.0f, s1 = 0.0f, s2 = 0.0f;
  int count = 0;
  for (int dy = -radius; dy <= radius; ++dy) {
    const int ny = y + dy;
    if (ny < 0 || ny >= height) continue;
    for (int dx = -radius; dx <= radius; ++dx) {
      const int nx = x + dx;
      if (nx < 0 || nx >= width || mask[ny * width + nx] != 0) continue;
      const uint8_t* p = image + ny * stride + nx * 3;
      s0 += static_cast<float>(p[0]);
      s1 += static_cast<float>(p[1]);
      s2 += static_cast<float>(p[2]);
      ++count;
    }
  }
  counts[i] = count;
  sums[3 * i] = s0;
  sums[3 * i + 1] = s1;
  sums[3 * i + 2] = s2;
}

// Adds the pixel (x, y), once it is known, to the window of one centre:
// item i < (2r + 1)^2 handles column x - r + i / D and row y - r + i % D.
// The window relation is symmetric, so running every item once after a
// pixel turned known keeps the sums equal to a fresh window_sums. An
// unknown (unfilled) pixel changes nothing.
PW_HD void update_window_sums(const uint8_t* image, const uint8_t* mask,
                              int width, int height, int stride, int radius,
                              int x, int y, float* sums, int* counts, int i) {
  if (mask[y * width + x] != 0) return;
  const int side = window_side(radius);
  const int cx = x - radius + i / side;
  const int cy = y - radius + i % side;
  if (cx < 0 || cx >= width || cy < 0 || cy >= height) return;
  const int j = cy * width + cx;
  const uint8_t* p = image + y * stride + x * 3;
  sums[3 * j] += static_cast<float>(p[0]);
  sums[3 * j + 1] += static_cast<float>(p[1]);
  sums[3 * j + 2] += static_cast<float>(p[2]);
  counts[j] += 1;
}

// The key from the candidate's and the target's channel means.
PW_HD float key_from_means(float mc0, float mc1, float mc2, float mt0,
                           float mt1, float mt2) {
  float v = fsub_rn(mc0, mt0);
  v = fadd_rn(v, mc1);
  v = fsub_rn(v, mt1);
  v = fadd_rn(v, mc2);
  v = fsub_rn(v, mt2);
  return static_cast<float>(float_to_int_rz(fabsf(v)) / 3);
}

// Ranking key of pixel i for the target (x, y): the mean intensity of the
// candidate's whole window against that of the target's known window
// pixels, in whole levels; kNotScored when i is no candidate (its window
// is not whole and known) or the target's window has no known pixel.
// The order of the additions is part of the result.
PW_HD float ranking_key(const uint8_t* mask, const float* sums,
                        const int* counts, int x, int y, int width, int radius,
                        int i) {
  const int side = window_side(radius);
  const int t = y * width + x;
  if (mask[i] != 0 || counts[i] != side * side) return kNotScored;
  if (counts[t] == 0 || counts[i] == 0) return kNotScored;
  const float nc = static_cast<float>(counts[i]);
  const float nt = static_cast<float>(counts[t]);
  const float mc0 = fdiv_rn(sums[3 * i], nc);
  const float mc1 = fdiv_rn(sums[3 * i + 1], nc);
  const float mc2 = fdiv_rn(sums[3 * i + 2], nc);
  const float mt0 = fdiv_rn(sums[3 * t], nt);
  const float mt1 = fdiv_rn(sums[3 * t + 1], nt);
  const float mt2 = fdiv_rn(sums[3 * t + 2], nt);
  return key_from_means(mc0, mc1, mc2, mt0, mt1, mt2);
}

// One item of the key launch: resets both per-target buffers and stores
// the key.
PW_HD void ranking_key_item(const uint8_t* mask, const float* sums,
                            const int* counts, int x, int y, int width,
                            int radius, float* ds, float* dist, int i) {
  ds[i] = kNotScored;
  dist[i] = kNotScored;
  ds[i] = ranking_key(mask, sums, counts, x, y, width, radius, i);
}

// Whether pass `pass` scores item i: not scored yet, a candidate, and its
// key below the pass's limit (pass + 1) * step.
PW_HD bool scored_in_pass(float dist, float key, int step, int pass) {
  if (dist < kNotScored) return false;
  if (key == kNotScored) return false;
  return key < static_cast<float>((pass + 1) * step);
}

// Patch distance of candidate i: the mean over the target's known window
// pixels of the summed channel difference divided by 3 (rounded down).
// kNotScored when nothing was compared or the candidate's window leaves the
// image (neither happens to a real candidate of a target with a known
// window pixel). The terms are whole numbers of at most 255, so their sum
// stays below 2^24 (radius <= 127): added up in an int and converted once,
// it equals the float sum in any order of addition.
PW_HD float patch_distance(const uint8_t* image, const uint8_t* mask, int x,
                           int y, int width, int height, int stride,
                           int radius, int i) {
  const int cx = i % width;
  const int cy = i / width;
  const int side = window_side(radius);
  int sum = 0;
  int m = 0;
  for (int k = 0; k < side; ++k) {
    const int ty = y - radius + k;
    if (ty < 0 || ty >= height) continue;
    const int ccy = cy - radius + k;
    if (ccy < 0 || ccy >= height) return kNotScored;
    for (int j = 0; j < side; ++j) {
      const int tx = x - radius + j;
      if (tx < 0 || tx >= width || mask[ty * width + tx] != 0) continue;
      const int ccx = cx - radius + j;
      if (ccx < 0 || ccx >= width) return kNotScored;
      const int d = abs_diff3(image + ty * stride + tx * 3,
                              image + ccy * stride + ccx * 3);
      sum += d / 3;
      ++m;
    }
  }
  if (m == 0) return kNotScored;
  return fdiv_rn(static_cast<float>(sum), static_cast<float>(m));
}

// One item of the scoring launch: writes dist[i] only for a candidate of
// this pass that compared at least one pixel.
PW_HD void patch_distance_item(const uint8_t* image, const uint8_t* mask,
                               const float* ds, int x, int y, int width,
                               int height, int stride, int radius, float* dist,
                               int step, int pass, int i) {
  if (!scored_in_pass(dist[i], ds[i], step, pass)) return;
  const float d =
      patch_distance(image, mask, x, y, width, height, stride, radius, i);
  if (d < kNotScored) dist[i] = d;
}

// The end of a pass's minimum search: the buffer's minimum replaces the
// best of the target only when strictly smaller, so an equal distance found
// in a later pass never wins.
PW_HD void carry_best(float pass_min, int pass_index, float* dis_min,
                      int* idx_min) {
  if (pass_min < *dis_min) {
    *idx_min = pass_index;
    *dis_min = pass_min;
  }
}

// The host's stop rule after the pass with limit k = 8 * (pass + 1): every
// candidate still unscored has a key of at least k, which no longer beats
// best. With nothing found (best 256) the limit 257 is never reached.
PW_HD bool stop_after_pass(int pass, float best) {
  const int k = kBucketWidth * (pass + 1);
  return static_cast<float>(k) >= ceilf(fadd_rn(best, 1.0f));
}

// Copies the best candidate's centre pixel into the target (channel 2,
// then 1, then 0), marks the target known and reports the source (and
// records its index at the target when `sources` is set). Returns false,
// writing nothing, when no candidate was found.
PW_HD bool fill_from_best(uint8_t* image, uint8_t* mask, int x, int y,
                          int width, int stride, float dis_min, int idx_min,
                          int* fill_pos, int32_t* sources = nullptr) {
  if (!(dis_min < kNotScored)) return false;
  const int sy = idx_min / width;
  const int sx = idx_min - sy * width;
  const uint8_t* src = image + sy * stride + 3 * sx;
  uint8_t* dst = image + y * stride + 3 * x;
  dst[2] = src[2];
  dst[1] = src[1];
  dst[0] = src[0];
  mask[y * width + x] = 0;
  if (sources != nullptr) sources[y * width + x] = idx_min;
  if (fill_pos != nullptr) {
    fill_pos[0] = sx;
    fill_pos[1] = sy;
  }
  return true;
}

}  // namespace pw::kernels
