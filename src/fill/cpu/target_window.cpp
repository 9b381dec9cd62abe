#include "fill/cpu/target_window.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace pw {

namespace {
// Eight keep bytes (0 or 0xFF) as eight bits, the first byte lowest: the
// multiply moves bit 0 of byte i to bit 56 + i, without carries.
uint64_t KeepBits(const uint8_t* keep) {
  uint64_t v;
  std::memcpy(&v, keep, 8);
  return ((v & 0x0101010101010101u) * 0x0102040810204080u) >> 56;
}
}  // namespace

void TargetWindow::Capture(const uint8_t* image, const uint8_t* mask, int x,
                           int y, int width, int height, int stride,
                           int radius, bool nonzero_unknown) {
  side_ = 2 * radius + 1;
  padded_ = (side_ * 3 + kAlign - 1) / kAlign * kAlign;
  bytes_.assign(static_cast<size_t>(padded_) * side_, 0);
  keep_.assign(static_cast<size_t>(padded_) * side_, 0);
  rows_.clear();
  known_.assign(side_, 0);
  // Window columns inside the image.
  const int j0 = std::max(0, radius - x), j1 = std::min(side_, width - x + radius);
  for (int k = 0; k < side_; ++k) {
    const int ty = y - radius + k;
    if (ty < 0 || ty >= height) continue;
    const uint8_t* m = mask + static_cast<size_t>(ty) * width;
    const uint8_t* from = image + static_cast<size_t>(ty) * stride;
    uint8_t* to = bytes_.data() + k * padded_;
    uint8_t* keep = keep_.data() + k * padded_;
    // Without branches on the mask: damage is scattered, and a mispredicted
    // branch per pixel cost more than the copy.
    int count = 0;
    for (int j = j0; j < j1; ++j) {
      const int tx = x - radius + j;
      const bool known = nonzero_unknown ? m[tx] == 0 : m[tx] != 1;
      const uint8_t all = static_cast<uint8_t>(-static_cast<int>(known));
      count += known;
      for (int c = 0; c < 3; ++c) {
        to[3 * j + c] = from[3 * tx + c] & all;
        keep[3 * j + c] = all;
      }
    }
    known_[k] = count;
    if (count > 0) rows_.push_back(k);
  }
  // Rows with more known pixels first: a losing candidate passes its bound
  // sooner. The order does not change an exact integer sum.
  // (An insertion sort: stable, and std::stable_sort allocates a buffer
  // for every target.)
  for (size_t i = 1; i < rows_.size(); ++i) {
    const int k = rows_[i];
    size_t at = i;
    for (; at > 0 && known_[rows_[at - 1]] < known_[k]; --at) rows_[at] = rows_[at - 1];
    rows_[at] = k;
  }
  whole_rows_ = static_cast<int>(
      std::count_if(rows_.begin(), rows_.end(), [&](int k) { return known_[k] == side_; }));
  const size_t rows = rows_.size();
  const size_t n64 = rows * static_cast<size_t>(pieces64_per_row());
  pieces64_.assign(64 * n64 + 63, 0);
  offsets64_.clear();
  keep64_.clear();
  uint8_t* p64 = aligned(pieces64_);
  for (int k : rows_) {
    for (int b = 0; b < padded_; b += 64) {
      const int end = std::min(b + 64, padded_);
      std::copy(bytes(k) + b, bytes(k) + end, p64 + 64 * offsets64_.size());
      uint64_t bits = 0;
      for (int j = b; j < end; j += 8) bits |= KeepBits(keep(k) + j) << (j - b);
      keep64_.push_back(bits);
      offsets64_.push_back(k * stride + b);
    }
  }
  BuildPieces(stride);
}

void TargetWindow::PieceList::Clear(size_t capacity) {
  bytes.assign(32 * capacity + 63, 0);
  keep.assign(32 * capacity + 63, 0);
  offsets.clear();
  size = 0;
}

