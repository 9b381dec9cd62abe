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

  SlotMinimum() { ClearAll(); }

  // Searches offer few candidates (those that beat the best so far), so
  // the slots holding an entry are listed and only they are cleared,
  // merged and compared.
  void Clear() {
    for (int k = 0; k < used_; ++k) {
      best[used_slots_[k]] = INFINITY;
      index[used_slots_[k]] = -1;
    }
    used_ = 0;
  }

  // Offer candidate i with distance d (d is never NaN or infinite).
  void Offer(int32_t i, float d) {
    const int t = i & (kernels::kSelectThreads - 1);
    if (d < best[t]) {
      if (index[t] < 0) used_slots_[used_++] = static_cast<int16_t>(t);
      best[t] = d;
      index[t] = i;
    }
  }

  // Takes the other chunk's slots; `other` covers later indices.
  void MergeLater(const SlotMinimum& other) {
    for (int k = 0; k < other.used_; ++k) {
      const int t = other.used_slots_[k];
      if (index[t] < 0) used_slots_[used_++] = static_cast<int16_t>(t);
      else if (!(other.best[t] < best[t])) continue;
      best[t] = other.best[t];
      index[t] = other.index[t];
    }
  }

  // Runs the tree over the slots. Returns the winning index and its distance
  // in `distance`, or -1 when no slot holds a qualifying candidate.
  int32_t Select(float empty_value, float* distance) const {
    // A single smallest entry below empty_value wins the tree wherever it
    // lies; equal ones go by the tree's order.
    float low = empty_value;
    int at = -1, ties = 0;
    for (int k = 0; k < used_; ++k) {
      const int t = used_slots_[k];
      if (best[t] < low) {
        low = best[t];
        at = t;
        ties = 0;
      } else if (best[t] == low) {
        ++ties;
      }
    }
    if (at >= 0 && ties == 0) {
      *distance = low;
      return index[at];
    }
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

 private:
  void ClearAll() {
    for (int t = 0; t < kernels::kSelectThreads; ++t) {
      best[t] = INFINITY;
      index[t] = -1;
    }
    used_ = 0;
  }

  int16_t used_slots_[kernels::kSelectThreads];
  int used_ = 0;
};

}  // namespace pw
