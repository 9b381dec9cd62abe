// The pruned method's patch distance in vector form. Its per-pixel term,
// floor((|d0| + |d1| + |d2|) / 3), needs the three channels of a pixel side
// by side, so the engine keeps the image also as three planes (one byte per
// pixel and channel, rows `width` bytes apart) and compares a window row
// channel by channel, 16 pixels at a time in 16-bit lanes. The sum of the
// terms is an exact integer, so the order of summation does not matter.
//
// The target window is captured as units of 16 pixels of one window row:
// the target's three channels widened to 16 bits, a keep mask (all ones
// under known pixels, 0 under pixels still to fill, under positions outside
// the image or the window, which are never compared), and where the unit's
// partner lies from the candidate window's top-left byte in plane 0.
#pragma once

#include <cstddef>
#include <cstdint>
#include <new>
#include <utility>
#include <vector>

#include "fill/cpu/cpu_features.h"

namespace pw {

// A partial sum that went over the limit: the candidate cannot win.
constexpr int32_t kSumDropped = INT32_MAX;

// Storage on 64-byte boundaries, for aligned vector loads.
template <class T>
struct Aligned64 {
  using value_type = T;
  Aligned64() = default;
  template <class U>
  Aligned64(const Aligned64<U>&) {}
  T* allocate(size_t n) {
    return static_cast<T*>(::operator new(n * sizeof(T), std::align_val_t{64}));
  }
  void deallocate(T* p, size_t) { ::operator delete(p, std::align_val_t{64}); }
  template <class U>
  bool operator==(const Aligned64<U>&) const { return true; }
  template <class U>
  bool operator!=(const Aligned64<U>&) const { return false; }
};

class PlanarTarget {
 public:
  static constexpr int kLanes = 16;
  // Vector loads read up to 15 bytes past a window row: every plane carries
  // this many spare bytes at its end.
  static constexpr size_t kPlaneSlack = 64;

  // Captures the window of (x, y) from the interleaved image; mask bytes
  // other than 0 mark unknown pixels. `plane_size` is the distance between
  // the planes (at least width * height + kPlaneSlack).
  void Capture(const uint8_t* image, const uint8_t* mask, int x, int y,
               int width, int height, int stride, int radius,
               size_t plane_size);

  // Known pixels compared, the m of the distance's mean.
  int known() const { return known_; }
  // Units, in pairs: an odd count is padded with one that keeps nothing.
  size_t units() const { return offsets_.size(); }
  const uint16_t* channel(int c) const { return channels_[c].data(); }
  const uint16_t* keep() const { return keep_.data(); }
  const uint16_t* keep_bits() const { return keep_bits_.data(); }
  const int32_t* offsets() const { return offsets_.data(); }
  size_t plane_size() const { return plane_size_; }

 private:
  using Lanes = std::vector<uint16_t, Aligned64<uint16_t>>;
  // Appends a unit: target bytes from row_ at `at` (none: zeros).
  void AddUnit(int32_t offset, const uint16_t* const* t, uint16_t bits);

  int known_ = 0;
  size_t plane_size_ = 0;
  // kLanes entries per unit.
  Lanes channels_[3];
  Lanes keep_;
  std::vector<uint16_t> keep_bits_;  // the keep mask, one bit per lane
  std::vector<int32_t> offsets_;
  // Capture's scratch: the rows in their order as (known pixels, window
  // row), one window row, and its keep bits per unit.
  std::vector<std::pair<int, int>> rows_;
  std::vector<uint16_t> row_[3];
  std::vector<uint16_t> row_bits_;
};

// Splits the image into the three planes (each `plane_size` bytes apart).
void SplitPlanes(const uint8_t* image, int width, int height, int stride,
                 size_t plane_size, uint8_t* planes);

// Sum of the distance terms between the captured target and the candidate
// window whose top-left pixel is at `top_left` in plane 0, or kSumDropped
// once a partial sum is above `limit`.
using PatchSumFn = int32_t (*)(const PlanarTarget& target,
                               const uint8_t* top_left, int32_t limit);

int32_t PatchSumScalar(const PlanarTarget& target, const uint8_t* top_left,
                       int32_t limit);
int32_t PatchSumAvx2(const PlanarTarget& target, const uint8_t* top_left,
                     int32_t limit);
int32_t PatchSumAvx512(const PlanarTarget& target, const uint8_t* top_left,
                       int32_t limit);

PatchSumFn SelectPatchSum(SimdLevel level);

}  // namespace pw