// Copies `count` target and keep bytes into the piece `piece`, from its
// byte `at` on.
void TargetWindow::PieceList::Put(size_t piece, int at, const uint8_t* from,
                                  const uint8_t* keep_from, int count) {
  std::copy(from, from + count, aligned(bytes) + 32 * piece + at);
  std::copy(keep_from, keep_from + count, aligned(keep) + 32 * piece + at);
}

void TargetWindow::BuildPieces(int stride) {
  const int row_bytes = 3 * side_;
  const int bodies = row_bytes / 32;
  const int tail = row_bytes - 32 * bodies;  // 1..31, as 3 * side is odd
  const size_t rows = rows_.size();
  plain_.Clear(rows * static_cast<size_t>(bodies));
  masked_.Clear(rows * static_cast<size_t>(bodies + 1));
  paired_.Clear((rows + 1) / 2);
  auto known_bytes = [](const uint8_t* keep, int count) {
    return static_cast<int>(std::count(keep, keep + count, uint8_t{0xFF}));
  };
  auto add = [](PieceList& list, const uint8_t* from, const uint8_t* keep,
                int count, int32_t offset) {
    list.Put(list.size++, 0, from, keep, count);
    list.offsets.push_back(offset);
  };
  int waiting = -1;  // a row whose short tail waits for a partner
  auto pair = [&](int first, int second) {
    const int at = 32 * bodies;
    paired_.Put(paired_.size, 0, bytes(first) + at, keep(first) + at, tail);
    if (second >= 0)
      paired_.Put(paired_.size, 16, bytes(second) + at, keep(second) + at, tail);
    ++paired_.size;
    paired_.offsets.push_back(first * stride + at);
    paired_.offsets.push_back((second >= 0 ? second : first) * stride + at);
  };
  for (int k : rows_) {
    for (int b = 0; b < bodies; ++b) {
      const int known = known_bytes(keep(k) + 32 * b, 32);
      if (known == 0) continue;
      add(known == 32 ? plain_ : masked_, bytes(k) + 32 * b, keep(k) + 32 * b, 32,
          k * stride + 32 * b);
    }
    const int at = 32 * bodies;
    if (known_bytes(keep(k) + at, tail) == 0) continue;
    if (tail > 16) {
      add(masked_, bytes(k) + at, keep(k) + at, tail, k * stride + at);
    } else if (waiting < 0) {
      waiting = k;
    } else {
      pair(waiting, k);
      waiting = -1;
    }
  }
  if (waiting >= 0) pair(waiting, -1);
}

void PrepareRowRunBound(const TargetWindow& target, const BoxSums& sums,
                        RowRunBound* bound) {
  bound->runs = 0;
  if (!sums.ready()) return;
  const int side = target.side();
  const int longest = BoxSums::MaxRunRows((side - 1) / 2);
  if (longest == 0) return;
  for (int k = 0; k < side && bound->runs < RowRunBound::kMaxRuns;) {
    if (target.known(k) != side) {
      ++k;
      continue;
    }
    int b = k;
    while (b + 1 < side && b + 1 - k < longest && target.known(b + 1) == side) ++b;
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
  for (int n = 0; n < row.picked; ++n) {
    const int c = row.picks[n];
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

namespace {
template <WindowSadFn kSad>
void TwoSads(const TargetWindow& target, const uint8_t* first, const uint8_t* second,
             int stride, int32_t bound, int32_t* sums) {
  sums[0] = kSad(target, first, stride, bound);
  sums[1] = kSad(target, second, stride, bound);
}
}  // namespace

WindowSadPairFn SelectWindowSadPair(SimdLevel level) {
#if defined(__x86_64__) || defined(__i386__)
  if (level == SimdLevel::Avx512) return TwoSads<WindowSadAvx512>;
  if (level == SimdLevel::Avx2) return WindowSadPairAvx2;
#else
  (void)level;
#endif
  return TwoSads<WindowSadScalar>;
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
