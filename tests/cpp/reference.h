// A plain, one-candidate-at-a-time fill step that follows the device's
// launches literally: a full distance map, 512 slot scans and the tree.
// Tests compare the backends against it.
#pragma once

#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

#include "fill/kernels/exhaustive.h"
#include "fill/kernels/selection.h"

namespace pw::reference {

// Returns the chosen source index, or -1 when nothing was filled.
inline int ReferenceFillStep(std::vector<uint8_t>& image,
                             std::vector<uint8_t>& mask, int x, int y, int w,
                             int h, int r, float tolerance = 0.0f,
                             float search_limit = 0.0f,
                             int candidate_mask_value = 0) {
  using namespace pw::kernels;
  const int n = w * h;
  const int stride = w * 3;
  std::vector<float> dist(n);
  if (tolerance == 0.0f && r <= kMaxConstRadius) {
    std::vector<uint8_t> window(kConstWindowBytes, 0xCD);  // stale bytes
    const WindowCopy c = target_window_copy(x, y, w, h, stride, r);
    const int total = c.row_bytes * c.rows;
    for (int i = 0; i < total; ++i)
      copy_2d_byte(window.data() + c.dst_offset, c.dst_pitch,
                   image.data() + c.src_offset, total, c.src_pitch, c.row_bytes, i);
    for (int i = 0; i < n; ++i)
      dist[i] = const_window_distance(image.data(), mask.data(), window.data(),
                                      x, y, w, h, stride, r,
                                      candidate_mask_value, i);
  } else {
    const float tol = tolerance == 0.0f ? 0.0f : tolerance;
    const int limit = tolerance == 0.0f ? 0 : float_to_int_rz(search_limit);
    for (int i = 0; i < n; ++i)
      dist[i] = general_distance(image.data(), mask.data(), x, y, w, h, stride,
                                 r, tol, limit, i);
  }
  float r1[kSelectThreads];
  int i1[kSelectThreads];
  for (int t = 0; t < kSelectThreads; ++t)
    slot_scan(dist.data(), n, t, kNoCandidate, r1, i1);
  tree_reduce(r1, i1);
  if (!fill_target(image.data(), mask.data(), x, y, w, stride, r1[0], i1[0],
                   nullptr))
    return -1;
  return i1[0];
}

// Random picture with `levels` grey levels per channel (few levels make
// many ties) and a mask with isolated pixels and one rectangular hole.
struct RandomCase {
  int w, h, r;
  std::vector<uint8_t> image, mask;
};

inline RandomCase MakeRandomCase(std::mt19937& rng, int w, int h, int r,
                                 int levels, int hole_w, int hole_h,
                                 int specks) {
  RandomCase c{w, h, r, std::vector<uint8_t>(w * h * 3), std::vector<uint8_t>(w * h, 0)};
  for (auto& b : c.image)
    b = static_cast<uint8_t>((rng() % levels) * (255 / (levels > 1 ? levels - 1 : 1)));
  if (hole_w > 0 && hole_h > 0) {
    const int x0 = static_cast<int>(rng() % (w - hole_w + 1));
    const int y0 = static_cast<int>(rng() % (h - hole_h + 1));
    for (int y = y0; y < y0 + hole_h; ++y)
      for (int x = x0; x < x0 + hole_w; ++x) c.mask[y * w + x] = 1;
  }
  for (int s = 0; s < specks; ++s) c.mask[rng() % (w * h)] = 1;
  return c;
}

}  // namespace pw::reference
