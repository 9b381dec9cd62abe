#include "fill/cpu/patch_distance.h"

#include <algorithm>
#include <cstdlib>

namespace pw {

void PlanarTarget::AddUnit(int32_t offset, const uint16_t* const* t,
                           uint16_t bits) {
  for (int c = 0; c < 3; ++c)
    for (int l = 0; l < kLanes; ++l)
      channels_[c].push_back(t == nullptr ? uint16_t{0} : t[c][l]);
  for (int l = 0; l < kLanes; ++l)
    keep_.push_back((bits >> l & 1) != 0 ? uint16_t{0xFFFF} : uint16_t{0});
  keep_bits_.push_back(bits);
  offsets_.push_back(offset);
}

void PlanarTarget::Capture(const uint8_t* image, const uint8_t* mask, int x,
                           int y, int width, int height, int stride,
                           int radius, size_t plane_size) {
  const int side = 2 * radius + 1;
  const int units_per_row = (side + kLanes - 1) / kLanes;
  plane_size_ = plane_size;
  known_ = 0;
  for (int c = 0; c < 3; ++c) {
    channels_[c].clear();
    row_[c].assign(static_cast<size_t>(units_per_row * kLanes), 0);
  }
  keep_.clear();
  keep_bits_.clear();
  offsets_.clear();
  row_bits_.assign(static_cast<size_t>(units_per_row), 0);

  // Rows with more known pixels first: a losing candidate passes its limit
  // sooner. Rows without a known pixel compare nothing.
  rows_.clear();
  for (int k = 0; k < side; ++k) {
    const int ty = y - radius + k;
    if (ty < 0 || ty >= height) continue;
    int count = 0;
    for (int j = 0; j < side; ++j) {
      const int tx = x - radius + j;
      count += (tx >= 0 && tx < width && mask[ty * width + tx] == 0) ? 1 : 0;
    }
    if (count > 0) rows_.emplace_back(count, k);
  }
  std::stable_sort(rows_.begin(), rows_.end(),
                   [](const auto& a, const auto& b) { return a.first > b.first; });

  for (const auto& [count, k] : rows_) {
    known_ += count;
    const int ty = y - radius + k;
    for (int c = 0; c < 3; ++c) std::fill(row_[c].begin(), row_[c].end(), 0);
    std::fill(row_bits_.begin(), row_bits_.end(), 0);
    for (int j = 0; j < side; ++j) {
      const int tx = x - radius + j;
      if (tx < 0 || tx >= width || mask[ty * width + tx] != 0) continue;
      for (int c = 0; c < 3; ++c)
        row_[c][static_cast<size_t>(j)] = image[ty * stride + tx * 3 + c];
      row_bits_[static_cast<size_t>(j / kLanes)] |=
          static_cast<uint16_t>(1u << (j % kLanes));
    }
    for (int u = 0; u < units_per_row; ++u) {
      const uint16_t bits = row_bits_[static_cast<size_t>(u)];
      if (bits == 0) continue;  // compares nothing
      const size_t at = static_cast<size_t>(u * kLanes);
      const uint16_t* t[3] = {&row_[0][at], &row_[1][at], &row_[2][at]};
      AddUnit(k * width + u * kLanes, t, bits);
    }
  }
  if (offsets_.size() % 2 != 0) AddUnit(0, nullptr, 0);
}

void SplitPlanes(const uint8_t* image, int width, int height, int stride,
                 size_t plane_size, uint8_t* planes) {
  for (int y = 0; y < height; ++y) {
    const uint8_t* row = image + static_cast<size_t>(y) * stride;
    const size_t at = static_cast<size_t>(y) * width;
    for (int x = 0; x < width; ++x)
      for (int c = 0; c < 3; ++c) planes[c * plane_size + at + x] = row[3 * x + c];
  }
}

// Written lane by lane without branches, so that compilers may vectorise
// it for any processor.
int32_t PatchSumScalar(const PlanarTarget& target, const uint8_t* top_left,
                       int32_t limit) {
  constexpr int kLanes = PlanarTarget::kLanes;
  const size_t plane = target.plane_size();
  const uint16_t* t0 = target.channel(0);
  const uint16_t* t1 = target.channel(1);
  const uint16_t* t2 = target.channel(2);
  const uint16_t* keep = target.keep();
  int32_t sum = 0;
  for (size_t u = 0; u < target.units(); ++u) {
    const uint8_t* p = top_left + target.offsets()[u];
    const size_t e = u * kLanes;
    uint16_t terms[kLanes];
    for (int l = 0; l < kLanes; ++l) {
      const int d = std::abs(p[l] - t0[e + l]) + std::abs(p[plane + l] - t1[e + l]) +
                    std::abs(p[2 * plane + l] - t2[e + l]);
      terms[l] = static_cast<uint16_t>((d / 3) & keep[e + l]);
    }
    for (int l = 0; l < kLanes; ++l) sum += terms[l];
    if (sum > limit) return kSumDropped;
  }
  return sum > limit ? kSumDropped : sum;
}

PatchSumFn SelectPatchSum(SimdLevel level) {
#if defined(__x86_64__) || defined(__i386__)
  if (level == SimdLevel::Avx512) return PatchSumAvx512;
  if (level == SimdLevel::Avx2) return PatchSumAvx2;
#else
  (void)level;
#endif
  return PatchSumScalar;
}

}  // namespace pw
