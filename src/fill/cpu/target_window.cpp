#include "fill/cpu/target_window.h"

#include <algorithm>
#include <cstdlib>

namespace pw {

void TargetWindow::Capture(const uint8_t* image, const uint8_t* mask, int x,
                           int y, int width, int height, int stride,
                           int radius, bool nonzero_unknown) {
  side_ = 2 * radius + 1;
  padded_ = (side_ * 3 + kAlign - 1) / kAlign * kAlign;
  bytes_.assign(static_cast<size_t>(padded_) * side_, 0);
  keep_.assign(static_cast<size_t>(padded_) * side_, 0);
  rows_.clear();
  known_.assign(side_, 0);
  for (int k = 0; k < side_; ++k) {
    const int ty = y - radius + k;
    if (ty < 0 || ty >= height) continue;
    bool any = false;
    for (int j = 0; j < side_; ++j) {
      const int tx = x - radius + j;
      if (tx < 0 || tx >= width) continue;
      const uint8_t m = mask[ty * width + tx];
      if (nonzero_unknown ? m != 0 : m == 1) continue;
      any = true;
      ++known_[k];
      for (int c = 0; c < 3; ++c) {
        bytes_[k * padded_ + j * 3 + c] = image[ty * stride + tx * 3 + c];
        keep_[k * padded_ + j * 3 + c] = 0xFF;
      }
    }
    if (any) rows_.push_back(k);
  }
  // Rows with more known pixels first: a losing candidate passes its bound
  // sooner. The order does not change an exact integer sum.
  std::stable_sort(rows_.begin(), rows_.end(),
                   [&](int a, int b) { return known_[a] > known_[b]; });
  const size_t rows = rows_.size();
  const size_t n32 = rows * static_cast<size_t>(pieces32_per_row());
  const size_t n64 = rows * static_cast<size_t>(pieces64_per_row());
  pieces32_.assign(32 * n32 + 63, 0);
  keep32_.assign(32 * n32 + 63, 0);
  pieces64_.assign(64 * n64 + 63, 0);
  offsets32_.clear();
  offsets64_.clear();
  keep64_.clear();
  uint8_t* p32 = aligned(pieces32_);
  uint8_t* k32 = aligned(keep32_);
  uint8_t* p64 = aligned(pieces64_);
  for (int k : rows_) {
    for (int b = 0; b < padded_; b += 32) {
      std::copy(bytes(k) + b, bytes(k) + b + 32, p32 + 32 * offsets32_.size());
      std::copy(keep(k) + b, keep(k) + b + 32, k32 + 32 * offsets32_.size());
      offsets32_.push_back(k * stride + b);
    }
    for (int b = 0; b < padded_; b += 64) {
      const int end = std::min(b + 64, padded_);
      std::copy(bytes(k) + b, bytes(k) + end, p64 + 64 * offsets64_.size());
      uint64_t bits = 0;
      for (int j = b; j < end; ++j)
        if (keep(k)[j] != 0) bits |= uint64_t{1} << (j - b);
      keep64_.push_back(bits);
      offsets64_.push_back(k * stride + b);
    }
  }
}

void PrepareRowRunBound(const TargetWindow& target, const BoxSums& sums,
                        RowRunBound* bound) {
  bound->runs = 0;
  if (!sums.ready()) return;
  const int side = target.side();
  for (int k = 0; k < side && bound->runs < RowRunBound::kMaxRuns;) {
    if (target.known(k) != side) {
      ++k;
      continue;
    }
    int b = k;
    while (b + 1 < side && target.known(b + 1) == side) ++b;
    const int j = bound->runs++;
    bound->first_row[j] = k;
    bound->last_row[j] = b;
    // The target's own sums come from its captured pixels: the box sums
    // around it may not hold its neighbours' latest fills yet.
    for (int c = 0; c < 3; ++c) bound->target[j][c] = 0;
    for (int row = k; row <= b; ++row)
      for (int q = 0; q < side; ++q)
        for (int c = 0; c < 3; ++c) bound->target[j][c] += target.bytes(row)[3 * q + c];
    k = b + 1;
  }
}

int32_t WindowSadScalar(const TargetWindow& target, const uint8_t* candidate,
                        int stride, int32_t bound) {
  const int row_bytes = target.side() * 3;
  int32_t sum = 0;
  for (int k : target.rows()) {
    const uint8_t* t = target.bytes(k);
    const uint8_t* keep = target.keep(k);
    const uint8_t* c = candidate + k * stride;
    for (int b = 0; b < row_bytes; ++b)
      if (keep[b] != 0) sum += std::abs(static_cast<int>(t[b]) - static_cast<int>(c[b]));
    if (sum > bound) return kSadDropped;
  }
  return sum;
}

void ScanRowScalar(const TargetWindow& target, const CandidateRow& row,
                   std::atomic<int32_t>& bound, SlotMinimum& slots) {
  for (int c = 0; c < row.count; ++c) {
    if ((row.mask[c] | row.unknown[c]) != 0) continue;
    const int32_t limit = bound.load(std::memory_order_relaxed);
    if (row.lower != nullptr && row.lower[c] > limit) continue;
    const int32_t sum = WindowSadScalar(target, row.top_left + 3 * c, row.stride, limit);
    if (sum == kSadDropped) continue;
    LowerBound(bound, sum);
    slots.Offer(row.first_index + c, static_cast<float>(sum));
  }
}

RowScanFn SelectRowScan(SimdLevel level) {
#if defined(__x86_64__) || defined(__i386__)
  if (level == SimdLevel::Avx512) return ScanRowAvx512;
  if (level == SimdLevel::Avx2) return ScanRowAvx2;
#else
  (void)level;
#endif
  return ScanRowScalar;
}

WindowSadFn SelectWindowSad(SimdLevel level) {
#if defined(__x86_64__) || defined(__i386__)
  if (level == SimdLevel::Avx512) return WindowSadAvx512;
  if (level == SimdLevel::Avx2) return WindowSadAvx2;
#else
  (void)level;
#endif
  return WindowSadScalar;
}

}  // namespace pw
