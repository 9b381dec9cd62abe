// The 512-slot minimum of the GPU's selection, built on the CPU from chunks
// of candidates. Slot t keeps the first of the smallest distances among the
// indices congruent to t modulo 512; merging chunks in ascending index order
// keeps exactly what one sequential scan per slot keeps. Candidates that do
// not qualify may simply be left out: their marker value never wins.
#pragma once

#include <cmath>
#include <cstdint>

#include "fill/kernels/selection.h"

namespace pw {

struct SlotMinimum {
  float best[kernels::kSelectThreads];
  int32_t index[kernels::kSelectThreads];

  void Clear() {
    for (int t = 0; t < kernels::kSelectThreads; ++t) {
      best[t] = INFINITY;
      index[t] = -1;
    }
  }

  // Offer candidate i with distance d (d is never NaN or infinite).
  void Offer(int32_t i, float d) {
    const int t = i & (kernels::kSelectThreads - 1);
    if (d < best[t]) {
      best[t] = d;
      index[t] = i;
    }
  }

  // Takes the other chunk's slots; `other` covers later indices.
  void MergeLater(const SlotMinimum& other) {
    for (int t = 0; t < kernels::kSelectThreads; ++t)
      if (other.index[t] >= 0 && (index[t] < 0 || other.best[t] < best[t])) {
        best[t] = other.best[t];
        index[t] = other.index[t];
      }
  }

  // Runs the tree over the slots. Returns the winning index and its distance
  // in `distance`, or -1 when no slot holds a qualifying candidate.
  int32_t Select(float empty_value, float* distance) const {
    float r1[kernels::kSelectThreads];
    int i1[kernels::kSelectThreads];
    for (int t = 0; t < kernels::kSelectThreads; ++t) {
      r1[t] = index[t] >= 0 ? best[t] : empty_value;
      i1[t] = index[t] >= 0 ? index[t] : 0;
    }
    kernels::tree_reduce(r1, i1);
    *distance = r1[0];
    return r1[0] < empty_value ? i1[0] : -1;
  }
};

}  // namespace pw
