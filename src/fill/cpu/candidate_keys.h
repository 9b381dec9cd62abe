// The pruned method's ranking keys for a row of candidates at a time, in
// vectors where the processor has them. Only the bucket of a key (key / 8)
// matters to the search, so that is what is stored: one byte per
// candidate, kNoBucket where the pixel is no candidate. The key is the one
// kernels::key_from_means gives, the same single-precision operations in
// the same order in every lane.
#pragma once

#include <cstddef>
#include <cstdint>

#include "fill/cpu/cpu_features.h"

namespace pw {

constexpr uint8_t kNoBucket = 0xFF;

// One row of `count` candidates: their window means (three planes), known
// pixel counts and source-mask bytes (null: all allowed), from its first
// candidate on, and the target's means. A candidate's window must be whole
// and known (count == whole) and allowed.
//
// Candidates that cannot win are left out as well, when `threshold` is
// set: for each channel, the sum over the compared positions of the
// target's bytes less the candidate's is at most the sum of their absolute
// differences there, so a candidate whose total of these channel sums is
// above the threshold of sums of absolute differences cannot win. The
// candidate's sum over the compared positions is its whole window's sum
// (its mean times the window, within 1: see candidate_keys.cpp) less its
// bytes at the positions the target does not compare.
struct KeyRow {
  const float* means[3];
  const int32_t* counts;
  const uint8_t* allowed;
  int count;
  int32_t whole;
  float target[3];
  // The bound: INT32_MAX leaves every candidate in.
  int32_t threshold = INT32_MAX;
  const uint8_t* centres = nullptr;  // first candidate's pixel in plane 0
  size_t plane_size = 0;
  const int32_t* uncompared = nullptr;  // offsets from a centre
  int uncompared_count = 0;
  int32_t target_sums[3] = {0, 0, 0};  // over the compared positions
};

// Writes the buckets of the row and returns its bucket bits (bit b set
// when a candidate lies in bucket b).
using KeyRowFn = uint32_t (*)(const KeyRow& row, uint8_t* buckets);

uint32_t KeyRowScalar(const KeyRow& row, uint8_t* buckets);
uint32_t KeyRowAvx2(const KeyRow& row, uint8_t* buckets);
uint32_t KeyRowAvx512(const KeyRow& row, uint8_t* buckets);

KeyRowFn SelectKeyRow(SimdLevel level);

}  // namespace pw
