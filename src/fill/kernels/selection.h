// The single-block minimum search shared by both methods: 512 slots, each
// scanning the entries congruent to its number modulo 512 (the first of
// equal values stays), then a tree over the slots that keeps the left entry
// on equal values. Together they pick, among equal minima, the slot whose
// 9-bit number read backwards is smallest, and within it the lowest index.
// This order is part of the result and must not change.
#pragma once

#include <cstdint>

#include "fill/kernels/hd.h"

namespace pw::kernels {

constexpr int kSelectThreads = 512;

// Slot t's sequential scan over dist[t], dist[t + 512], ...
PW_HD void slot_scan(const float* dist, int n, int t, float empty_value,
                     float* r1, int* i1) {
  if (t < n) {
    float best = dist[t];
    int index = t;
    for (int k = t + kSelectThreads; k < n; k += kSelectThreads) {
      if (best > dist[k]) {
        best = dist[k];
        index = k;
      }
    }
    r1[t] = best;
    i1[t] = index;
  } else {
    r1[t] = empty_value;
    i1[t] = 0;
  }
}

// One step of the tree: slot t takes slot t + s's pair only when strictly
// smaller.
PW_HD void tree_step(float* r1, int* i1, int t, int s) {
  if (t < s && r1[t] > r1[t + s]) {
    r1[t] = r1[t + s];
    i1[t] = i1[t + s];
  }
}

// The whole tree on one thread (the CPU's way of running the block).
inline void tree_reduce(float* r1, int* i1) {
  for (int s = kSelectThreads / 2; s > 0; s /= 2)
    for (int t = 0; t < s; ++t) tree_step(r1, i1, t, s);
}

}  // namespace pw::kernels
