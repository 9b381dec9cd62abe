// The exhaustive method as a plain, single-threaded scalar loop: one
// candidate at a time, a full distance map, the 512 slot scans and the tree,
// exactly as the kernel logic reads. It is the yardstick of the CPU backend:
// the tests require byte-identical results, the benchmark measures the gap.
#pragma once

#include <cstdint>
#include <vector>

#include "fill/kernels/exhaustive.h"
#include "fill/kernels/selection.h"
#include "schedule/fill_list.h"

namespace pw::reference {

// One fill step; returns the chosen source index, or -1 when nothing was
// filled. `image` has rows of w * 3 bytes. Candidates outside `domain`
// keep the no-candidate marker.
inline int ReferenceFillStep(std::vector<uint8_t>& image,
                             std::vector<uint8_t>& mask, int x, int y, int w,
                             int h, int r, float tolerance = 0.0f,
                             float search_limit = 0.0f,
                             int candidate_mask_value = 0,
                             const kernels::SearchDomain& domain = {}) {
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
    const int limit = tolerance == 0.0f ? 0 : float_to_int_rz(search_limit);
    for (int i = 0; i < n; ++i)
      dist[i] = general_distance(image.data(), mask.data(), x, y, w, h, stride,
                                 r, tolerance, limit, i);
  }
  for (int i = 0; i < n; ++i)
    if (!domain.admits(i % w, i / w, x, y, w)) dist[i] = kNoCandidate;
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

// A whole inpaint: the fill order, then one reference step per pixel.
// `mask` holds 0/1 bytes. Returns the number of pixels filled.
inline int ReferenceInpaint(std::vector<uint8_t>& image,
                            std::vector<uint8_t>& mask, int w, int h, int r) {
  FillList list;
  BuildFillList(list, mask.data(), w, h, r);
  int filled = 0;
  for (int32_t p : list.order)
    filled += ReferenceFillStep(image, mask, p % w, p / w, w, h, r) >= 0;
  return filled;
}

}  // namespace pw::reference
