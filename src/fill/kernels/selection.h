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

// Slot t's scan restricted to the pixel indices of a box (columns x0..x1 - 1
// of rows y0..y1 - 1 of an image `width` wide), in increasing order, with
// every entry outside the box taken to hold empty_value. It keeps what
// slot_scan keeps whenever the slot holds an entry below empty_value; a slot
// without one holds empty_value, which never wins.
PW_HD void box_slot_scan(const float* dist, int width, int x0, int y0, int x1,
                         int y1, int t, float empty_value, float* r1, int* i1) {
  float best = empty_value;
  int index = 0;
  for (int y = y0; y < y1; ++y) {
    const int begin = y * width + x0, end = y * width + x1;
    int k = begin + ((t - begin) % kSelectThreads + kSelectThreads) % kSelectThreads;
    for (; k < end; k += kSelectThreads)
      if (dist[k] < best) {
        best = dist[k];
        index = k;
      }
  }
  r1[t] = best;
  i1[t] = index;
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
