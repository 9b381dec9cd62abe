#include "fill/cpu/box_sums.h"

#include <algorithm>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#endif

namespace pw {

namespace {

// The box sums of the 2r + 1 pixels of a row centred on each column,
// clipped at the borders, per channel (channel c of column x at
// c * width + x). The three channels' running sums are independent chains;
// the columns where a pixel enters or leaves are split from the others, so
// the inner loops carry no branch.
void HorizontalSums(const uint8_t* px, int width, int radius, uint32_t* box) {
  uint32_t run[3] = {0, 0, 0};
  auto store = [&](int x) {
    for (int c = 0; c < 3; ++c) box[c * width + x] = run[c];
  };
  auto add = [&](int x) {
    for (int c = 0; c < 3; ++c) run[c] += px[3 * x + c];
  };
  auto subtract = [&](int x) {
    for (int c = 0; c < 3; ++c) run[c] -= px[3 * x + c];
  };
  for (int x = 0; x < std::min(radius, width); ++x) add(x);
  // Columns where x + r enters; x - r - 1 leaves from x = r + 1 on.
  const int entering = std::max(0, width - radius);
  const int both_from = std::min(radius + 1, entering);
  int x = 0;
  for (; x < both_from; ++x) {
    add(x + radius);
    store(x);
  }
  for (; x < entering; ++x) {
    add(x + radius);
    subtract(x - radius - 1);
    store(x);
  }
  for (; x < width; ++x) {
    if (x - radius - 1 >= 0) subtract(x - radius - 1);
    store(x);
  }
}

}  // namespace

bool BoxSums::Affordable(int width, int height) {
  return int64_t{width} * height <= (int64_t{1} << 24);
}

int BoxSums::MaxRunRows(int radius) {
  return static_cast<int>(65535 / ((2 * int64_t{radius} + 1) * 255));
}

void BoxSums::Init(const uint8_t* image, int width, int height, int stride,
                   int radius, ThreadPool* pool) {
  width_ = width;
  height_ = height;
  radius_ = radius;
  const size_t row = static_cast<size_t>(width) * 3;
  q_.resize(static_cast<size_t>(height + 1) * row);
  std::fill(q_.begin(), q_.begin() + row, 0);
  p_.assign(static_cast<size_t>(height / kBlockRows + 1) * row, 0);
  // Q restarts at every block: the blocks are summed apart, on as many
  // threads as the pool has, and P follows from each block's last row.
  const int blocks = (height + kBlockRows - 1) / kBlockRows;
  const int chunks = pool == nullptr ? 1 : std::max(1, std::min(blocks, pool->active()));
  // A row of horizontal sums per chunk, allocated here: the loop's body
  // must not throw.
  std::vector<std::vector<uint32_t>> boxes(static_cast<size_t>(chunks),
                                           std::vector<uint32_t>(row));
  auto sum_blocks = [&](int chunk) {
    std::vector<uint32_t>& box = boxes[static_cast<size_t>(chunk)];
    for (int b = blocks * chunk / chunks; b < blocks * (chunk + 1) / chunks; ++b)
      for (int y = b * kBlockRows; y < std::min(height, (b + 1) * kBlockRows); ++y) {
        HorizontalSums(image + static_cast<size_t>(y) * stride, width, radius, box.data());
        const uint16_t* above = y % kBlockRows == 0 ? q(-1) : q(y - 1);
        uint16_t* qy = q_.data() + static_cast<size_t>(y + 1) * row;
        for (size_t i = 0; i < row; ++i) qy[i] = static_cast<uint16_t>(above[i] + box[i]);
      }
  };
  if (chunks == 1)
    sum_blocks(0);
  else
    pool->ParallelFor(chunks, [&](int chunk, int) { sum_blocks(chunk); });
  for (int b = 1; b * kBlockRows < height; ++b) {
    // The block prefix: the previous one plus the previous block's total.
    uint16_t* p = p_.data() + static_cast<size_t>(b) * row;
    const uint16_t* before = p - row;
    const uint16_t* total = q(b * kBlockRows - 1);
    for (size_t i = 0; i < row; ++i) p[i] = static_cast<uint16_t>(before[i] + total[i]);
  }
}

void BoxSums::Release() {
  std::vector<uint16_t>().swap(q_);
  std::vector<uint16_t>().swap(p_);
}

void BoxSums::Update(int x, int y, const uint8_t* before, const uint8_t* after,
                     int first_block, int end_block) {
  const uint16_t delta[3] = {static_cast<uint16_t>(after[0] - before[0]),
                             static_cast<uint16_t>(after[1] - before[1]),
                             static_cast<uint16_t>(after[2] - before[2])};
  if ((delta[0] | delta[1] | delta[2]) == 0) return;
  const int x0 = std::max(x - radius_, 0);
  const int x1 = std::min(x + radius_, width_ - 1);
  const size_t row = static_cast<size_t>(width_) * 3;
  auto add = [&](uint16_t* values) {
    for (int c = 0; c < 3; ++c)
      for (int xx = x0; xx <= x1; ++xx)
        values[c * width_ + xx] = static_cast<uint16_t>(values[c * width_ + xx] + delta[c]);
  };
  // The rest of the pixel's block, then the prefixes of later blocks.
  const int block = y / kBlockRows;
  if (block >= first_block && block < end_block) {
    const int block_end = std::min(height_, (block + 1) * kBlockRows);
    for (int yy = y; yy < block_end; ++yy)
      add(q_.data() + static_cast<size_t>(yy + 1) * row);
  }
  const size_t blocks = p_.size() / row;
  for (size_t b = static_cast<size_t>(std::max(block + 1, first_block));
       b < std::min(blocks, static_cast<size_t>(end_block)); ++b)
    add(p_.data() + b * row);
}

uint32_t BoxSums::RowsSum(int y0, int y1, int x, int c) const {
  const size_t i = static_cast<size_t>(c) * width_ + x;
  return static_cast<uint16_t>((p(y1)[i] + q(y1)[i]) - (p(y0 - 1)[i] + q(y0 - 1)[i]));
}

void RowLowerBoundsScalar(const RowRunBound& rb, const BoxSums& sums, int cy,
                          int radius, int x0, int count, int32_t* out) {
  std::fill(out, out + count, 0);
  const int width = sums.width();
  for (int j = 0; j < rb.runs; ++j) {
    const int hi = cy - radius + rb.last_row[j];
    const int lo = cy - radius + rb.first_row[j] - 1;
    for (int c = 0; c < 3; ++c) {
      const size_t base = static_cast<size_t>(c) * width + x0;
      const uint16_t* hp = sums.p(hi) + base;
      const uint16_t* hq = sums.q(hi) + base;
      const uint16_t* lp = sums.p(lo) + base;
      const uint16_t* lq = sums.q(lo) + base;
      for (int k = 0; k < count; ++k) {
        const uint16_t run = static_cast<uint16_t>((hp[k] + hq[k]) - (lp[k] + lq[k]));
        const int32_t d = rb.target[j][c] - run;
        out[k] += d < 0 ? -d : d;
      }
    }
  }
  for (int k = 0; k < count; ++k) out[k] = std::min(out[k], 65535);
}

#if defined(__x86_64__) || defined(__i386__)
namespace {
__attribute__((target("avx2"))) inline __m256i Load16(const uint16_t* p) {
  return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
}
}  // namespace

__attribute__((target("avx2"))) void RowLowerBoundsAvx2(
    const RowRunBound& rb, const BoxSums& sums, int cy, int radius, int x0,
    int count, int32_t* out) {
  if (count < 16 || rb.runs == 0)
    return RowLowerBoundsScalar(rb, sums, cy, radius, x0, count, out);
  // One term per run and channel: F(hi) - F(lo) of its column sums, 16
  // lanes of 16 bits (a run's sum is below 2^16, so wrapping arithmetic
  // gives it exactly). Where both rows lie in one block of the kept sums
  // their block prefixes are the same and cancel.
  struct Term {
    const uint16_t *hq, *lq, *hp, *lp;
    bool one_block;
    __m256i target;
  } terms[RowRunBound::kMaxRuns * 3];
  int n = 0;
  const int width = sums.width();
  for (int j = 0; j < rb.runs; ++j) {
    const int hi = cy - radius + rb.last_row[j];
    const int lo = cy - radius + rb.first_row[j] - 1;
    const bool one_block = (lo < 0 ? 0 : lo / BoxSums::kBlockRows) == hi / BoxSums::kBlockRows;
    for (int c = 0; c < 3; ++c) {
      const size_t base = static_cast<size_t>(c) * width + x0;
      terms[n++] = Term{sums.q(hi) + base, sums.q(lo) + base, sums.p(hi) + base,
                        sums.p(lo) + base, one_block,
                        _mm256_set1_epi16(static_cast<int16_t>(rb.target[j][c]))};
    }
  }
  // The last vector overlaps the one before it when count is not a
  // multiple of 16: it writes the same bounds again.
  for (int at = 0;; at = std::min(at + 16, count - 16)) {
    __m256i acc = _mm256_setzero_si256();
    for (int t = 0; t < n; ++t) {
      const Term& term = terms[t];
      __m256i run = _mm256_sub_epi16(Load16(term.hq + at), Load16(term.lq + at));
      if (!term.one_block)
        run = _mm256_add_epi16(run, _mm256_sub_epi16(Load16(term.hp + at), Load16(term.lp + at)));
      const __m256i d = _mm256_sub_epi16(_mm256_max_epu16(term.target, run),
                                         _mm256_min_epu16(term.target, run));
      acc = _mm256_adds_epu16(acc, d);  // saturates at 2^16 - 1, still a bound
    }
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + at),
                        _mm256_cvtepu16_epi32(_mm256_castsi256_si128(acc)));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + at + 8),
                        _mm256_cvtepu16_epi32(_mm256_extracti128_si256(acc, 1)));
    if (at == count - 16) break;
  }
}
#endif

RowLowerBoundsFn SelectRowLowerBounds(SimdLevel level) {
#if defined(__x86_64__) || defined(__i386__)
  if (level == SimdLevel::Avx512) return RowLowerBoundsAvx512;
  if (level != SimdLevel::Scalar) return RowLowerBoundsAvx2;
#else
  (void)level;
#endif
  return RowLowerBoundsScalar;
}

}  // namespace pw
