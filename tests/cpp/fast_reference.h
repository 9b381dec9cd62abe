// A literal fill step of the pruned method that follows the device's
// launches one by one: full key and distance buffers, every pass scanning
// all n entries with 512 slot scans and the tree, the carry-over of the
// best distance, the host stop rule, the fill and the sums update. The
// sums are recomputed from scratch before every step, so the engines'
// incremental sums are checked along the way.
#pragma once

#include <cstdint>
#include <vector>

#include "fill/kernels/fast.h"
#include "fill/kernels/selection.h"

namespace pw::reference {

struct FastReference {
  int w, h, r;
  std::vector<uint8_t> image, mask;
  float dis_min = 256.0f;
  int idx_min = 0;
  int fill_pos[2] = {-1, -1};

  // The sums of the current image and mask.
  void FreshSums(std::vector<float>& sums, std::vector<int>& counts) const {
    sums.assign(3 * w * h, -1.0f);
    counts.assign(w * h, -1);
    for (int i = 0; i < w * h; ++i)
      kernels::window_sums(image.data(), mask.data(), w, h, w * 3, r,
                           sums.data(), counts.data(), i);
  }

  // Fills target (x, y); returns the source index or -1, and the passes.
  // Candidates outside `domain` get no key.
  int Step(int x, int y, int* passes, const kernels::SearchDomain& domain = {}) {
    using namespace kernels;
    const int n = w * h;
    const int stride = w * 3;
    std::vector<float> sums, ds(n, -1.0f), dist(n, -1.0f);
    std::vector<int> counts;
    FreshSums(sums, counts);
    dis_min = 256.0f;
    for (int i = 0; i < n; ++i)
      ranking_key_item(mask.data(), sums.data(), counts.data(), x, y, w, r,
                       ds.data(), dist.data(), i);
    for (int i = 0; i < n; ++i)
      if (!domain.admits(i % w, i / w, x, y, w)) ds[i] = kNotScored;
    int pass = 0;
    for (;;) {
      for (int i = 0; i < n; ++i)
        patch_distance_item(image.data(), mask.data(), ds.data(), x, y, w, h,
                            stride, r, dist.data(), 8, pass, i);
      float r1[kSelectThreads];
      int i1[kSelectThreads];
      for (int t = 0; t < kSelectThreads; ++t)
        slot_scan(dist.data(), n, t, 256.0f, r1, i1);
      tree_reduce(r1, i1);
      carry_best(r1[0], i1[0], &dis_min, &idx_min);
      const float best = dis_min;  // the host's read-back
      ++pass;
      if (stop_after_pass(pass - 1, best) || pass == 32) break;
    }
    *passes = pass;
    if (!fill_from_best(image.data(), mask.data(), x, y, w, stride, dis_min,
                        idx_min, fill_pos))
      return -1;
    return idx_min;
  }
};

}  // namespace pw::reference
